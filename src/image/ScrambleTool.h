#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kelvo {

// Each file function fails with one line for the operator in `error`: a file
// that cannot be read, has the wrong size or cannot be written.

// The file's bytes when it holds exactly `size` of them; `kind` names what it
// should be in the error ("a plain image").
std::optional<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path, std::size_t size,
                                                       const std::string& kind, std::string* error);
bool WriteImageFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes,
                    std::string* error);

// Plain image file (exactly 131080 bytes) -> stored form file.
bool ScrambleImageFile(const std::filesystem::path& plain, const std::filesystem::path& stored,
                       std::uint32_t seed, std::string* error);
// Stored form file (exactly 524320 bytes) -> plain image file. The loader
// inside the updater tolerates a longer resource; a file on disk that is
// longer is a wrong file, and is refused.
bool DescrambleImageFile(const std::filesystem::path& stored, const std::filesystem::path& plain,
                         std::string* error);

// The kelvo-scramble command line, without the program name:
//   scramble [--seed N] PLAIN STORED   |   descramble STORED PLAIN
// --help and --version answer on `out`. Returns the exit status: 0 done, 1
// file error, 2 bad command line; on 1 and 2 exactly one line goes to `err`.
int RunScrambleTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kelvo
