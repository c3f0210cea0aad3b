#include "image/ScrambleTool.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include <CLI/CLI.hpp>

#include "cmdline/CommandLine.h"
#include "image/ImageCodec.h"

namespace kelvo {
namespace {

constexpr char ToolName[] = "kelvo-scramble";
constexpr char Usage[] = "kelvo-scramble scramble [--seed N] PLAIN STORED | descramble STORED PLAIN";

std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string SystemReason() { return errno != 0 ? std::strerror(errno) : "I/O error"; }

// Sets `error` and fails whatever optional the caller returns.
std::nullopt_t Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return std::nullopt;
}

std::optional<std::uint32_t> ParseSeed(const std::string& text) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

struct CommandLine {
  std::string command;
  std::optional<std::uint32_t> seed;
  std::vector<std::string> files;
  std::optional<cmdline::Answer> answer;  // --help or --version: nothing else is set
};

// nullopt with `error` set when the line is not one of the two accepted forms.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string* error) {
  CommandLine line;
  CLI::App app("Turns a plain firmware image into the stored form the updater embeds, and back.", ToolName);
  cmdline::Prepare(app, Usage);
  app.require_subcommand(0, 1);
  std::string seed, from, to;
  CLI::App* scramble = app.add_subcommand("scramble", "Plain image file (131080 bytes) to its stored form");
  CLI::Option* seedOption =
      scramble->add_option("--seed", seed, "Seed of the fillers, 0 to 4294967295 (default: from the clock)")
          ->type_name("N");
  scramble->add_option("PLAIN", from, "The plain image to read")->required();
  scramble->add_option("STORED", to, "The stored form to write")->required();
  CLI::App* descramble =
      app.add_subcommand("descramble", "Stored form file (524320 bytes) to the plain image");
  descramble->add_option("STORED", from, "The stored form to read")->required();
  descramble->add_option("PLAIN", to, "The plain image to write")->required();
  app.footer(
      "Exit status: 0 done, 1 a file could not be read, had the wrong size or could not be written, "
      "2 a bad command line.");
  if (!cmdline::Parse(app, args, &line.answer, error)) return std::nullopt;
  if (line.answer) return line;
  if (!scramble->parsed() && !descramble->parsed()) return Fail(error, "no command given");
  line.command = scramble->parsed() ? "scramble" : "descramble";
  line.files = {from, to};
  if (seedOption->count() > 1) return Fail(error, "--seed given twice");
  if (*seedOption && !(line.seed = ParseSeed(seed)))
    return Fail(error, "--seed needs a number from 0 to 4294967295");
  return line;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path, std::size_t size,
                                                       const std::string& kind, std::string* error) {
  // A directory opens for reading and merely yields nothing.
  if (std::error_code ec; std::filesystem::is_directory(path, ec))
    return Fail(error, "cannot read " + Quoted(path) + ": is a directory");
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, "cannot read " + Quoted(path) + ": " + SystemReason());
  // One byte past the size tells a long file from a right one; reading no
  // further keeps a huge file or an endless device (/dev/zero) from filling
  // the memory.
  std::vector<std::uint8_t> bytes(size + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return Fail(error, "cannot read " + Quoted(path) + ": " + SystemReason());
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() != size) {
    const std::string found =
        bytes.size() > size ? "more than " + std::to_string(size) : std::to_string(bytes.size());
    return Fail(error, Quoted(path) + " has " + found + " bytes; " + kind + " has " + std::to_string(size));
  }
  return bytes;
}

bool WriteImageFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes,
                    std::string* error) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
  }
  if (out) return true;
  Fail(error, "cannot write " + Quoted(path) + ": " + SystemReason());
  return false;
}

bool ScrambleImageFile(const std::filesystem::path& plain, const std::filesystem::path& stored,
                       std::uint32_t seed, std::string* error) {
  const auto image = ReadImageFile(plain, FirmwareImageSize, "a plain image", error);
  if (!image) return false;
  std::vector<std::uint8_t> scrambled;
  ScrambleBytes(*image, scrambled, seed);
  return WriteImageFile(stored, scrambled, error);
}

bool DescrambleImageFile(const std::filesystem::path& stored, const std::filesystem::path& plain,
                         std::string* error) {
  const auto scrambled = ReadImageFile(stored, ScrambledImageSize, "a stored image", error);
  if (!scrambled) return false;
  std::vector<std::uint8_t> image;
  DescrambleBytes(*scrambled, image);
  return WriteImageFile(plain, image, error);
}

int RunScrambleTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<CommandLine> line = ParseCommandLine(args, &error);
  if (!line) {
    err << ToolName << ": " << error << '\n';
    return 2;
  }
  if (line->answer) {
    out << line->answer->text;
    return 0;
  }
  const bool done =
      line->command == "scramble"
          ? ScrambleImageFile(line->files[0], line->files[1], line->seed ? *line->seed : ClockSeed(), &error)
          : DescrambleImageFile(line->files[0], line->files[1], &error);
  if (!done) {
    err << ToolName << ": " << cmdline::OneLine(error) << '\n';
    return 1;
  }
  return 0;
}

}  // namespace kelvo
