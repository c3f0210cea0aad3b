#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "image/ImageCodec.h"
#include "image/SampleImage.h"
#include "support/ToolRunner.h"

namespace kelvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using imagetest::ReadBytes;
using imagetest::RunTool;
using imagetest::ScratchDir;
using imagetest::ToolResult;
using imagetest::WriteBytes;

ToolResult Scramble(const std::vector<std::string>& args, const ScratchDir& scratch) {
  return RunTool(KELVO_SCRAMBLE_TOOL, args, scratch);
}

void ExpectFileError(const ToolResult& result, const std::string& what) {
  EXPECT_EQ(result.exitCode, 1) << what;
  EXPECT_EQ(result.ErrLines(), 1) << what << ": " << result.err;
  EXPECT_TRUE(result.out.empty()) << what;
}

TEST(ScrambleTool, ScrambleThenDescrambleGivesBackTheFile) {
  ScratchDir dir;
  Bytes image(FirmwareImageSize);
  std::mt19937 engine(1);
  for (auto& b : image) b = static_cast<std::uint8_t>(engine());
  WriteBytes(dir / "plain.bin", image);

  ToolResult r = Scramble({"scramble", (dir / "plain.bin").string(), (dir / "stored.bin").string()}, dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(std::filesystem::file_size(dir / "stored.bin"), ScrambledImageSize);

  r = Scramble({"descramble", (dir / "stored.bin").string(), (dir / "back.bin").string()}, dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadBytes(dir / "back.bin"), image);
}

TEST(ScrambleTool, FixedSeedRepeatsTheStoredBytes) {
  ScratchDir dir;
  WriteBytes(dir / "plain.bin", MakeSampleImage());
  const std::string plain = (dir / "plain.bin").string();
  ASSERT_EQ(Scramble({"scramble", "--seed", "77", plain, (dir / "a.bin").string()}, dir).exitCode, 0);
  ASSERT_EQ(Scramble({"scramble", plain, (dir / "b.bin").string(), "--seed", "77"}, dir).exitCode, 0);
  ASSERT_EQ(Scramble({"scramble", "--seed", "78", plain, (dir / "c.bin").string()}, dir).exitCode, 0);
  EXPECT_EQ(ReadBytes(dir / "a.bin"), ReadBytes(dir / "b.bin"));
  EXPECT_NE(ReadBytes(dir / "a.bin"), ReadBytes(dir / "c.bin"));

  Bytes expected;
  ScrambleBytes(MakeSampleImage(), expected, 77);
  EXPECT_EQ(ReadBytes(dir / "a.bin"), expected);
}

TEST(ScrambleTool, FileProblemsExitWithOneLine) {
  ScratchDir dir;
  WriteBytes(dir / "plain.bin", MakeSampleImage());
  WriteBytes(dir / "plain-short.bin", Bytes(FirmwareImageSize - 1, 0));
  WriteBytes(dir / "plain-long.bin", Bytes(FirmwareImageSize + 1, 0));
  WriteBytes(dir / "stored-short.bin", Bytes(ScrambledImageSize - 1, 0));
  // A valid stored image with one byte more: a file on disk is taken whole
  // or not at all.
  Bytes stored;
  ScrambleBytes(MakeSampleImage(), stored, 3);
  stored.push_back(0x42);
  WriteBytes(dir / "stored-long.bin", stored);
  const auto p = [&](const char* name) { return (dir / name).string(); };
  const std::string unwritable = (dir / "no-such-dir" / "out.bin").string();

  ExpectFileError(Scramble({"scramble", p("missing.bin"), p("out1.bin")}, dir), "missing plain");
  ExpectFileError(Scramble({"scramble", p("plain-short.bin"), p("out2.bin")}, dir), "short plain");
  ExpectFileError(Scramble({"scramble", p("plain-long.bin"), p("out3.bin")}, dir), "long plain");
  ExpectFileError(Scramble({"scramble", dir.path().string(), p("out4.bin")}, dir), "directory as plain");
  ExpectFileError(Scramble({"scramble", p("plain.bin"), unwritable}, dir), "unwritable stored");
  ExpectFileError(Scramble({"scramble", p("plain.bin"), dir.path().string()}, dir), "directory as stored");
  ExpectFileError(Scramble({"descramble", p("missing.bin"), p("out5.bin")}, dir), "missing stored");
  ExpectFileError(Scramble({"descramble", p("stored-short.bin"), p("out6.bin")}, dir), "short stored");
  ExpectFileError(Scramble({"descramble", p("stored-long.bin"), p("out7.bin")}, dir), "long stored");
  ExpectFileError(Scramble({"descramble", dir.path().string(), p("out8.bin")}, dir), "directory as stored");
  // An endless input is refused after one byte too many, not read to the end.
  ExpectFileError(Scramble({"descramble", "/dev/zero", p("out9.bin")}, dir), "/dev/zero as stored");
  ExpectFileError(Scramble({"scramble", "/dev/zero", p("out10.bin")}, dir), "/dev/zero as plain");
  // A name holding a newline still makes one line.
  ExpectFileError(Scramble({"scramble", p("missing\nplain.bin"), p("out11.bin")}, dir), "newline in a name");

  // A rejected input leaves no output behind.
  for (const char* out : {"out1.bin", "out2.bin", "out3.bin", "out4.bin", "out5.bin", "out6.bin", "out7.bin",
                          "out8.bin", "out9.bin", "out10.bin", "out11.bin"}) {
    EXPECT_FALSE(std::filesystem::exists(dir / out)) << out;
  }
}

TEST(ScrambleTool, UnwritablePlainOutputExitsWithOneLine) {
  ScratchDir dir;
  Bytes stored;
  ScrambleBytes(MakeSampleImage(), stored, 3);
  WriteBytes(dir / "stored.bin", stored);
  ExpectFileError(
      Scramble({"descramble", (dir / "stored.bin").string(), (dir / "none" / "plain.bin").string()}, dir),
      "unwritable plain");
}

TEST(ScrambleTool, BadCommandLineExitsWith2) {
  ScratchDir dir;
  WriteBytes(dir / "plain.bin", MakeSampleImage());
  const std::string plain = (dir / "plain.bin").string();
  const std::string out = (dir / "out.bin").string();
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"scramble"},
      {"scramble", plain},
      {"scramble", plain, out, out},
      {"descramble", plain},
      {"encrypt", plain, out},
      {"--seed", "1", "scramble", plain, out},
      {"scramble", "--seed", plain, out},
      {"scramble", "--seed", "abc", plain, out},
      {"scramble", "--seed", "-1", plain, out},
      {"scramble", "--seed", "4294967296", plain, out},
      {"scramble", "--seed", "1", "--seed", "2", plain, out},
      {"scramble", "--verbose", plain, out},
      {"descramble", "--seed", "1", plain, out},
      {"--bogus", "scramble", plain, out},
      {"scramble", plain, out, "--seed"},
      {"scramble", "--seed", "1\n2", plain, out},
      {"scramble\nx", plain, out},
      {"scramble", plain, out, "descramble", out, plain},
      {"scramble", "--version", plain, out},
  };
  for (const auto& args : lines) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const ToolResult r = Scramble(args, dir);
    EXPECT_EQ(r.exitCode, 2) << shown;
    EXPECT_EQ(r.ErrLines(), 1) << shown << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << shown;
  }
}

TEST(ScrambleTool, HelpAndVersionAnswerOnStdoutWith0) {
  ScratchDir dir;
  WriteBytes(dir / "plain.bin", MakeSampleImage());
  const std::string plain = (dir / "plain.bin").string();
  const std::string out = (dir / "out.bin").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> lines = {
      {{"--help"}, "Usage: kelvo-scramble scramble [--seed N] PLAIN STORED | descramble STORED PLAIN\n"},
      {{"scramble", "--help", plain, out}, "--seed N"},
      {{"descramble", "--help"}, "STORED"},
      {{"--version"}, "kelvo-scramble " KELVO_VERSION "\n"},
  };
  for (const auto& [args, says] : lines) {
    const ToolResult r = Scramble(args, dir);
    EXPECT_EQ(r.exitCode, 0) << args.front() << ": " << r.err;
    EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is scrambled";
  }
}

}  // namespace
}  // namespace kelvo
