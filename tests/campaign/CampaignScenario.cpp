#include "campaign/CampaignScenario.h"

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string_view>

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"
#include "image/SampleImage.h"

namespace kelvo::test {
namespace {

using Rng = std::mt19937_64;

int Uniform(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
bool Chance(Rng& rng, double p) { return std::bernoulli_distribution(p)(rng); }

const std::vector<std::uint8_t>& SamplePlain() {
  static const std::vector<std::uint8_t> plain = MakeSampleImage();
  return plain;
}

const std::vector<std::uint8_t>& SampleStored() {
  static const std::vector<std::uint8_t> stored = [] {
    std::vector<std::uint8_t> bytes;
    ScrambleBytes(SamplePlain(), bytes, 7);
    return bytes;
  }();
  return stored;
}

// A board that already holds an older firmware: every page differs from the
// sample's, so a page the updater skipped shows.
const std::vector<std::uint8_t>& OldFirmwareFlash() {
  static const std::vector<std::uint8_t> flash = [] {
    std::vector<std::uint8_t> bytes(sim::FlashBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(SamplePlain()[i + 8] ^ 0x5A);
    return bytes;
  }();
  return flash;
}

std::string Hex(const std::array<std::uint8_t, 4>& bytes) {
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

void AddFault(CampaignScenario& s, const std::string& spec) {
  std::string error;
  const std::optional<sim::Fault> fault = sim::ParseFault(spec, &error);
  // The campaign only makes well-formed faults; a bad one is the campaign's bug.
  if (!fault) throw std::logic_error("campaign made a bad fault: " + error);
  s.options.faults.push_back(*fault);
  s.faultSpecs.push_back(spec);
}

void ChooseDevices(CampaignScenario& s, Rng& rng) {
  const int r = Uniform(rng, 0, 99);
  if (r < 86) return;  // the board's own cable
  if (r < 91) {
    s.options.devices = {"FT232R USB UART"};
  } else if (r < 95) {
    s.options.devices = {"FT232R USB UART", "Corvane Serial Link"};
  } else {
    s.options.devices.clear();
  }
}

void ChooseBoard(CampaignScenario& s, Rng& rng) {
  const int r = Uniform(rng, 0, 99);
  std::array<std::uint8_t, 4> reply{};
  if (r < 80) {
    reply = {'P', 'Z', static_cast<std::uint8_t>(Chance(rng, 0.1) ? 3 : Uniform(rng, 0, 255)),
             static_cast<std::uint8_t>(Uniform(rng, 1, 255))};
  } else if (r < 85) {
    s.options.identifyReply.reset();
    s.boardNote = "silent";
  } else if (r < 90) {
    // Anything but "PZ": a near miss or noise.
    static constexpr std::array<std::array<std::uint8_t, 2>, 4> wrong = {
        {{'p', 'z'}, {'P', 'X'}, {'Z', 'P'}, {0xFF, 0xFF}}};
    const auto& signature = wrong[static_cast<std::size_t>(Uniform(rng, 0, 3))];
    reply = {signature[0], signature[1], static_cast<std::uint8_t>(Uniform(rng, 0, 2)),
             static_cast<std::uint8_t>(Uniform(rng, 0, 255))};
  } else if (r < 95) {
    // Update mode, with or without the signature.
    reply = Chance(rng, 0.5) ? std::array<std::uint8_t, 4>{'P', 'Z', 3, 0xFF}
                             : std::array<std::uint8_t, 4>{'K', 'V', 3, 0xFF};
  } else {
    reply = {'P', 'Z', 0, 0};
  }
  if (s.options.identifyReply) {
    s.options.identifyReply = reply;
    s.boardNote = "reply " + Hex(reply);
  }
  // Real boards take time to program a page; a board that takes none is the
  // exception.
  if (!Chance(rng, 0.15)) {
    static constexpr std::array<int, 3> usual = {1, 10, 100};
    s.options.programMs =
        Chance(rng, 0.6) ? usual[static_cast<std::size_t>(Uniform(rng, 0, 2))] : Uniform(rng, 1, 249);
    s.boardNote += ", programs a page in " + std::to_string(s.options.programMs) + " ms";
  }
  if (Chance(rng, 0.5)) {
    s.options.flash = OldFirmwareFlash();
    s.boardNote += ", holds older firmware";
  }
}

void ChooseResource(CampaignScenario& s, Rng& rng) {
  const int r = Uniform(rng, 0, 99);
  s.resource = SampleStored();
  s.image = SamplePlain();
  s.imageAccepted = true;
  if (r < 78) {
    s.resourceNote = "good";
  } else if (r < 81) {
    s.resource.reset();
    s.imageAccepted = false;
    s.resourceNote = "missing";
  } else if (r < 85) {
    const int length = Chance(rng, 0.5) ? static_cast<int>(ScrambledImageSize) - 1
                                        : Uniform(rng, 0, static_cast<int>(ScrambledImageSize) - 1);
    s.resource->resize(static_cast<std::size_t>(length));
    s.imageAccepted = false;
    s.resourceNote = "truncated to " + std::to_string(length) + " bytes";
  } else if (r < 88) {
    const int extra = Uniform(rng, 1, 100);
    for (int i = 0; i < extra; ++i) s.resource->push_back(static_cast<std::uint8_t>(Uniform(rng, 0, 255)));
    s.resourceNote = "with " + std::to_string(extra) + " bytes too many";
  } else if (r < 95) {
    // A data byte of the stored form changes its own image byte alone.
    const int byte = Uniform(rng, 0, 7);
    const auto mask = static_cast<std::uint8_t>(Uniform(rng, 1, 255));
    (*s.resource)[ScrambledGroupSize * static_cast<std::size_t>(byte)] ^= mask;
    s.image[static_cast<std::size_t>(byte)] ^= mask;
    // Signature and the must-be-zero byte are checked; the rest is not.
    s.imageAccepted = byte != 0 && byte != 1 && byte != 4;
    s.resourceNote = "header byte " + std::to_string(byte) + " flipped by " + std::to_string(mask);
  } else {
    // A filler in the page area changes every image byte from there on, but
    // leaves the header: the image is still accepted and must be what the
    // board ends up holding.
    const int group =
        Uniform(rng, static_cast<int>(ImageHeaderSize), static_cast<int>(FirmwareImageSize) - 1);
    (*s.resource)[ScrambledGroupSize * static_cast<std::size_t>(group) + 1] ^= 0x01;
    DescrambleBytes(*s.resource, s.image);
    s.resourceNote = "filler of image byte " + std::to_string(group) + " changed";
  }
}

// Page data that happens to hold the board's own commands, at a page's start,
// in its middle and in its last bytes (pages 63 and 0 among them), or one
// command all through a page: harmless while the board stays in step.
void PlantCommands(CampaignScenario& s, Rng& rng) {
  if (s.resourceNote != "good" || !Chance(rng, 0.5)) return;
  using namespace std::string_view_literals;
  static constexpr std::array commands = {"WF\0\xFC\0"sv, "WF\0\0\0"sv, "RF\0\xFC\0\x02\0"sv, "WF\0\x04\0"sv,
                                          "GI"sv};
  const int planted = Uniform(rng, 1, 6);
  for (int i = 0; i < planted; ++i) {
    const auto& command = commands[static_cast<std::size_t>(Uniform(rng, 0, 4))];
    s.plantedPages.push_back(Uniform(rng, 0, 62));
    const std::size_t page = ImagePageOffset(static_cast<std::size_t>(s.plantedPages.back()));
    const int room = static_cast<int>(ImagePageSize - command.size());
    if (Chance(rng, 0.15)) {
      for (int offset = 0; offset <= room; offset += 256)
        std::copy(command.begin(), command.end(),
                  s.image.begin() + static_cast<std::ptrdiff_t>(page + offset));
      continue;
    }
    const int where = Uniform(rng, 0, 3);
    const int offset = where == 0 ? 0 : where == 1 ? room : Uniform(rng, 1, room - 1);
    std::copy(command.begin(), command.end(), s.image.begin() + static_cast<std::ptrdiff_t>(page + offset));
  }
  ScrambleBytes(s.image, *s.resource, 7);
  s.resourceNote = "good, with " + std::to_string(planted) + " commands in its page data";
}

int PickPage(Rng& rng) {
  if (Chance(rng, 0.06)) return 63;
  // The ends of the order get extra attention: page 1 first, 62 last of the
  // pass, page 0 at the very end.
  if (Chance(rng, 0.25)) {
    static constexpr std::array<int, 3> ends = {0, 1, 62};
    return ends[static_cast<std::size_t>(Uniform(rng, 0, 2))];
  }
  return Uniform(rng, 0, 62);
}

// Failures in numbers around the budget of 50, where its edge lies.
int NearBudget(Rng& rng) { return Chance(rng, 0.6) ? Uniform(rng, 48, 51) : Uniform(rng, 1, 60); }

void ChoosePageFaults(CampaignScenario& s, Rng& rng) {
  const int faults = Uniform(rng, 0, 3) + (Chance(rng, 0.3) ? 1 : 0);
  for (int i = 0; i < faults; ++i) {
    const int page = PickPage(rng);
    const int kind = Uniform(rng, 0, 2);
    if (kind == 0) {
      AddFault(s, "write:" + std::to_string(page) + ":" + std::to_string(NearBudget(rng)));
    } else if (kind == 1) {
      AddFault(s, "verify:" + std::to_string(page) + ":" + std::to_string(NearBudget(rng)));
    } else {
      // Both kinds on one page, sharing its budget.
      const int total = NearBudget(rng);
      const int writes = Uniform(rng, 0, total);
      AddFault(s, "write:" + std::to_string(page) + ":" + std::to_string(writes));
      AddFault(s, "verify:" + std::to_string(page) + ":" + std::to_string(total - writes));
    }
  }
}

void ChooseLateAnswers(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.2)) return;
  const int faults = Uniform(rng, 1, 2);
  for (int i = 0; i < faults; ++i) {
    // Around the read timeout of 250 ms, and later.
    const int ms = Chance(rng, 0.5) ? Uniform(rng, 240, 260) : Uniform(rng, 0, 400);
    AddFault(s, "late-ok:" + std::to_string(PickPage(rng)) + ":" + std::to_string(ms));
    if (ms >= 250) {
      s.boardFaultsOnly = false;
      s.answersKeepStep = false;
    }
  }
}

// Mostly a page whose data hold commands, which a board out of step would
// carry out.
int PickPlantedPage(const CampaignScenario& s, Rng& rng) {
  if (s.plantedPages.empty() || !Chance(rng, 0.7)) return PickPage(rng);
  return s
      .plantedPages[static_cast<std::size_t>(Uniform(rng, 0, static_cast<int>(s.plantedPages.size()) - 1))];
}

// Answers later than the read timeout, up to 1.5 s, several on one page.
void ChooseVeryLateAnswers(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.2)) return;
  const int faults = Uniform(rng, 1, 4);
  int page = PickPlantedPage(s, rng);
  for (int i = 0; i < faults; ++i) {
    if (i > 0 && Chance(rng, 0.4)) page = PickPlantedPage(s, rng);
    const int ms = Chance(rng, 0.8) ? Uniform(rng, 250, 1000) : Uniform(rng, 1000, 1500);
    AddFault(s, "late-ok:" + std::to_string(page) + ":" + std::to_string(ms));
  }
  s.boardFaultsOnly = false;
  s.answersKeepStep = false;
}

// The two sides out of step: a page's command lost before the board, or its
// echo cut short after the board took it.
void ChooseStepFaults(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.35)) return;
  const int faults = Uniform(rng, 1, 3);
  for (int i = 0; i < faults; ++i) {
    const int count = Chance(rng, 0.85) ? Uniform(rng, 1, 3) : NearBudget(rng);
    const std::string kind = Chance(rng, 0.5) ? "lose:" : "short-echo:";
    AddFault(
        s, kind + std::to_string(PickPlantedPage(s, rng)) + (count == 1 ? "" : ":" + std::to_string(count)));
  }
  s.boardFaultsOnly = false;
}

// Commands cut short on the line: only the first K bytes of a page's Nth "WF"
// reach the board, mostly on pages whose data hold commands, sometimes one
// all through the page every 64 bytes; and a page whose answer comes late
// loses its second command whole or in part.
void ChooseCutCommands(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.3)) return;
  auto cut = [&](int page, int nth) {
    AddFault(s, "cut:" + std::to_string(page) + ":" + std::to_string(Uniform(rng, 0, 4)) +
                    (nth == 1 && Chance(rng, 0.5) ? "" : ":" + std::to_string(nth)));
  };
  const int cuts = Uniform(rng, 1, 3);
  for (int i = 0; i < cuts; ++i) cut(PickPlantedPage(s, rng), Uniform(rng, 1, 3));
  for (const sim::Fault& fault : std::vector<sim::Fault>(s.options.faults)) {
    if (fault.kind == sim::Fault::Kind::LateOk && fault.milliseconds >= 250 && Chance(rng, 0.5))
      cut(fault.page, 2);
  }
  s.boardFaultsOnly = false;
  if (s.resourceNote.rfind("good", 0) != 0 || !Chance(rng, 0.3)) return;
  using namespace std::string_view_literals;
  const std::string_view command = Chance(rng, 0.5) ? "WF\0\xFC\0"sv : "WF\0\0\0"sv;
  const int page = s.options.faults.back().page;
  const std::size_t start = ImagePageOffset(static_cast<std::size_t>(page));
  for (std::size_t offset = 0; offset + command.size() <= ImagePageSize; offset += 64)
    std::copy(command.begin(), command.end(), s.image.begin() + static_cast<std::ptrdiff_t>(start + offset));
  ScrambleBytes(s.image, *s.resource, 7);
  s.plantedPages.push_back(page);
  s.resourceNote += ", page " + std::to_string(page) + " holds a WF command every 64 bytes";
}

void ChooseBoardReceive(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.5)) return;
  s.options.boardReceive = sim::SimOptions::BoardReceive::Drop;
  s.boardNote += ", drops what arrives while it programs (--board-receive drop)";
}

bool OnlyRecoverableFaults(const CampaignScenario& s) {
  if (s.options.programMs >= 250) return false;
  std::map<int, int> lateOnPage;
  std::map<int, int> stepOnPage;
  int reads = 0;
  for (const sim::Fault& fault : s.options.faults) {
    if (fault.kind == sim::Fault::Kind::LateOk && fault.milliseconds <= 1000 && ++lateOnPage[fault.page] <= 3)
      continue;
    // A few lost, short or cut commands on a page cost a retry each.
    const bool cut = fault.kind == sim::Fault::Kind::Cut;
    const bool step =
        cut || fault.kind == sim::Fault::Kind::Lose || fault.kind == sim::Fault::Kind::ShortEcho;
    if (step && (stepOnPage[fault.page] += cut ? 1 : fault.count) <= 3) continue;
    if (fault.kind == sim::Fault::Kind::Call && fault.call == "FT_Read") {
      ++reads;
      continue;
    }
    return false;
  }
  return reads == 0 || (reads == 1 && lateOnPage.empty());
}

void ChooseCallFaults(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.25)) return;
  static constexpr std::array<const char*, 7> settings = {
      "FT_SetBaudRate",      "FT_SetFlowControl",         "FT_SetLatencyTimer",
      "FT_SetUSBParameters", "FT_SetDataCharacteristics", "FT_SetChars",
      "FT_SetTimeouts"};
  const int faults = Uniform(rng, 1, 2);
  for (int i = 0; i < faults; ++i) {
    const int r = Uniform(rng, 0, 99);
    std::string name;
    int nth = 1;
    if (r < 22) {
      name = "FT_Write";
    } else if (r < 44) {
      name = "FT_Read";
    } else if (r < 62) {
      name = "FT_Purge";
    } else if (r < 68) {
      name = "FT_OpenEx";
    } else if (r < 94) {
      name = settings[static_cast<std::size_t>(Uniform(rng, 0, 6))];
    } else {
      name = "FT_Close";
    }
    if (name == "FT_Purge" && Chance(rng, 0.25)) {
      // The device check's two purges, which decide whether the link is lost.
      nth = Uniform(rng, 1, 2);
      s.cableKeepsStep = false;
    } else if (name == "FT_Write" || name == "FT_Read" || name == "FT_Purge") {
      nth = Chance(rng, 0.3) ? Uniform(rng, 1, 8) : Uniform(rng, 1, 300);
      s.cableKeepsStep = false;
    } else if (name == "FT_OpenEx") {
      nth = Uniform(rng, 1, 2);
    } else {
      nth = Chance(rng, 0.85) ? 1 : 2;
    }
    static constexpr std::array<int, 5> statuses = {0, 1, 4, 18, 6};
    const int status =
        Chance(rng, 0.8) ? statuses[static_cast<std::size_t>(Uniform(rng, 0, 4))] : Uniform(rng, 1, 20);
    AddFault(s, "call:" + name + ":" + std::to_string(status) + ":" + std::to_string(nth));
    s.boardFaultsOnly = false;
  }
}

void ChooseUnplug(CampaignScenario& s, Rng& rng) {
  if (!Chance(rng, 0.12)) return;
  // Early: during start-up's or the check's identification; later: anywhere
  // in the flash (a whole flash writes about 130000 bytes).
  const int bytes = Chance(rng, 0.3) ? Uniform(rng, 0, 10) : Uniform(rng, 10, 131000);
  AddFault(s, "unplug:" + std::to_string(bytes));
  s.boardFaultsOnly = false;
}

}  // namespace

CampaignScenario MakeCampaignScenario(std::uint64_t seed) {
  CampaignScenario s;
  s.seed = seed;
  Rng rng(seed);
  ChooseDevices(s, rng);
  ChooseBoard(s, rng);
  ChooseResource(s, rng);
  ChoosePageFaults(s, rng);
  ChooseLateAnswers(s, rng);
  ChooseCallFaults(s, rng);
  ChooseUnplug(s, rng);
  s.secondFindDuringCheck = Chance(rng, 0.3);
  if (Chance(rng, 0.3)) s.closeAtFlashPump = Uniform(rng, 1, 120);
  // Drawn apart, so that the choices above stay what they were for each seed.
  Rng more(seed ^ 0x5EC0'11D5'7E9Aull);
  PlantCommands(s, more);
  ChooseVeryLateAnswers(s, more);
  ChooseStepFaults(s, more);
  ChooseBoardReceive(s, more);
  Rng cuts(seed ^ 0xC07'5E0'0B17ull);
  ChooseCutCommands(s, cuts);
  if (s.options.programMs >= 250) {
    s.boardFaultsOnly = false;
    s.answersKeepStep = false;
  }
  s.flashMustComplete = OnlyRecoverableFaults(s);
  return s;
}

CampaignScenario MakeScenario(const std::vector<std::string>& faults,
                              const std::vector<PlantedBytes>& planted, sim::SimOptions::BoardReceive receive,
                              int programMs) {
  CampaignScenario s;
  s.options.flash = OldFirmwareFlash();
  s.options.programMs = programMs;
  s.options.boardReceive = receive;
  s.boardNote =
      "reply 505A0012, holds older firmware, programs a page in " + std::to_string(programMs) + " ms" +
      (receive == sim::SimOptions::BoardReceive::Drop ? ", drops what arrives while it programs" : "");
  s.image = SamplePlain();
  s.resource = SampleStored();
  s.imageAccepted = true;
  s.resourceNote = "good";
  for (const PlantedBytes& p : planted) {
    const std::size_t page = ImagePageOffset(static_cast<std::size_t>(p.page));
    for (std::size_t at = static_cast<std::size_t>(p.offset); at + p.bytes.size() <= ImagePageSize;
         at += static_cast<std::size_t>(p.every)) {
      std::copy(p.bytes.begin(), p.bytes.end(), s.image.begin() + static_cast<std::ptrdiff_t>(page + at));
      if (p.every <= 0) break;
    }
  }
  if (!planted.empty()) {
    ScrambleBytes(s.image, *s.resource, 7);
    s.resourceNote = "good, with commands in its page data";
  }
  if (programMs >= 250) s.answersKeepStep = false;
  AddFaults(s, faults);
  return s;
}

void AddFaults(CampaignScenario& s, const std::vector<std::string>& faults) {
  for (const std::string& spec : faults) {
    AddFault(s, spec);
    using Kind = sim::Fault::Kind;
    const Kind kind = s.options.faults.back().kind;
    if (kind != Kind::Write && kind != Kind::Verify) s.boardFaultsOnly = false;
    if (kind == Kind::Call || kind == Kind::Unplug) s.cableKeepsStep = false;
    if (kind == Kind::LateOk && s.options.faults.back().milliseconds >= 250) s.answersKeepStep = false;
  }
}

std::string DescribeScenario(const CampaignScenario& s) {
  std::ostringstream text;
  text << "seed " << s.seed << " (replay: KELVO_CAMPAIGN_SEED=" << s.seed << ")\n";
  text << "  devices:";
  if (s.options.devices.empty()) text << " none";
  for (const std::string& device : s.options.devices) text << " \"" << device << "\"";
  text << "\n  board: " << s.boardNote << "\n  resource: " << s.resourceNote << "\n  faults:";
  if (s.faultSpecs.empty()) text << " none";
  for (const std::string& spec : s.faultSpecs) text << " --fault " << spec;
  text << "\n  operator:";
  if (s.secondFindDuringCheck) text << " second Find Device click during the check;";
  if (s.closeAtFlashPump > 0) text << " close request at flash pump " << s.closeAtFlashPump << ";";
  text << "\n";
  return text.str();
}

}  // namespace kelvo::test
