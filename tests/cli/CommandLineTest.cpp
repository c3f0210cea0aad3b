// kelvo-flash over simulated cables: what each board ends as, what the
// operator is told, and that a refused run leaves every board alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

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
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

std::string WriteImageFile(ImageFile kind) {
  if (kind == ImageFile::Endless) return "/dev/zero";
  std::vector<std::uint8_t> plain = MakeSampleImage();
  if (kind == ImageFile::NotKelvo) plain[0] = 'X';
  std::vector<std::uint8_t> bytes = ScrambledSample(plain);
  if (kind == ImageFile::Short) bytes.resize(bytes.size() - 4);
  const std::string path = ::testing::TempDir() + "kelvo-flash-image.jpg";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

TEST_P(CommandLineTest, EndsEachBoardAsExpected) {
  const CommandLineCase& c = GetParam();
  SimCables bus;
  bus.boards.resize(c.cables);
  if (c.boards) c.boards(bus.boards);
  std::vector<std::string> args = c.args;
  if (c.file != ImageFile::None) args.insert(args.end(), {"--image", WriteImageFile(c.file)});
  const ResourceLoader embedded = c.embeddedImage ? ResourceOf(ScrambledSample()) : ResourceOf({});

  EXPECT_EQ(bus.Run(args, embedded, c.terminal, c.answer), c.status) << bus.err.str();
  const std::string out = bus.out.str(), err = bus.err.str();
  if (!c.says.empty() && c.status == 0) {
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_EQ(err, "");
  } else if (!c.says.empty()) {
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
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
    const auto link = bus.bySerial.find(serial);
    const bool written = link != bus.bySerial.end() &&
                         std::any_of(link->second->PageEvents().begin(), link->second->PageEvents().end(),
                                     [](const sim::PageEvent& e) { return e.kind == sim::PageEvent::Kind::Written; });
    EXPECT_EQ(written, outcome == "complete" || outcome.ends_with("failure"));
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
        CommandLineCase{"ThreeCablesAll", 3, {"--all", "--yes", "--json"}, {"complete", "complete", "complete"}, 0},
        CommandLineCase{"WriteFaultAmongThree", 3, {"--all", "--yes", "--json"},
                        {"complete", "write-failure", "complete"}, 1,
                        [](auto& boards) { boards[1].faults.push_back(*sim::ParseFault("write:7:50", nullptr)); }},
        CommandLineCase{"NoCable", 0, {"--yes", "--json"}, {}, 3},
        CommandLineCase{"SilentBoard", 1, {"--yes", "--json"}, {"not-in-update-mode"}, 4,
                        [](auto& boards) { boards[0].identifyReply.reset(); }},
        CommandLineCase{"NoTerminalNoYes", 1, {"--all", "--json"}, {""}, 2},
        CommandLineCase{"ConfirmedOnTerminal", 1, {"--json"}, {"complete"}, 0, {}, ImageFile::None, true, "y\n"},
        CommandLineCase{"DeclinedOnTerminal", 1, {"--json"}, {""}, 2, {}, ImageFile::None, true, "n\n"},
        CommandLineCase{"SerialNotConnected", 2, {"--serial", "KV000009", "--yes"}, {"", ""}, 2},
        CommandLineCase{"OneSerialOfTwo", 2, {"--serial", "KV000002", "--yes", "--json"}, {"", "complete"}, 0},
        CommandLineCase{"EmbeddedImageMissing", 1, {"--yes", "--json"}, {"image-unsupported"}, 5, {},
                        ImageFile::None, false, "", false},
        CommandLineCase{"GoodImageFile", 1, {"--yes", "--json"}, {"complete"}, 0, {}, ImageFile::Good, false, "", false},
        CommandLineCase{"ShortImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::Short},
        CommandLineCase{"NotAKelvoImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::NotKelvo},
        CommandLineCase{"EndlessImageFile", 1, {"--yes", "--json"}, {""}, 2, {}, ImageFile::Endless},
        // Answers and refusals of the command line itself: no board is touched.
        CommandLineCase{.name = "Help", .cables = 1, .args = {"--yes", "--help"}, .outcomes = {""},
                        .status = 0, .says = "Usage: kelvo-flash [--list] [--all | --serial S ...]"},
        CommandLineCase{.name = "Version", .cables = 1, .args = {"--version"}, .outcomes = {""}, .status = 0,
                        .says = "\nembedded image 3.0\n"},
        CommandLineCase{.name = "VersionWithoutAUsableImage", .cables = 1, .args = {"--version"},
                        .outcomes = {""}, .status = 0, .embeddedImage = false,
                        .says = std::string("\nembedded image: ") + NotSupportedText + "\n"},
        CommandLineCase{.name = "UnknownOption", .cables = 1, .args = {"--yes", "--bogus"}, .outcomes = {""},
                        .status = 2, .says = "kelvo-flash: unknown option '--bogus'"},
        CommandLineCase{.name = "MissingValue", .cables = 1, .args = {"--yes", "--image"}, .outcomes = {""},
                        .status = 2, .says = "--image"},
        CommandLineCase{.name = "EmptyValue", .cables = 1, .args = {"--yes", "--serial", ""},
                        .outcomes = {""}, .status = 2, .says = "--serial needs a value"},
        CommandLineCase{.name = "NewlineInAnArgument", .cables = 1, .args = {"--yes", "KV\n1"},
                        .outcomes = {""}, .status = 2, .says = "unexpected argument 'KV\\n1'"},
        CommandLineCase{.name = "NewlineInASerial", .cables = 1, .args = {"--yes", "--serial", "KV\n1"},
                        .outcomes = {""}, .status = 2, .says = "KV\\n1"},
        CommandLineCase{.name = "OneValuePerSerialOption", .cables = 2,
                        .args = {"--yes", "--serial", "KV000001", "KV000002"}, .outcomes = {"", ""},
                        .status = 2, .says = "unexpected argument 'KV000002'"}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed board is told in the window's words, and the others go on.
TEST(CommandLine, FailureUsesTheWindowsMessage) {
  SimCables bus;
  bus.boards.resize(2);
  bus.boards[0].faults.push_back(*sim::ParseFault("write:0:50", nullptr));
  EXPECT_EQ(bus.Run({"--all", "--yes", "--json"}, ResourceOf(ScrambledSample())), 1);
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
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--list"}, {"--all", "--yes"}}) {
    bus.err.str("");
    EXPECT_EQ(bus.Run(args, ResourceOf(ScrambledSample())), 3) << args.front();
    EXPECT_EQ(bus.err.str(), "kelvo-flash: the FTDI cable driver ftd2xx.dll could not be loaded\n");
  }
  EXPECT_TRUE(bus.links.empty());
  EXPECT_EQ(bus.Run({"--help"}, ResourceOf(ScrambledSample())), 0);
}

}  // namespace
}  // namespace kelvo::test
