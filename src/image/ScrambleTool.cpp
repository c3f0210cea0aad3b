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
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  if (args.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  CommandLine line;
  line.command = args[0];
  if (line.command != "scramble" && line.command != "descramble") {
    error = "unknown command '" + line.command + "'";
    return std::nullopt;
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--seed" && line.command == "scramble") {
      if (line.seed) {
        error = "--seed given twice";
        return std::nullopt;
      }
      if (i + 1 == args.size() || !(line.seed = ParseSeed(args[i + 1]))) {
        error = "--seed needs a number from 0 to 4294967295";
        return std::nullopt;
      }
      ++i;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + arg + "'";
      return std::nullopt;
    } else {
      line.files.push_back(arg);
    }
  }
  if (line.files.size() != 2) {
    error = line.command + " takes two file names";
    return std::nullopt;
  }
  return line;
}

}  // namespace

std::vector<std::uint8_t> ReadImageFile(const std::filesystem::path& path, std::size_t size,
                                        const std::string& kind) {
  // A directory opens for reading and merely yields nothing.
  if (std::error_code ec; std::filesystem::is_directory(path, ec)) {
    throw ImageFileError("cannot read " + Quoted(path) + ": is a directory");
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageFileError("cannot read " + Quoted(path) + ": " + SystemReason());
  // One byte past the size tells a long file from a right one; reading no
  // further keeps a huge file or an endless device (/dev/zero) from filling
  // the memory.
  std::vector<std::uint8_t> bytes(size + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) throw ImageFileError("cannot read " + Quoted(path) + ": " + SystemReason());
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() != size) {
    const std::string found =
        bytes.size() > size ? "more than " + std::to_string(size) : std::to_string(bytes.size());
    throw ImageFileError(Quoted(path) + " has " + found + " bytes; " + kind + " has " + std::to_string(size));
  }
  return bytes;
}

void WriteImageFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw ImageFileError("cannot write " + Quoted(path) + ": " + SystemReason());
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw ImageFileError("cannot write " + Quoted(path) + ": " + SystemReason());
}

void ScrambleImageFile(const std::filesystem::path& plain, const std::filesystem::path& stored,
                       std::uint32_t seed) {
  const std::vector<std::uint8_t> image = ReadImageFile(plain, FirmwareImageSize, "a plain image");
  std::vector<std::uint8_t> scrambled;
  ScrambleBytes(image, scrambled, seed);
  WriteImageFile(stored, scrambled);
}

void DescrambleImageFile(const std::filesystem::path& stored, const std::filesystem::path& plain) {
  const std::vector<std::uint8_t> scrambled = ReadImageFile(stored, ScrambledImageSize, "a stored image");
  std::vector<std::uint8_t> image;
  DescrambleBytes(scrambled, image);
  WriteImageFile(plain, image);
}

int RunScrambleTool(const std::vector<std::string>& args, std::ostream& err) {
  std::string error;
  const std::optional<CommandLine> line = ParseCommandLine(args, error);
  if (!line) {
    err << ToolName << ": " << error << "; " << Usage << '\n';
    return 2;
  }
  try {
    if (line->command == "scramble") {
      ScrambleImageFile(line->files[0], line->files[1], line->seed ? *line->seed : ClockSeed());
    } else {
      DescrambleImageFile(line->files[0], line->files[1]);
    }
  } catch (const ImageFileError& e) {
    err << ToolName << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace kelvo
