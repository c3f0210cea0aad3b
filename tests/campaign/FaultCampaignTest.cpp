// Randomized fault campaign: the operator's whole flow (start-up, "Find
// Device", "Flash Device") on the simulated board, hundreds of times, each
// with its own mix of board, cable and resource faults. Every run is judged
// from what crossed the driver interface and what the board did, not from
// what the updater concluded; a failing run prints its seed and faults.
//
// KELVO_CAMPAIGN_SEED=N replays seed N alone; KELVO_CAMPAIGN_RUNS and
// KELVO_CAMPAIGN_FIRST_SEED choose another range. The out-of-step cases and
// the sweep of single failing calls follow at the end;
// KELVO_CAMPAIGN_SWEEP_STEP=N tries one position of the sweep in N.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "campaign/CampaignScenario.h"
#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "image/FirmwareImageLoader.h"
#include "support/RecordingDriver.h"
#include "support/SampleResource.h"
#include "support/StateRig.h"

namespace kelvo::test {
namespace {

using Calls = std::span<const DriverCall>;
using Bytes = std::vector<std::uint8_t>;

constexpr int Budget = 50;
constexpr int PagesWritten = 63;
constexpr int PageBytes = 2048;
constexpr int UntouchedPage = 63;
constexpr std::uint32_t DrainCount = 4096;

// The order in which the pages must be written: 1 to 62, then 0.
int PageAt(int position) { return position < PagesWritten - 1 ? position + 1 : 0; }

struct Message {
  std::string text;
  std::string title;
};

const Message LinkNotFound = {"Serial Link interface not found!", "USB Error!"};
const Message NotInUpdateMode = {"Kelvo not in update mode! ", "Kelvo Firmware Updater"};
const Message UsbConnectionFailure = {"USB Connection Failure!", "USB Error"};
const Message NotSupported = {"Device not currently supported for upgrading!", "Device not supported!"};
const Message WriteFailure = {"Device write error! Data is corrupted!  Re-try update!", "Write Failure!"};
const Message VerifyFailure = {"Device verify error!  Data is corrupted!  Re-try update!", "Verify Failure!"};
const Message WriteFailurePage0 = {
    "Step 3 - Device write error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!",
    "Write Failure!"};
const Message VerifyFailurePage0 = {
    "Device verify error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!",
    "Verify Failure!"};

enum class EndState { Closed, Idle, Ready, Done };

Bytes Page(const Bytes& image, int page) {
  const auto begin =
      image.begin() + static_cast<std::ptrdiff_t>(ImagePageOffset(static_cast<std::size_t>(page)));
  return {begin, begin + PageBytes};
}

Bytes FlashPage(const Bytes& flash, int page) {
  const auto begin = flash.begin() + static_cast<std::ptrdiff_t>(page) * PageBytes;
  return {begin, begin + PageBytes};
}

bool Is(const DriverCall& call, DriverCall::Kind kind) { return call.kind == kind; }

// Not one of the bytes can begin "GI", "WF" or "RF".
bool StartsNoCommand(const Bytes& bytes) {
  return std::none_of(bytes.begin(), bytes.end(),
                      [](std::uint8_t b) { return b == 'G' || b == 'W' || b == 'R'; });
}

// The bytes that reads in `calls` delivered, when every one of them ended
// well and brought something; nullopt as soon as one did not.
std::optional<Bytes> CleanReads(Calls calls) {
  Bytes all;
  for (const DriverCall& call : calls) {
    if (!Is(call, DriverCall::Kind::Read)) continue;
    if (call.status != FT_OK || call.bytes.empty()) return std::nullopt;
    all.insert(all.end(), call.bytes.begin(), call.bytes.end());
  }
  return all;
}

// What the line returned starts with exactly the bytes that went out.
bool EchoedWhole(const Bytes& received, const Bytes& sent) {
  return received.size() >= sent.size() && std::equal(sent.begin(), sent.end(), received.begin());
}

// The "GI" exchange among `calls`: its 4-byte answer when the command went
// out and the echo and the answer came back whole.
struct Identification {
  int commands = 0;
  std::optional<std::array<std::uint8_t, 4>> reply;
};

Identification JudgeIdentification(Calls calls) {
  Identification result;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const DriverCall& call = calls[i];
    if (!Is(call, DriverCall::Kind::Write) || call.bytes != Bytes{'G', 'I'}) continue;
    ++result.commands;
    if (call.status != FT_OK) continue;
    std::size_t end = i + 1;
    while (end < calls.size() && Is(calls[end], DriverCall::Kind::Read)) ++end;
    const std::optional<Bytes> received = CleanReads(calls.subspan(i + 1, end - i - 1));
    if (received && received->size() == 6 && EchoedWhole(*received, call.bytes)) {
      result.reply =
          std::array<std::uint8_t, 4>{(*received)[2], (*received)[3], (*received)[4], (*received)[5]};
    }
  }
  return result;
}

bool Signed(const std::array<std::uint8_t, 4>& reply) { return reply[0] == 'P' && reply[1] == 'Z'; }

// A probe's answer counts only as one that start-up takes for a Kelvo it may
// flash: the update-mode answer, or the signature with a version.
bool KelvoAnswer(const Bytes& answer) {
  return (answer[2] == 3 && answer[3] == 0xFF) || (answer[0] == 'P' && answer[1] == 'Z' && answer[3] != 0);
}

FirmwareVersion Nibbles(std::uint8_t byte) { return {byte / 16, byte % 16}; }

std::string ShownVersion(const FirmwareVersion& v) {
  return std::string(1, static_cast<char>('0' + v.major)) + ". " + std::to_string(v.minor);
}

// One WF, RF or GI command and everything up to the next purge. A GI during
// the flash is a probe between write attempts and belongs to their page.
struct Attempt {
  bool write = false;
  bool probe = false;
  int page = -1;
  bool ok = false;
};

struct Judge {
  const CampaignScenario& s;
  std::vector<std::string> problems;
  std::string outcome;
  // Board-side breaches in runs whose cable failed transfer calls: see
  // BoardProblem.
  std::vector<std::string> hazards;

  void Problem(const std::string& what) { problems.push_back(what); }
  // A breach seen on the board. When the cable failed a read, write or purge
  // call, the purge that opens the next command can cut off the tail of a
  // command still on the wire; the board then takes the next command's bytes
  // for the rest of it and may program a page the updater has already
  // verified. Commands carry no framing the updater could check, so such a
  // breach on the board is reported as a hazard of the protocol rather than
  // failed; so is one after an answer that came too late for its exchange.
  // The updater's own verdict on the flash is always held strictly.
  void BoardProblem(const std::string& what) {
    if (s.cableKeepsStep && s.answersKeepStep) {
      Problem(what);
    } else {
      hazards.push_back(what);
    }
  }
  template <typename T>
  void Expect(bool condition, const T& what) {
    if (!condition) Problem(what);
  }

  // Reads one page command's segment: [purge, command write, reads, ...].
  std::optional<Attempt> ReadAttempt(Calls segment) {
    std::vector<std::size_t> writes;
    for (std::size_t i = 0; i < segment.size(); ++i) {
      if (Is(segment[i], DriverCall::Kind::Write)) writes.push_back(i);
    }
    if (writes.empty()) {
      Problem("a purge in the flash with no page command after it");
      return std::nullopt;
    }
    const DriverCall& command = segment[writes[0]];
    const Bytes& c = command.bytes;
    Attempt attempt;
    const bool wf = c.size() == 5 && c[0] == 'W' && c[1] == 'F';
    const bool rf = c.size() == 7 && c[0] == 'R' && c[1] == 'F';
    if (c == Bytes{'G', 'I'}) {
      Expect(writes.size() == 1, "GI followed by another write before the next purge");
      const std::optional<Bytes> received = CleanReads(segment.subspan(writes[0] + 1));
      attempt.probe = true;
      attempt.ok = command.status == FT_OK && writes.size() == 1 && received && received->size() == 6 &&
                   EchoedWhole(*received, c) && KelvoAnswer(Bytes(received->begin() + 2, received->end()));
      return attempt;
    }
    if (!wf && !rf) {
      Problem("the flash sent a command that is neither WF, RF nor GI");
      return std::nullopt;
    }
    attempt.write = wf;
    const int address = (c[2] << 16) | (c[3] << 8) | c[4];
    if (address % 1024 != 0 || address / 1024 >= PagesWritten) {
      Problem("a page command for address " + std::to_string(address) + ", not one of pages 0 to 62");
      return std::nullopt;
    }
    attempt.page = address / 1024;
    const Bytes own = Page(s.image, attempt.page);
    const Calls afterCommand = segment.subspan(writes[0] + 1);

    if (rf) {
      Expect(c[5] == 2 && c[6] == 0, "RF asked for another count than 512 instructions");
      Expect(writes.size() == 1, "RF followed by another write before the next purge");
      const std::optional<Bytes> received = CleanReads(afterCommand);
      attempt.ok = command.status == FT_OK && writes.size() == 1 && received &&
                   received->size() == 7 + PageBytes && EchoedWhole(*received, c) &&
                   std::equal(own.begin(), own.end(), received->begin() + 7);
      return attempt;
    }

    // WF: command, its echo, the page's 2048 bytes, their echo and "OK". No
    // page byte follows a command whose echo did not come back whole and
    // equal to it; after a failed attempt whose command went out, the rest
    // of the command may follow (never all of it), then a page's worth of
    // bytes that start no command.
    const auto readsAfter = [&](std::size_t write) {
      const std::size_t end = write + 1 < writes.size() ? writes[write + 1] : segment.size();
      return CleanReads(segment.subspan(writes[write] + 1, end - writes[write] - 1));
    };
    const std::optional<Bytes> echo = readsAfter(0);
    const bool echoWhole = command.status == FT_OK && echo && echo->size() == 5 && EchoedWhole(*echo, c);
    std::size_t next = 1;
    if (echoWhole && writes.size() > next) {
      const DriverCall& data = segment[writes[next]];
      if (data.bytes != own) Problem("page " + std::to_string(attempt.page) + " sent with bytes not its own");
      const std::optional<Bytes> rest = readsAfter(next);
      attempt.ok = data.status == FT_OK && writes.size() == 2 && rest && rest->size() == PageBytes + 2 &&
                   EchoedWhole(*rest, own) && (*rest)[PageBytes] == 'O' && (*rest)[PageBytes + 1] == 'K';
      ++next;
    }
    if (!echoWhole && writes.size() > next) {
      const Bytes& tail = segment[writes[next]].bytes;
      if (!tail.empty() && tail.size() < c.size() &&
          std::equal(tail.begin(), tail.end(), c.end() - tail.size()))
        ++next;
    }
    if (writes.size() > next) {
      const Bytes& filler = segment[writes[next]].bytes;
      if (command.status != FT_OK || attempt.ok || filler.size() != PageBytes || !StartsNoCommand(filler)) {
        Problem(echoWhole ? "WF followed by another write than its page and bytes that start no command"
                          : "page " + std::to_string(attempt.page) +
                                ": bytes other than a page's worth that "
                                "start no command after a short WF echo");
      }
      ++next;
    }
    if (writes.size() > next) Problem("WF followed by more writes than its page and one filler");
    return attempt;
  }

  // What the pages' failures, read off the wire, make due: "" for a flash
  // that must complete, or the message that must end it.
  struct FlashVerdict {
    std::optional<Message> message;
    int positionsReached = 0;                   // pages the flash got to, in order
    int stoppedAt = -1;                         // the page whose budget ran out
    std::vector<std::pair<int, int>> failures;  // per page reached: failed writes, failed verifies
  };

  FlashVerdict JudgeFlash(Calls calls) {
    FlashVerdict verdict;
    // Split at every purge; the preparation's two purges stand alone.
    // The reads that bring the link back in step after a failure ask for a
    // whole reply buffer, which no exchange does; they belong to no attempt.
    std::vector<Calls> segments;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= calls.size(); ++i) {
      if (i == calls.size() || Is(calls[i], DriverCall::Kind::Purge)) {
        std::size_t end = i;
        while (end > start + 1 && Is(calls[end - 1], DriverCall::Kind::Read) &&
               calls[end - 1].count == DrainCount)
          --end;
        segments.push_back(calls.subspan(start, end - start));
        start = i;
      }
    }
    if (calls.empty() || !Is(calls[0], DriverCall::Kind::Purge)) {
      Problem("the flash did not start with a purge");
      return verdict;
    }
    if (segments.size() < 2 || segments[0].size() != 1 || segments[1].size() != 1) {
      Problem("the flash's preparation is not two purges");
      return verdict;
    }

    std::vector<Attempt> attempts;
    for (std::size_t i = 2; i < segments.size(); ++i) {
      std::optional<Attempt> attempt = ReadAttempt(segments[i]);
      if (!attempt) return verdict;
      if (attempt->probe) attempt->page = attempts.empty() ? -1 : attempts.back().page;
      attempts.push_back(*attempt);
    }

    std::size_t next = 0;
    for (int position = 0; position < PagesWritten && next < attempts.size(); ++position) {
      const int page = PageAt(position);
      if (attempts[next].page != page) {
        Problem("page " + std::to_string(attempts[next].page) + " handled where page " +
                std::to_string(page) + " was due");
        return verdict;
      }
      verdict.positionsReached = position + 1;
      int failedWrites = 0;
      int failedVerifies = 0;
      bool written = false;
      bool verified = false;
      // After a failed write, the board must answer GI before the next one.
      bool probeDue = false;
      const Attempt* last = nullptr;
      for (; next < attempts.size() && attempts[next].page == page && !verified; ++next) {
        const Attempt& a = attempts[next];
        last = &a;
        if (a.probe) {
          if (!probeDue) {
            Problem("page " + std::to_string(page) + ": GI sent where no write had failed");
            return verdict;
          }
          probeDue = !a.ok;
          if (!a.ok) ++failedWrites;
        } else if (a.write) {
          if (written) {
            Problem("page " + std::to_string(page) + " written again after a good write");
            return verdict;
          }
          if (probeDue) {
            Problem("page " + std::to_string(page) + " written again before the board answered GI");
            return verdict;
          }
          written = a.ok;
          probeDue = !a.ok;
          if (!a.ok) ++failedWrites;
        } else {
          if (!written) {
            Problem("page " + std::to_string(page) + " read back before any good write");
            return verdict;
          }
          verified = a.ok;
          if (!a.ok) ++failedVerifies;
        }
        if (failedWrites + failedVerifies > Budget) {
          Problem("page " + std::to_string(page) + " saw more than " + std::to_string(Budget) + " failures");
          return verdict;
        }
      }
      verdict.failures.emplace_back(failedWrites, failedVerifies);
      const int failures = failedWrites + failedVerifies;
      if (verified) {
        Expect(failures < Budget, "page " + std::to_string(page) + " went on after its 50th failure");
        continue;
      }
      // The flash stopped on this page: only an exhausted budget allows that.
      if (failures < Budget) {
        Problem("page " + std::to_string(page) + " given up after only " + std::to_string(failures) +
                " failures");
      }
      if (next != attempts.size()) Problem("page commands after the page that was given up");
      const bool page0 = page == 0;
      verdict.stoppedAt = page;
      verdict.message = last->write || last->probe ? (page0 ? WriteFailurePage0 : WriteFailure)
                                                   : (page0 ? VerifyFailurePage0 : VerifyFailure);
      return verdict;
    }
    if (verdict.positionsReached < PagesWritten) {
      Problem("the flash stopped after " + std::to_string(verdict.positionsReached) +
              " pages without a page having failed 50 times");
      return verdict;
    }
    JudgeConfirmation(verdict, attempts, next);
    return verdict;
  }

  // A flash that had failures reads every page back once more, pages 0 to 62,
  // each with a budget of its own; a flash without failures ends at page 0.
  void JudgeConfirmation(FlashVerdict& verdict, const std::vector<Attempt>& attempts, std::size_t next) {
    const bool hadFailures = std::any_of(verdict.failures.begin(), verdict.failures.end(),
                                         [](const auto& f) { return f.first + f.second > 0; });
    if (!hadFailures) {
      Expect(next == attempts.size(), "page commands after page 0 in a flash without failures");
      return;
    }
    for (int page = 0; page < PagesWritten; ++page) {
      int failed = 0;
      bool confirmed = false;
      for (; next < attempts.size() && attempts[next].page == page && !confirmed; ++next) {
        if (attempts[next].write || attempts[next].probe) {
          Problem("page " + std::to_string(page) + " written or probed while the flash was being confirmed");
          return;
        }
        confirmed = attempts[next].ok;
        if (!confirmed) ++failed;
      }
      if (failed > Budget)
        Problem("page " + std::to_string(page) + " failed its confirmation more than 50 times");
      if (confirmed) continue;
      if (failed < Budget) {
        Problem("the confirmation gave up page " + std::to_string(page) + " after " + std::to_string(failed) +
                " failures");
      }
      Expect(next == attempts.size(), "page commands after the confirmation gave up");
      verdict.stoppedAt = page;
      verdict.message = VerifyFailurePage0;
      return;
    }
    Expect(next == attempts.size(), "page commands after the confirmation");
  }

  // The failures each page must see when only the board misbehaves: its
  // refusals first, then its spoilt read-backs, up to the budget.
  void ComparePrediction(const FlashVerdict& verdict) {
    std::map<int, int> refusals;
    std::map<int, int> spoils;
    for (const sim::Fault& fault : s.options.faults) {
      if (fault.kind == sim::Fault::Kind::Write) refusals[fault.page] += fault.count;
      if (fault.kind == sim::Fault::Kind::Verify) spoils[fault.page] += fault.count;
    }
    for (int position = 0; position < PagesWritten; ++position) {
      const int page = PageAt(position);
      const int writes = std::min(refusals[page], Budget);
      const int verifies = writes < Budget ? std::min(spoils[page], Budget - writes) : 0;
      if (position >= static_cast<int>(verdict.failures.size())) {
        Problem("the flash never reached page " + std::to_string(page) + " though no earlier page ran out");
        return;
      }
      const auto [seenWrites, seenVerifies] = verdict.failures[static_cast<std::size_t>(position)];
      if (seenWrites != writes || seenVerifies != verifies) {
        Problem("page " + std::to_string(page) + ": " + std::to_string(seenWrites) + " failed writes and " +
                std::to_string(seenVerifies) + " failed verifies, where the board caused " +
                std::to_string(writes) + " and " + std::to_string(verifies));
      }
      if (writes + verifies >= Budget) {
        Expect(static_cast<int>(verdict.failures.size()) == position + 1,
               "the flash went on past page " + std::to_string(page) + ", which ran out of its budget");
        return;
      }
    }
  }

  void ExpectState(const FakeWindow& window, EndState due, const std::string& when) {
    const auto buttons = window.VisibleButtons();
    switch (due) {
      case EndState::Closed:
        Expect(window.closed, when + ": the window should be closed");
        return;
      case EndState::Idle:
        Expect(!window.closed && buttons == std::vector<std::string>{"Find Device"} &&
                   !window.progressVisible && window.statusText.empty() && window.deviceName.empty(),
               when + ": the window should be idle");
        return;
      case EndState::Ready:
        Expect(!window.closed && buttons == std::vector<std::string>{"Flash Device", "Abort Flash"} &&
                   !window.progressVisible && window.deviceName == "Kelvo",
               when + ": the window should offer the flash");
        return;
      case EndState::Done:
        Expect(!window.closed && buttons == std::vector<std::string>{"Ok!"} && !window.progressVisible &&
                   window.statusText == "Flash Complete!" && window.deviceName == "Kelvo",
               when + ": the window should show \"Flash Complete!\" and only \"Ok!\"");
        return;
    }
  }

  void ExpectMessages(const FakeWindow& window, std::size_t from, const std::optional<Message>& due,
                      const std::string& when) {
    const std::size_t shown = window.messages.size() - from;
    if (!due) {
      if (shown != 0) Problem(when + ": unexpected message \"" + window.messages[from].text + "\"");
      return;
    }
    if (shown != 1) {
      Problem(when + ": " + std::to_string(shown) + " messages where exactly one (\"" + due->text +
              "\") is due");
      return;
    }
    const auto& m = window.messages[from];
    Expect(m.text == due->text && m.title == due->title, when + ": message \"" + m.text + "\" / \"" +
                                                             m.title + "\" where \"" + due->text + "\" / \"" +
                                                             due->title + "\" is due");
  }

  // The board's own record, held in every run however far out of step the
  // cable, the answers or the board's receiver put the two sides: page 63 is
  // never programmed, and page 0 only once pages 1 to 62 have each been read
  // back holding their image bytes since they were last programmed.
  void CheckBoard(const sim::SimLink& link, const Bytes& initialFlash, bool flashComplete, bool page0Alarm) {
    const std::vector<sim::PageEvent>& events = link.PageEvents();
    const Bytes& flash = link.Flash();
    using Kind = sim::PageEvent::Kind;

    std::vector<Bytes> content(sim::FlashPages);
    for (int page = 0; page < sim::FlashPages; ++page)
      content[static_cast<std::size_t>(page)] = FlashPage(initialFlash, page);
    std::vector<bool> verified(sim::FlashPages, false);
    std::vector<bool> writtenEver(sim::FlashPages, false);
    int page63Commands = 0;
    int page63Reads = 0;
    int earlyPage0 = 0;
    std::string firstEarlyPage0;
    for (const sim::PageEvent& e : events) {
      if (e.page < 0 || e.page >= sim::FlashPages) continue;
      const auto p = static_cast<std::size_t>(e.page);
      if (e.page == UntouchedPage) (e.kind == Kind::ReadBack ? page63Reads : page63Commands) += 1;
      if (e.page == 0 && e.kind != Kind::ReadBack) {
        for (int other = 1; other < PagesWritten; ++other) {
          if (verified[static_cast<std::size_t>(other)]) continue;
          if (++earlyPage0 == 1) {
            firstEarlyPage0 = std::string(e.kind == Kind::WriteRefused ? "refused"
                                          : e.data == Page(s.image, 0) ? "with its own bytes"
                                                                       : "with other bytes") +
                              ", page " + std::to_string(other) + " not verified";
          }
          break;
        }
      }
      if (e.kind == Kind::Written) {
        content[p] = e.data;
        verified[p] = false;
        writtenEver[p] = true;
      }
      if (e.kind == Kind::ReadBack && e.exact && e.page < PagesWritten && content[p] == Page(s.image, e.page))
        verified[p] = true;
    }
    if (page63Commands > 0)
      Problem("the board was told to program page 63 " + std::to_string(page63Commands) + " times");
    if (page63Reads > 0) BoardProblem("the board was asked to read page 63");
    if (earlyPage0 > 0) {
      Problem("page 0 was programmed " + std::to_string(earlyPage0) +
              " times before pages 1 to 62 were all verified (first " + firstEarlyPage0 + ")");
    }
    // However far out of step the board gets, the updater never lets it
    // program the page it must never change.
    if (FlashPage(flash, UntouchedPage) != FlashPage(initialFlash, UntouchedPage))
      Problem("page 63 of the board changed");

    // The warning not to power off is for a board whose start-up page this
    // run has touched or that does not hold the image.
    if (page0Alarm) {
      bool holdsImage = true;
      for (int page = 0; page < PagesWritten; ++page)
        holdsImage &= FlashPage(flash, page) == Page(s.image, page);
      Expect(writtenEver[0] || !holdsImage,
             "the page-0 warning for a board whose page 0 was not written and that holds the image");
    }
    // Success is never reported for a board that does not hold the image.
    if (flashComplete) {
      for (int page = 0; page < PagesWritten; ++page) {
        if (FlashPage(flash, page) != Page(s.image, page)) {
          Problem("\"Flash Complete!\" but the board's page " + std::to_string(page) +
                  " differs from the image");
          break;
        }
        if (!verified[static_cast<std::size_t>(page)]) {
          Problem("\"Flash Complete!\" but page " + std::to_string(page) +
                  " was not read back after its last write");
          break;
        }
      }
    }
    if (s.cableKeepsStep) {
      // Whole commands only: whatever the board programmed came from the
      // updater's data writes, each carrying its page's own bytes, or from
      // the bytes that start no command with which it releases a board that
      // waits for a page after a failed write, on the page the flash ended at.
      for (int page = 0; page < PagesWritten; ++page) {
        const Bytes held = FlashPage(flash, page);
        if (!flashComplete && StartsNoCommand(held)) continue;
        if (writtenEver[static_cast<std::size_t>(page)] && held != Page(s.image, page)) {
          BoardProblem("the board's page " + std::to_string(page) + " was programmed with bytes not its own");
          break;
        }
      }
    }
  }
};

struct RunResult {
  std::string outcome;
  std::vector<std::string> problems;
  std::vector<std::string> hazards;
  int pagesPassedAt49 = 0;  // pages that went on after exactly 49 failures
  // A flash that ran out of verify reads on a page the board holds with other
  // bytes than its own: only writing it again could have saved it.
  bool verifiedAWrongPage = false;
  // Per driver function, the numbers (from 1, counted over the whole run) of
  // its first and last call during the flash.
  std::map<std::string, std::pair<int, int>> flashCalls;
};

RunResult RunScenario(const CampaignScenario& s) {
  sim::SimLink link(s.options);
  const Bytes initialFlash = link.Flash();
  StateRig<RecordingDriver> rig(link);
  auto& [driver, window, state] = rig;
  if (s.resource) state.Resources = ResourceOf(*s.resource);
  BindWindow(state);
  Judge judge{s, {}, {}, {}};
  RunResult result;

  // Start-up.
  Form_Load(state);
  const Calls startUp(driver.calls.data(), driver.calls.size());
  bool opened = false;
  for (const DriverCall& call : startUp) {
    if (Is(call, DriverCall::Kind::OpenEx) && call.status == FT_OK && call.handleStored != 0) opened = true;
  }
  // Usable unless a setting that matters failed; the USB transfer sizes are
  // only a wish. Decided from the cable's answers, not from which calls the
  // updater got round to making.
  bool configured = opened;
  for (const DriverCall& call : startUp) {
    if (Is(call, DriverCall::Kind::Setting) && call.name != "FT_SetUSBParameters" && call.status != FT_OK) {
      configured = false;
    }
  }
  const Identification startUpId = JudgeIdentification(startUp);
  FirmwareVersion version;
  bool updateMode = false;
  if (startUpId.reply) {
    const auto& r = *startUpId.reply;
    updateMode = r[2] == 3 && r[3] == 0xFF;
    if (Signed(r)) version = Nibbles(r[3]);
  }
  if (updateMode) version = {1, 2};

  if (!configured) {
    judge.outcome = "start-up refused: serial link not found";
    judge.ExpectMessages(window, 0, LinkNotFound, "start-up");
    judge.Expect(startUpId.commands == 0, "the board was asked to identify itself without a link");
    judge.Expect(!window.shown, "start-up showed the window without a link");
    judge.ExpectState(window, EndState::Closed, "start-up");
  } else if (startUpId.commands != 1) {
    judge.Problem("start-up asked the board to identify itself " + std::to_string(startUpId.commands) +
                  " times");
  } else if (version.major + version.minor == 0) {
    judge.outcome = "start-up refused: not in update mode";
    judge.ExpectMessages(window, 0, NotInUpdateMode, "start-up");
    judge.Expect(window.programEnded, "start-up did not end the program after refusing the board");
    judge.ExpectState(window, EndState::Closed, "start-up");
  } else {
    judge.ExpectMessages(window, 0, std::nullopt, "start-up");
    judge.Expect(window.shown, "start-up did not show the window");
    judge.ExpectState(window, EndState::Idle, "start-up");
  }

  // "Find Device", with a second click while the board is asked.
  if (judge.problems.empty() && judge.outcome.empty()) {
    const std::size_t from = driver.calls.size();
    bool clickedAgain = false;
    window.onPump = [&] {
      if (s.secondFindDuringCheck && !clickedAgain) {
        clickedAgain = true;
        window.Click(ButtonFindDevice);
      }
    };
    window.Click(ButtonFindDevice);
    window.onPump = nullptr;
    const Calls check = Calls(driver.calls).subspan(from);

    const bool firstPurgeFailed =
        check.empty() || !Is(check[0], DriverCall::Kind::Purge) || check[0].status != FT_OK;
    const Identification checkId = JudgeIdentification(check);
    judge.Expect(checkId.commands <= 1, "the device check identified the board " +
                                            std::to_string(checkId.commands) +
                                            " times: a second click started a second check");
    bool secondPurgeFailed = false;
    if (!firstPurgeFailed) {
      int purges = 0;
      for (const DriverCall& call : check) {
        if (!Is(call, DriverCall::Kind::Purge)) continue;
        if (++purges == 2) secondPurgeFailed = call.status != FT_OK;
      }
      judge.Expect(purges == 2, "the device check purged " + std::to_string(purges) + " times, not twice");
      judge.Expect(checkId.commands == 1, "the device check did not identify the board");
    } else {
      judge.Expect(checkId.commands == 0, "the board was identified after the first purge failed");
    }
    if (checkId.reply && Signed(*checkId.reply)) version = Nibbles((*checkId.reply)[3]);

    if (firstPurgeFailed || secondPurgeFailed) {
      judge.outcome = "check: USB connection failure";
      judge.ExpectMessages(window, 0, UsbConnectionFailure, "device check");
      judge.ExpectState(window, EndState::Closed, "device check");
    } else if (!s.imageAccepted) {
      judge.outcome = "check: device not supported";
      judge.ExpectMessages(window, 0, NotSupported, "device check");
      judge.ExpectState(window, EndState::Idle, "device check");
    } else {
      judge.ExpectMessages(window, 0, std::nullopt, "device check");
      judge.ExpectState(window, EndState::Ready, "device check");
      const std::string dueText = "Firmware: v" + ShownVersion(version) + "  -  Upgrading to: v" +
                                  ShownVersion(Nibbles(s.image[ImageVersionOffset]));
      judge.Expect(window.statusText == dueText,
                   "device check shows \"" + window.statusText + "\" where \"" + dueText + "\" is due");
    }
  }

  // "Flash Device", with a close request from the user on the way.
  bool flashComplete = false;
  if (judge.problems.empty() && judge.outcome.empty()) {
    const std::size_t from = driver.calls.size();
    const std::size_t progressFrom = window.progressValues.size();
    int pumps = 0;
    bool closeAsked = false;
    window.onPump = [&] {
      if (++pumps == s.closeAtFlashPump) {
        closeAsked = true;
        window.UserClose();
      }
    };
    window.Click(ButtonFlashDevice);
    window.onPump = nullptr;
    const Calls flash = Calls(driver.calls).subspan(from);
    std::map<std::string, int> counted;
    for (std::size_t i = 0; i < driver.calls.size(); ++i) {
      const int number = ++counted[driver.calls[i].name];
      if (i < from) continue;
      auto& [firstCall, lastCall] = result.flashCalls[driver.calls[i].name];
      if (firstCall == 0) firstCall = number;
      lastCall = number;
    }

    const Judge::FlashVerdict verdict = judge.JudgeFlash(flash);
    if (closeAsked)
      judge.Expect(!window.closed, "the user's close request was granted in the middle of the flash");
    judge.ExpectMessages(window, 0, verdict.message, "flash");
    if (verdict.message) {
      judge.outcome =
          "flash failed: " + verdict.message->title +
          (verdict.message->text.find("DO NOT POWER OFF") != std::string::npos ? " (page 0)" : "");
      judge.ExpectState(window, EndState::Idle, "flash");
    } else if (judge.problems.empty()) {
      judge.outcome = "flash complete";
      flashComplete = true;
      judge.ExpectState(window, EndState::Done, "flash");
    }
    // The bar: 0 twice in the preparation, then the position of each page.
    std::vector<int> dueProgress = {0, 0};
    for (int i = 0; i < verdict.positionsReached; ++i) dueProgress.push_back(i);
    const std::vector<int> progress(window.progressValues.begin() + static_cast<std::ptrdiff_t>(progressFrom),
                                    window.progressValues.end());
    judge.Expect(progress == dueProgress, "the progress bar did not step once per page reached");

    if (s.boardFaultsOnly) judge.ComparePrediction(verdict);
    if (s.flashMustComplete)
      judge.Expect(flashComplete, "late answers or one failing read call alone ended the flash in \"" +
                                      (verdict.message ? verdict.message->title : std::string("?")) + "\"");
    for (const auto& [writes, verifies] : verdict.failures) {
      if (writes + verifies == Budget - 1) ++result.pagesPassedAt49;
    }
    result.verifiedAWrongPage =
        verdict.message && verdict.message->title == VerifyFailure.title &&
        FlashPage(link.Flash(), verdict.stoppedAt) != Page(s.image, verdict.stoppedAt);
  }
  if (window.progressVisible && !window.closed) {
    judge.Problem("the progress bar is still visible at the end");
  }
  const bool page0Alarm = std::any_of(window.messages.begin(), window.messages.end(), [](const auto& m) {
    return m.text.find("DO NOT POWER OFF") != std::string::npos;
  });
  judge.CheckBoard(link, initialFlash, flashComplete, page0Alarm);

  if (flashComplete) {
    window.Click(ButtonOk);
    judge.ExpectState(window, EndState::Idle, "after \"Ok!\"");
  }

  result.outcome = judge.outcome.empty() ? "undecided" : judge.outcome;
  result.problems = std::move(judge.problems);
  result.hazards = std::move(judge.hazards);
  return result;
}

std::optional<std::uint64_t> EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::strtoull(text, nullptr, 10);
}

TEST(FaultCampaign, EveryRunEndsAsItsFaultsMakeDue) {
  std::uint64_t first = EnvNumber("KELVO_CAMPAIGN_FIRST_SEED").value_or(1);
  std::uint64_t runs = EnvNumber("KELVO_CAMPAIGN_RUNS").value_or(600);
  if (const auto seed = EnvNumber("KELVO_CAMPAIGN_SEED")) {
    first = *seed;
    runs = 1;
  }

  std::map<std::string, int> outcomes;
  // By the board's receive model and programming time: outcome -> runs.
  std::map<std::string, std::map<std::string, int>> byBoard;
  std::map<std::string, int> faultKinds;
  int pagesPassedAt49 = 0;
  std::vector<std::string> wrongPagesVerified;
  int failedRuns = 0;
  std::vector<std::string> hazards;
  for (std::uint64_t seed = first; seed < first + runs; ++seed) {
    const CampaignScenario scenario = MakeCampaignScenario(seed);
    for (const std::string& spec : scenario.faultSpecs) {
      // Call faults by the call they hit; the others by their kind.
      const std::size_t colon = spec.find(':');
      ++faultKinds[spec.rfind("call:", 0) == 0 ? spec.substr(0, spec.find(':', colon + 1))
                                               : spec.substr(0, colon)];
    }
    if (scenario.resourceNote.rfind("good", 0) != 0) ++faultKinds["resource"];
    if (scenario.resourceNote.find("commands") != std::string::npos) ++faultKinds["commands in page data"];
    if (scenario.flashMustComplete) ++faultKinds["(must complete)"];
    const RunResult result = RunScenario(scenario);
    ++outcomes[result.outcome];
    const int ms = scenario.options.programMs;
    const bool usual = ms == 0 || ms == 1 || ms == 10 || ms == 100;
    ++byBoard[std::string(scenario.options.boardReceive == sim::SimOptions::BoardReceive::Drop ? "drop"
                                                                                               : "keep") +
              ", " + (usual ? std::to_string(ms) + " ms" : "1-249 ms")][result.outcome];
    pagesPassedAt49 += result.pagesPassedAt49;
    if (result.verifiedAWrongPage) wrongPagesVerified.push_back(std::to_string(seed));
    for (const std::string& hazard : result.hazards) {
      hazards.push_back("seed " + std::to_string(seed) + " (" + result.outcome + "): " + hazard);
    }
    if (!result.problems.empty() || result.outcome == "undecided") {
      std::ostringstream report;
      report << DescribeScenario(scenario) << "  ended: " << result.outcome << "\n";
      for (const std::string& problem : result.problems) report << "  - " << problem << "\n";
      // Enough failing runs to see a pattern, not a flood.
      if (++failedRuns <= 10) ADD_FAILURE() << report.str();
    }
  }
  EXPECT_EQ(failedRuns, 0) << "runs that broke an invariant";

  std::cout << "[campaign] " << runs << " runs, seeds " << first << " to " << first + runs - 1 << "\n";
  for (const auto& [outcome, count] : outcomes)
    std::cout << "[campaign]   " << count << "  " << outcome << "\n";
  std::cout << "[campaign] by board (receive model, time to program a page):\n";
  for (const auto& [board, ends] : byBoard) {
    int runsOnBoard = 0;
    std::string line;
    for (const auto& [outcome, count] : ends) {
      runsOnBoard += count;
      line += "; " + std::to_string(count) + " " + outcome;
    }
    std::cout << "[campaign]   " << board << ": " << runsOnBoard << " runs" << line << "\n";
  }
  std::cout << "[campaign] faults used:";
  for (const auto& [kind, count] : faultKinds) std::cout << " " << kind << " " << count << ";";
  std::cout << "\n[campaign] pages that went on after exactly 49 failures: " << pagesPassedAt49 << "\n";
  std::cout << "[campaign] flashes that ran out of read-backs of a page the board holds with other bytes: "
            << wrongPagesVerified.size() << (wrongPagesVerified.empty() ? "" : ", seeds");
  for (const std::string& seed : wrongPagesVerified) std::cout << " " << seed;
  std::cout << "\n";
  std::cout << "[campaign] board out of step after a failed transfer call or a late answer: "
            << hazards.size() << " breaches\n";
  for (const std::string& hazard : hazards) std::cout << "[campaign]   " << hazard << "\n";
}

// --- The two sides out of step ------------------------------------------------

using Receive = sim::SimOptions::BoardReceive;
constexpr Receive BothModels[] = {Receive::Keep, Receive::Drop};  // the first is the simulator's default
const std::string WriteTo63("WF\0\xFC\0", 5);
const std::string WriteTo0("WF\0\0\0", 5);
const std::string ReadOf63("RF\0\xFC\0\x02\0", 7);

const char* ModelName(Receive receive) { return receive == Receive::Keep ? "keep" : "drop"; }

// One run's ending and breaches on a line, for the campaign's log.
std::string Summary(const RunResult& result) {
  std::string line = result.outcome;
  for (const std::string& problem : result.problems) line += "; " + problem;
  return line;
}

// A command lost on its way to the board, an echo cut short after the board
// took it, answers so late that the board may still be programming when the
// retry comes, a failed write of the page data on a board that takes time, a
// command cut short after each of its bytes at one of a page's first three
// attempts, stale answers that meet a lost command: on pages whose data hold
// the board's own commands, on both board models. The board's record must
// hold everywhere, and a retry saves every page.
TEST(FaultCampaign, OutOfStepCasesNeverProgramTheWrongPage) {
  struct Case {
    std::string what;
    std::vector<std::string> faults;
    std::vector<PlantedBytes> planted;
    int programMs;
  };
  std::vector<Case> cases = {
      {"WF lost on page 5, WF 00 FC 00 at 0", {"lose:5"}, {{5, 0, WriteTo63}}, 0},
      {"WF lost on page 5, WF 00 FC 00 at 1000", {"lose:5"}, {{5, 1000, WriteTo63}}, 0},
      {"WF lost on page 5, WF 00 FC 00 at 2043", {"lose:5"}, {{5, 2043, WriteTo63}}, 0},
      {"WF lost on page 5, WF 00 00 00 at 1000", {"lose:5"}, {{5, 1000, WriteTo0}}, 0},
      {"WF lost on page 35, the sample's own WF", {"lose:35"}, {}, 0},
      {"WF lost on page 43, the sample's own WF", {"lose:43"}, {}, 0},
      {"short WF echo on page 5, WF 00 FC 00 in its last five bytes",
       {"short-echo:5"},
       {{5, 2043, WriteTo63}},
       0},
      {"short WF echo on page 0 three times, WF 00 FC 00 in its last five bytes",
       {"short-echo:0:3"},
       {{0, 2043, WriteTo63}},
       10},
      {"OK 550 and 600 ms late on page 5, WF 00 FC 00 every 256 bytes",
       {"late-ok:5:550", "late-ok:5:600"},
       {{5, 0, WriteTo63, 256}},
       0},
      {"OK 1200 and 1300 ms late on page 5, WF 00 FC 00 every 256 bytes",
       {"late-ok:5:1200", "late-ok:5:1300"},
       {{5, 0, WriteTo63, 256}},
       0},
      {"page 1's data write fails on a board that takes 1 ms", {"call:FT_Write:4:4"}, {}, 1},
      {"page 16's data write fails on a board that takes 100 ms, commands all through the page",
       {"call:FT_Write:4:49"},
       {{16, 3, WriteTo0, 256}, {16, 2043, WriteTo63}},
       100},
      {"lost and short echoes mixed with late answers and a failing read",
       {"lose:7:2", "short-echo:7:2", "late-ok:7:700", "short-echo:0", "call:FT_Read:18:300"},
       {{7, 0, WriteTo0}, {7, 1500, ReadOf63}, {7, 2043, WriteTo63}, {0, 2043, WriteTo63}},
       10},
      {"page 62's first three WF cut after 4, 2 and 1 bytes",
       {"cut:62:4", "cut:62:2:2", "cut:62:1:3"},
       {{62, 2043, WriteTo63}},
       1},
  };
  // The board refuses the attempts before the cut one, so that the cut meets
  // a retry.
  for (const int page : {0, 31, 62}) {
    for (int held = 0; held <= 4; ++held) {
      for (int nth = 1; nth <= 3; ++nth) {
        const std::string p = std::to_string(page);
        std::vector<std::string> faults = {"cut:" + p + ":" + std::to_string(held) + ":" +
                                           std::to_string(nth)};
        if (nth > 1) faults.push_back("write:" + p + ":" + std::to_string(nth - 1));
        cases.push_back({"WF " + std::to_string(nth) + " of page " + p + " cut after " +
                             std::to_string(held) + " bytes, WF 00 00 00 at 0 and WF 00 FC 00 at 2043",
                         faults,
                         {{page, 0, WriteTo0}, {page, 2043, WriteTo63}},
                         10});
      }
    }
  }
  // The board keeps the probes while it programs late and answers them all
  // at once; the page's second command is lost on the line.
  for (const int ms : {1000, 1400, 1800, 2200, 2600}) {
    cases.push_back(
        {"OK " + std::to_string(ms) + " ms late on page 5 and its second WF lost, WF 00 FC 00 every 64 bytes",
         {"late-ok:5:" + std::to_string(ms), "cut:5:0:2"},
         {{5, 0, WriteTo63, 64}},
         0});
  }
  cases.push_back(
      {"OK 1500 ms late on page 40 and its second WF cut after 3 bytes, WF 00 00 00 every 64 bytes",
       {"late-ok:40:1500", "cut:40:3:2"},
       {{40, 0, WriteTo0, 64}},
       0});
  for (const Case& c : cases) {
    for (const Receive receive : BothModels) {
      const CampaignScenario scenario = MakeScenario(c.faults, c.planted, receive, c.programMs);
      const RunResult result = RunScenario(scenario);
      std::cout << "[cases] " << c.what << " (" << ModelName(receive) << "): " << Summary(result) << "\n";
      EXPECT_TRUE(result.problems.empty()) << DescribeScenario(scenario) << Summary(result);
      EXPECT_EQ(result.outcome, "flash complete") << DescribeScenario(scenario);
    }
  }
}

// Every single driver call of the flash fails once, at every position, on a
// board that programs a page in 0, 1, 10 or 100 ms and whose pages begin with
// a command for page 0, read page 63 in their middle and end in one for page
// 63: each such failure costs a retry, never the flash. The two board models
// take turns over the positions, and so do two statuses of a failed read.
// KELVO_CAMPAIGN_SWEEP_STEP=N tries one position in N only.
TEST(FaultCampaign, EverySingleFailingCallOfTheFlashIsAbsorbed) {
  const auto step =
      static_cast<int>(std::max<std::uint64_t>(1, EnvNumber("KELVO_CAMPAIGN_SWEEP_STEP").value_or(1)));
  std::vector<PlantedBytes> planted;
  for (int page = 0; page < PagesWritten; ++page) {
    planted.push_back({page, 0, WriteTo0});
    planted.push_back({page, 1000, ReadOf63});
    planted.push_back({page, PageBytes - 5, WriteTo63});
  }
  std::map<std::string, std::pair<int, int>> tally;  // complete, not
  int failedRuns = 0;
  int runs = 0;
  for (const int programMs : {0, 1, 10, 100}) {
    // The image is scrambled once per board, not once per run.
    const CampaignScenario bases[] = {MakeScenario({}, planted, Receive::Keep, programMs),
                                      MakeScenario({}, planted, Receive::Drop, programMs)};
    const RunResult clean = RunScenario(bases[0]);
    ASSERT_EQ(clean.outcome, "flash complete") << Summary(clean);
    for (const char* call : {"FT_Write", "FT_Read", "FT_Purge"}) {
      const auto [first, last] = clean.flashCalls.at(call);
      for (int nth = first; nth <= last; nth += step) {
        // A read fails as a lost cable's does (4) or as any other failure
        // (18), by turns; the other calls as the cable's.
        const int status = std::string(call) == "FT_Read" && nth / step / 2 % 2 == 1 ? 18 : 4;
        const std::string fault =
            std::string("call:") + call + ":" + std::to_string(status) + ":" + std::to_string(nth);
        // By threes, so that each of a page's calls meets both board models.
        CampaignScenario scenario = bases[nth / step / 3 % 2];
        AddFaults(scenario, {fault});
        const RunResult result = RunScenario(scenario);
        ++runs;
        const bool drop = scenario.options.boardReceive == Receive::Drop;
        auto& [complete, not_] = tally[std::string(call) + " at " + std::to_string(programMs) + " ms, " +
                                       (drop ? "drop" : "keep")];
        if (result.outcome == "flash complete" && result.problems.empty()) {
          ++complete;
          continue;
        }
        ++not_;
        if (++failedRuns <= 10) ADD_FAILURE() << DescribeScenario(scenario) << "  ended: " << Summary(result);
      }
    }
  }
  std::cout << "[sweep] " << runs << " runs, one position in " << step << "\n";
  for (const auto& [key, counts] : tally)
    std::cout << "[sweep]   " << key << ": " << counts.first << " complete, " << counts.second << " not\n";
  EXPECT_EQ(failedRuns, 0) << "single failing calls that cost the flash";
}

}  // namespace
}  // namespace kelvo::test
