// kelvo-flash over simulated cables: what each board ends as, what the
// operator is told, and that a refused run leaves every board alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "core/Texts.h"
#include "support/SampleResource.h"
#include "support/SimCables.h"

namespace kelvo::test {
namespace {

enum class ImageFile { None, Good, Short, NotKelvo, Endless };

struct CommandLineCase {
  const char* name;
  int cables;
  std::vector<std::string> args;
  std::vector<std::string> outcomes;  // per cable; "" for a board nothing was written to
  int status;
  std::function<void(std::vector<sim::SimOptions>&)> boards = {};
  ImageFile file = ImageFile::None;
  bool terminal = false;
  const char* answer = "";
  bool embeddedImage = true;
  // On stdout when the status is 0; otherwise in the one line on stderr.
  std::string says = "";
  // On stderr among the boards' lines.
  std::string tells = "";
  // In the closing --json summary.
  std::string sums = "";
  // Boards that failed before anything was written to them.
  std::vector<int> untouched = {};
  bool sampleImage = false;
  // Why the cables' receive threads have no real-time priority, if so: said
  // once on stderr, whatever the number of boards.
  std::string realtimeRefused = "";
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

// --read's file, holding "old" before every run.
const std::string ReadFile = ::testing::TempDir() + "kelvo-flash-read.bin";

// A board that holds the sample image's pages, but for `differing`.
std::function<void(std::vector<sim::SimOptions>&)> HoldingImage(std::vector<int> differing,
                                                                std::size_t board = 0) {
  return [=](std::vector<sim::SimOptions>& boards) {
    const std::vector<std::uint8_t> image = MakeSampleImage();
    boards[board].flash.assign(image.begin() + ImageHeaderSize, image.end());
    for (const int page : differing) boards[board].flash[page * ImagePageSize + 5] ^= 0x40;
  };
}

std::string WriteImageFile(ImageFile kind) {
  if (kind == ImageFile::Endless) return "/dev/zero";
  std::vector<std::uint8_t> plain = MakeSampleImage();
  if (kind == ImageFile::NotKelvo) plain[0] = 'X';
  std::vector<std::uint8_t> bytes = ScrambledSample(plain);
  if (kind == ImageFile::Short) bytes.resize(bytes.size() - 4);
  // A file per case: ctest runs the cases side by side.
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(name.begin(), name.end(), '/', '-');
  const std::string path = ::testing::TempDir() + "kelvo-flash-image-" + name + ".jpg";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

TEST_P(CommandLineTest, EndsEachBoardAsExpected) {
  const CommandLineCase& c = GetParam();
  SimCables bus;
  bus.boards.resize(c.cables);
  if (c.boards) c.boards(bus.boards);
  bus.realtimeRefused = c.realtimeRefused;
  std::vector<std::string> args = c.args;
  if (c.file != ImageFile::None) args.insert(args.end(), {"--image", WriteImageFile(c.file)});
  const ResourceLoader embedded = c.embeddedImage ? ResourceOf(ScrambledSample()) : ResourceOf({});
  bus.sampleImage = c.sampleImage;
  // A file of each case's own, for cases run side by side.
  const std::string readFile = ReadFile + "." + c.name;
  std::replace(args.begin(), args.end(), ReadFile, readFile);
  std::ofstream(readFile, std::ios::binary | std::ios::trunc) << "old";

  EXPECT_EQ(bus.Run(args, embedded, c.terminal, c.answer), c.status) << bus.err.str();
  const std::string out = bus.out.str(), err = bus.err.str();
  if (!c.says.empty() && c.status == 0) {
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_EQ(err, "");
  } else if (!c.says.empty()) {
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }

  EXPECT_NE(err.find(c.tells), std::string::npos) << err;
  if (!c.tells.empty()) {
    EXPECT_EQ(err.find(c.tells), err.rfind(c.tells)) << "said once: " << err;
  }
  // Without --json the closing table is the result on stdout.
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  if (!json && c.status != 2 && c.status != 3 && c.says.empty()) {
    EXPECT_EQ(out.rfind("serial ", 0), 0u) << out;
  }
  // A run that reached its boards ends its --json with the summary, whose
  // status is the program's.
  const std::size_t summary = out.rfind("{\"event\":\"summary\"");
  const bool reachedBoards = std::find(args.begin(), args.end(), "--json") != args.end() && c.status != 2 &&
                             c.status != 3 &&
                             c.outcomes.end() == std::find(c.outcomes.begin(), c.outcomes.end(), "");
  if (reachedBoards) {
    ASSERT_NE(summary, std::string::npos) << out;
    EXPECT_EQ(out.find('\n', summary), out.size() - 1) << "the summary is the last line";
    EXPECT_NE(out.find("\"status\":" + std::to_string(c.status) + ",", summary), std::string::npos) << out;
    EXPECT_NE(out.find(c.sums, summary), std::string::npos) << out.substr(summary);
  }

  const std::vector<std::uint8_t> image = MakeSampleImage();
  for (int i = 0; i < c.cables; ++i) {
    const std::string serial = sim::DeviceSerial({}, i);
    const std::string& outcome = c.outcomes.at(i);
    SCOPED_TRACE(serial);
    if (!outcome.empty()) {
      EXPECT_NE(bus.out.str().find("\"serial\":\"" + serial + "\",\"outcome\":\"" + outcome + "\""),
                std::string::npos)
          << bus.out.str();
    }
    // The updater's own choice is made before its serial is known.
    auto link = bus.bySerial.find(serial);
    if (link == bus.bySerial.end() && i == 0) link = bus.bySerial.find("");
    const bool written =
        link != bus.bySerial.end() &&
        std::any_of(link->second->PageEvents().begin(), link->second->PageEvents().end(),
                    [](const sim::PageEvent& e) { return e.kind == sim::PageEvent::Kind::Written; });
    const bool untouched = std::find(c.untouched.begin(), c.untouched.end(), i) != c.untouched.end();
    const bool reads = std::find(args.begin(), args.end(), "--verify") != args.end() ||
                       std::find(args.begin(), args.end(), "--read") != args.end();
    EXPECT_EQ(written,
              !untouched && !reads &&
                  (outcome == "complete" || outcome.ends_with("failure") || outcome == "start-page-at-risk"));
    // --read's file is the board's whole flash, or still what it was.
    if (std::find(args.begin(), args.end(), "--read") != args.end() && !outcome.empty()) {
      std::ifstream file(readFile, std::ios::binary);
      const std::vector<std::uint8_t> read{std::istreambuf_iterator<char>(file), {}};
      const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
      EXPECT_EQ(read, outcome == "read" ? link->second->Flash() : old);
    }
    if (outcome != "complete") continue;
    for (std::size_t page = 0; page < 63; ++page) {
      ASSERT_TRUE(std::equal(image.begin() + ImagePageOffset(page), image.begin() + ImagePageOffset(page + 1),
                             link->second->Flash().begin() + page * ImagePageSize))
          << "page " << page;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CommandLineTest,
    ::testing::Values(
        CommandLineCase{
            "ThreeCablesAll", 3, {"--all", "--yes", "--json"}, {"complete", "complete", "complete"}, 0},
        CommandLineCase{
            "WriteFaultAmongThree",
            3,
            {"--all", "--yes", "--json"},
            {"complete", "write-failure", "complete"},
            1,
            [](auto& boards) { boards[1].faults.push_back(*sim::ParseFault("write:7:50", nullptr)); }},
        CommandLineCase{"NoCable", 0, {"--yes", "--json"}, {}, 3},
        CommandLineCase{
            .name = "WithoutRealTimePriority",
            .cables = 2,
            .args = {"--all", "--yes", "--json"},
            .outcomes = {"complete", "complete"},
            .status = 0,
            .tells = "kelvo-flash: the cables are read at ordinary priority (this user may not take "
                     "real-time priority; RealtimeKit: not there)",
            .sums = "\"realtimeRefused\":\"RealtimeKit: not there\",\"boards\"",
            .realtimeRefused = "RealtimeKit: not there"},
        CommandLineCase{
            .name = "SilentBoard",
            .cables = 1,
            .args = {"--yes", "--json"},
            .outcomes = {"not-in-update-mode"},
            .status = 4,
            .boards = [](auto& boards) { boards[0].identifyReply.reset(); },
            .tells = "KV000001: Kelvo not in update mode!\nKV000001: the board did not answer \"GI\"",
            .sums = "\"diagnosis\":{\"cause\":\"silent\""},
        // Retries are shown while they happen and counted in the summary.
        CommandLineCase{
            .name = "RetriedBoard",
            .cables = 1,
            .args = {"--yes", "--json"},
            .outcomes = {"complete"},
            .status = 0,
            .boards =
                [](auto& boards) { boards[0].faults.push_back(*sim::ParseFault("write:4:3", nullptr)); },
            .tells = "KV000001: page 4: attempt 4/50\n",
            .sums = "\"retries\":[{\"page\":4,\"failures\":3}]"},
        CommandLineCase{
            .name = "CableUnpluggedMidBatch",
            .cables = 2,
            .args = {"--all", "--yes", "--json"},
            .outcomes = {"complete", "usb-failure"},
            .status = 6,
            .boards =
                [](auto& boards) { boards[1].faults.push_back(*sim::ParseFault("unplug:50000", nullptr)); },
            .sums = "\"retries\":[{\"page\":25,\"failures\":50}]"},
        // The most dangerous outcome decides, not the highest number: a
        // half-written board before a USB failure in the check, a page 0
        // failure before a board that is not in update mode, a write failure
        // before a cable lost mid-flash.
        CommandLineCase{.name = "HalfWrittenBeforeUsbFailure",
                        .cables = 2,
                        .args = {"--all", "--yes", "--json"},
                        .outcomes = {"write-failure", "usb-failure"},
                        .status = 1,
                        .boards =
                            [](auto& boards) {
                              boards[0].faults.push_back(*sim::ParseFault("write:9:50", nullptr));
                              boards[1].faults.push_back(*sim::ParseFault("unplug:3", nullptr));
                            },
                        .untouched = {1}},
        CommandLineCase{.name = "StartPageBeforeNotInUpdateMode",
                        .cables = 2,
                        .args = {"--all", "--yes", "--json"},
                        .outcomes = {"start-page-at-risk", "not-in-update-mode"},
                        .status = 7,
                        .boards =
                            [](auto& boards) {
                              boards[0].faults.push_back(*sim::ParseFault("verify:0:50", nullptr));
                              boards[1].identifyReply = {'P', 'Z', 0, 0};
                            },
                        .tells = "DO NOT POWER OFF BOARD!! **  Re-try update!\n"},
        CommandLineCase{.name = "WriteFailureBeforeLostCable",
                        .cables = 2,
                        .args = {"--all", "--yes", "--json"},
                        .outcomes = {"usb-failure", "write-failure"},
                        .status = 1,
                        .boards =
                            [](auto& boards) {
                              boards[0].faults.push_back(*sim::ParseFault("unplug:50000", nullptr));
                              boards[1].faults.push_back(*sim::ParseFault("write:30:50", nullptr));
                            }},
        // A board already at the image's version is told as such, and left
        // alone when asked.
        CommandLineCase{.name = "CurrentBoardFlashed",
                        .cables = 1,
                        .args = {"--yes", "--json"},
                        .outcomes = {"complete"},
                        .status = 0,
                        .boards =
                            [](auto& boards) {
                              boards[0].identifyReply = {'P', 'Z', 0, 0x30};
                            },
                        .tells = "KV000001: already at the image's version 3.0\n",
                        .sums = "\"firmware\":\"3.0\",\"image\":\"3.0\",\"current\":true"},
        CommandLineCase{.name = "CurrentBoardSkipped",
                        .cables = 2,
                        .args = {"--all", "--yes", "--json", "--skip-current"},
                        .outcomes = {"current", "complete"},
                        .status = 0,
                        .boards =
                            [](auto& boards) {
                              boards[0].identifyReply = {'P', 'Z', 0, 0x30};
                            },
                        .tells = "KV000001: current: already at the image's version, left alone\n",
                        .sums = "\"outcome\":\"current\""},
        CommandLineCase{"NoTerminalNoYes", 1, {"--all", "--json"}, {""}, 2},
        // Reading the boards writes nothing to any, and asks nothing.
        CommandLineCase{.name = "VerifyMatchesAndDiffers",
                        .cables = 3,
                        .args = {"--verify", "--all", "--json"},
                        .outcomes = {"matches", "differs", "differs"},
                        .status = 9,
                        .boards =
                            [](auto& boards) {
                              HoldingImage({})(boards);
                              HoldingImage({7, 40, 41, 42}, 1)(boards);
                            },
                        .tells = "KV000003  1.2       3.0    differs (pages 0-62)",
                        .sums = "\"outcome\":\"matches\",\"seconds\""},
        CommandLineCase{.name = "VerifyTableNamesThePage",
                        .cables = 1,
                        .args = {"--verify"},
                        .outcomes = {""},
                        .status = 9,
                        .boards = HoldingImage({62}),
                        .tells = "KV000001: differs (page 62)"},
        // Nothing written: a cable lost while reading ranks as any other
        // failure, below a board that differs.
        CommandLineCase{
            .name = "VerifyCableLostBelowDiffers",
            .cables = 2,
            .args = {"--verify", "--all", "--json"},
            .outcomes = {"usb-failure", "differs"},
            .status = 9,
            .boards =
                [](auto& boards) { boards[0].faults.push_back(*sim::ParseFault("unplug:200", nullptr)); }},
        // A page that never comes back whole is a failure, not a difference.
        CommandLineCase{.name = "VerifyPageThatCannotBeRead",
                        .cables = 1,
                        .args = {"--verify", "--json"},
                        .outcomes = {"read-failure"},
                        .status = 1,
                        .boards =
                            [](auto& boards) {
                              for (int call = 40; call < 400; ++call)
                                boards[0].faults.push_back(
                                    *sim::ParseFault("call:FT_Read:18:" + std::to_string(call), nullptr));
                            },
                        .sums = "\"failures\":50}]"},
        CommandLineCase{.name = "ReadOneBoard",
                        .cables = 2,
                        .args = {"--read", ReadFile, "--serial", "KV000002", "--json"},
                        .outcomes = {"", "read"},
                        .status = 0,
                        .boards = HoldingImage({3}, 1)},
        CommandLineCase{
            .name = "ReadCutShortKeepsTheOldFile",
            .cables = 1,
            .args = {"--read", ReadFile, "--json"},
            .outcomes = {"usb-failure"},
            .status = 6,
            .boards =
                [](auto& boards) { boards[0].faults.push_back(*sim::ParseFault("unplug:300", nullptr)); }},
        CommandLineCase{
            .name = "ReadIntoAFolderThatIsNot",
            .cables = 1,
            .args = {"--read", "/nonexistent/flash.bin"},
            .outcomes = {""},
            .status = 2,
            .says = "kelvo-flash: --read: cannot write '/nonexistent/flash.bin': there is no folder"},
        CommandLineCase{.name = "ReadOneBoardOnly",
                        .cables = 2,
                        .args = {"--read", ReadFile, "--all"},
                        .outcomes = {"", ""},
                        .status = 2,
                        .says = "--read reads one board"},
        CommandLineCase{.name = "VerifyOrReadNotBoth",
                        .cables = 1,
                        .args = {"--verify", "--read", ReadFile},
                        .outcomes = {""},
                        .status = 2,
                        .says = "--verify and --read exclude each other"},
        CommandLineCase{.name = "VerifyFlashesNothingToSkip",
                        .cables = 1,
                        .args = {"--verify", "--skip-current"},
                        .outcomes = {""},
                        .status = 2,
                        .says = "--skip-current has no place"},
        CommandLineCase{
            "ConfirmedOnTerminal", 1, {"--json"}, {"complete"}, 0, {}, ImageFile::None, true, "y\n"},
        CommandLineCase{"DeclinedOnTerminal", 1, {"--json"}, {""}, 2, {}, ImageFile::None, true, "n\n"},
        // Ctrl-D: the question's line is ended before the refusal.
        CommandLineCase{.name = "EndOfInputOnTerminal",
                        .cables = 1,
                        .args = {},
                        .outcomes = {""},
                        .status = 2,
                        .terminal = true,
                        .tells = "[y/N] \nkelvo-flash: not confirmed; no board was flashed\n"},
        // The updater's own choice among three: the first is flashed, under
        // its own serial, and the others are named as left alone.
        CommandLineCase{.name = "OwnChoiceAmongThree",
                        .cables = 3,
                        .args = {"--yes", "--json"},
                        .outcomes = {"complete", "", ""},
                        .status = 0,
                        .tells = "kelvo-flash: left alone: 2 other Kelvo cables (KV000002, KV000003)"},
        CommandLineCase{.name = "SharedSerial",
                        .cables = 2,
                        .args = {"--all", "--yes"},
                        .outcomes = {"", ""},
                        .status = 3,
                        .boards = [](auto& boards) { boards[0].serials = boards[1].serials = {"DUP"}; },
                        .tells = "DUP: 2 cables report the serial DUP"},
        CommandLineCase{.name = "SampleImageSaysSo",
                        .cables = 1,
                        .args = {"--yes", "--json"},
                        .outcomes = {"complete"},
                        .status = 0,
                        .tells = "kelvo-flash: this build carries the SAMPLE firmware image",
                        .sums = "\"sample\":true",
                        .sampleImage = true},
        CommandLineCase{.name = "VersionOfASampleBuild",
                        .cables = 1,
                        .args = {"--version"},
                        .outcomes = {""},
                        .status = 0,
                        .says = "\nembedded image 3.0 (sample firmware)\n",
                        .sampleImage = true},
        CommandLineCase{.name = "ListWithoutCable",
                        .cables = 0,
                        .args = {"--list"},
                        .outcomes = {},
                        .status = 3,
                        .says = "kelvo-flash: no cable: no FTDI device is connected"},
        CommandLineCase{.name = "ListNamesWhatAllSkips",
                        .cables = 2,
                        .args = {"--list"},
                        .outcomes = {"", ""},
                        .status = 0,
                        .boards = [](auto& boards) { boards[1].devices = {"Bench Meter"}; },
                        .says = "KV000002\tBench Meter\tcan be opened; not a Kelvo cable: --all skips it\n"},
        CommandLineCase{"SerialNotConnected", 2, {"--serial", "KV000009", "--yes"}, {"", ""}, 2},
        CommandLineCase{
            "OneSerialOfTwo", 2, {"--serial", "KV000002", "--yes", "--json"}, {"", "complete"}, 0},
        CommandLineCase{"EmbeddedImageMissing",
                        1,
                        {"--yes", "--json"},
                        {"image-unsupported"},
                        5,
                        {},
                        ImageFile::None,
                        false,
                        "",
                        false},
        CommandLineCase{
            "GoodImageFile", 1, {"--yes", "--json"}, {"complete"}, 0, {}, ImageFile::Good, false, "", false},
        CommandLineCase{"ShortImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::Short},
        CommandLineCase{"NotAKelvoImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::NotKelvo},
        CommandLineCase{"EndlessImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::Endless},
        // Answers and refusals of the command line itself: no board is touched.
        CommandLineCase{.name = "Help",
                        .cables = 1,
                        .args = {"--yes", "--help"},
                        .outcomes = {""},
                        .status = 0,
                        .says = "Usage: kelvo-flash [--list] [--all | --serial S ...]"},
        CommandLineCase{.name = "Version",
                        .cables = 1,
                        .args = {"--version"},
                        .outcomes = {""},
                        .status = 0,
                        .says = "\nembedded image 3.0\n"},
        CommandLineCase{.name = "VersionWithoutAUsableImage",
                        .cables = 1,
                        .args = {"--version"},
                        .outcomes = {""},
                        .status = 0,
                        .embeddedImage = false,
                        .says = std::string("\nembedded image: ") + NotSupportedText + "\n"},
        CommandLineCase{.name = "UnknownOption",
                        .cables = 1,
                        .args = {"--yes", "--bogus"},
                        .outcomes = {""},
                        .status = 2,
                        .says = "kelvo-flash: unknown option '--bogus'"},
        CommandLineCase{.name = "MissingValue",
                        .cables = 1,
                        .args = {"--yes", "--image"},
                        .outcomes = {""},
                        .status = 2,
                        .says = "--image"},
        CommandLineCase{.name = "EmptyValue",
                        .cables = 1,
                        .args = {"--yes", "--serial", ""},
                        .outcomes = {""},
                        .status = 2,
                        .says = "--serial needs a value"},
        CommandLineCase{.name = "NewlineInAnArgument",
                        .cables = 1,
                        .args = {"--yes", "KV\n1"},
                        .outcomes = {""},
                        .status = 2,
                        .says = "unexpected argument 'KV\\n1'"},
        CommandLineCase{.name = "NewlineInASerial",
                        .cables = 1,
                        .args = {"--yes", "--serial", "KV\n1"},
                        .outcomes = {""},
                        .status = 2,
                        .says = "KV\\n1"},
        CommandLineCase{.name = "OneValuePerSerialOption",
                        .cables = 2,
                        .args = {"--yes", "--serial", "KV000001", "KV000002"},
                        .outcomes = {"", ""},
                        .status = 2,
                        .says = "unexpected argument 'KV000002'"}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed board is told in the window's words, and the others go on.
TEST(CommandLine, FailureUsesTheWindowsMessage) {
  SimCables bus;
  bus.boards.resize(2);
  bus.boards[0].faults.push_back(*sim::ParseFault("write:0:50", nullptr));
  EXPECT_EQ(bus.Run({"--all", "--yes", "--json"}, ResourceOf(ScrambledSample())), 7);
  EXPECT_NE(bus.out.str().find(std::string("\"serial\":\"KV000001\",\"title\":\"") + WriteFailureTitle +
                               "\",\"text\":\"" + PageZeroWriteFailureText + "\""),
            std::string::npos)
      << bus.out.str();
  EXPECT_NE(bus.err.str().find(std::string("KV000001: ") + WriteFailureTitle), std::string::npos);
  EXPECT_NE(bus.err.str().find("KV000002: complete"), std::string::npos) << bus.err.str();
}

// Without the cable driver (on Windows: no ftd2xx.dll) a run that wants a
// cable says so in one line and touches nothing; --help still answers.
TEST(CommandLine, MissingCableDriverIsOneLineAndNoCable) {
  SimCables bus;
  bus.boards.resize(1);
  bus.driverProblem = "the FTDI cable driver ftd2xx.dll could not be loaded";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--list"}, {"--all", "--yes"}, {"--all", "--yes", "--json"}}) {
    bus.err.str("");
    bus.out.str("");
    EXPECT_EQ(bus.Run(args, ResourceOf(ScrambledSample())), 3) << args.front();
    EXPECT_EQ(bus.err.str(), "kelvo-flash: the FTDI cable driver ftd2xx.dll could not be loaded\n");
    // --json still ends with its summary, which says why.
    EXPECT_EQ(
        bus.out.str().find("\"status\":3,") != std::string::npos &&
            bus.out.str().find("\"cause\":\"absent\",\"text\":\"the FTDI cable driver") != std::string::npos,
        args.size() == 3)
        << bus.out.str();
  }
  EXPECT_TRUE(bus.links.empty());
  EXPECT_EQ(bus.Run({"--help"}, ResourceOf(ScrambledSample())), 0);
}

// Bars are drawn only where they fit: a terminal narrower than a bar line
// gets plain lines, never a redraw that the wrapping would turn into a scroll.
TEST(CommandLine, BarsOnlyWhereTheyFitPlainLinesOtherwise) {
  for (const int columns : {50, 100}) {
    SimCables bus;
    bus.boards.resize(2);
    bus.boards[1].faults.push_back(*sim::ParseFault("write:6:2", nullptr));
    bus.errorColumns = columns;
    bus.outputColumns = columns;
    ASSERT_EQ(bus.Run({"--all", "--yes"}, ResourceOf(ScrambledSample())), 0) << columns;
    // The closing table on stdout never wraps either.
    std::istringstream table(bus.out.str());
    for (std::string line; std::getline(table, line);) EXPECT_LT(line.size(), std::size_t(columns)) << line;
    EXPECT_NE(bus.out.str().find("KV000002"), std::string::npos);
    const std::string err = bus.err.str();
    std::size_t widest = 0, lines = 0;
    for (std::size_t start = 0, end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
      // What a redraw leaves on the line: the text after its last escape.
      std::string line = err.substr(start, end - start);
      if (const std::size_t escape = line.rfind("\033[K"); escape != std::string::npos)
        line.erase(0, escape + 3);
      if (line.rfind("KV", 0) == 0) widest = std::max(widest, line.size()), ++lines;
    }
    if (columns == 50) {
      EXPECT_EQ(err.find('\033'), std::string::npos) << err;
      EXPECT_LT(lines, 40u) << "tenths of the flash, the retries and the ends, per board";
      EXPECT_NE(err.find("KV000002: page 6: attempt 3/50\n"), std::string::npos) << err;
    } else {
      EXPECT_NE(err.find("\033["), std::string::npos) << "bars drawn";
      EXPECT_LT(widest, static_cast<std::size_t>(columns)) << err;
      EXPECT_NE(err.find("page 6: attempt 3/50"), std::string::npos) << err;
    }
  }
}

// A trace lost during the run is told at its end, in the summary, and in the
// status of a run that was otherwise a success; a failed board still ranks
// above it.
TEST(CommandLine, TraceLostDuringTheRunIsToldAndInTheStatus) {
  const std::string trace = ::testing::TempDir() + "kelvo-flash-trace.jsonl";
  for (const bool failing : {false, true}) {
    SimCables bus;
    bus.boards.resize(1);
    if (failing) bus.boards[0].faults.push_back(*sim::ParseFault("write:9:50", nullptr));
    int asked = 0;
    // Written at the start, then the disk fills up.
    bus.traceProblem = [&asked] { return ++asked > 1 ? "cannot write 'x': No space left on device" : ""; };
    EXPECT_EQ(bus.Run({"--yes", "--json", "--trace", trace}, ResourceOf(ScrambledSample())), failing ? 1 : 8);
    EXPECT_NE(bus.err.str().find("kelvo-flash: the trace is incomplete: cannot write 'x'"),
              std::string::npos);
    EXPECT_NE(bus.out.str().find("\"traceLost\":\"cannot write 'x': No space left on device\""),
              std::string::npos);
  }
}

// The session is held (logind's inhibitor) from before the first page is
// written until every board has ended, and not at all when nothing is flashed.
TEST(CommandLine, SessionIsHeldForTheWholeFlashOnly) {
  SimCables bus;
  bus.boards.resize(2);
  bus.boards[1].faults.push_back(*sim::ParseFault("write:20:50", nullptr));
  auto pageEvents = [&bus] {
    std::size_t events = 0;
    for (const auto& [serial, link] : bus.bySerial) events += link->PageEvents().size();
    return events;
  };
  std::vector<std::size_t> taken, released;
  bus.holdSession = [&]() -> std::shared_ptr<void> {
    taken.push_back(pageEvents());
    return std::shared_ptr<void>(nullptr, [&](void*) { released.push_back(pageEvents()); });
  };
  EXPECT_EQ(bus.Run({"--all", "--yes"}, ResourceOf(ScrambledSample())), 1);
  const std::size_t all = pageEvents();
  EXPECT_EQ(taken, std::vector<std::size_t>{0});
  EXPECT_EQ(released, std::vector<std::size_t>{all});
  EXPECT_GT(all, 126u);

  SimCables none;
  none.boards.resize(1);
  none.boards[0].identifyReply.reset();
  none.holdSession = [&]() -> std::shared_ptr<void> {
    ADD_FAILURE() << "held without a flash";
    return nullptr;
  };
  EXPECT_EQ(none.Run({"--yes"}, ResourceOf(ScrambledSample())), 4);
}

}  // namespace
}  // namespace kelvo::test
