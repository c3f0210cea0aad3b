#include "image/ScrambleTool.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "image/ImageCodec.h"

namespace kelvo {
namespace {

constexpr char ToolName[] = "kelvo-scramble";
constexpr char Usage[] = "usage: kelvo-scramble scramble [--seed N] PLAIN STORED | descramble STORED PLAIN";

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
};

// nullopt with `error` set when the line is not one of the two accepted forms.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string* error) {
  if (args.empty()) return Fail(error, "no command given");
  CommandLine line;
  line.command = args[0];
  if (line.command != "scramble" && line.command != "descramble")
    return Fail(error, "unknown command '" + line.command + "'");
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--seed" && line.command == "scramble") {
      if (line.seed) return Fail(error, "--seed given twice");
      if (i + 1 == args.size() || !(line.seed = ParseSeed(args[i + 1])))
        return Fail(error, "--seed needs a number from 0 to 4294967295");
      ++i;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Fail(error, "unknown option '" + arg + "'");
    } else {
      line.files.push_back(arg);
    }
  }
  if (line.files.size() != 2) return Fail(error, line.command + " takes two file names");
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

int RunScrambleTool(const std::vector<std::string>& args, std::ostream& err) {
  std::string error;
  const std::optional<CommandLine> line = ParseCommandLine(args, &error);
  if (!line) {
    err << ToolName << ": " << error << "; " << Usage << '\n';
    return 2;
  }
  const bool done =
      line->command == "scramble"
          ? ScrambleImageFile(line->files[0], line->files[1], line->seed ? *line->seed : ClockSeed(), &error)
          : DescrambleImageFile(line->files[0], line->files[1], &error);
  if (!done) {
    err << ToolName << ": " << error << '\n';
    return 1;
  }
  return 0;
}

}  // namespace kelvo
