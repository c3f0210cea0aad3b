#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo {

// A file that cannot be read, has the wrong size or cannot be written; the
// message is one line for the operator.
class ImageFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file's bytes when it holds exactly `size` of them; `kind` names what it
// should be in the error ("a plain image").
std::vector<std::uint8_t> ReadImageFile(const std::filesystem::path& path, std::size_t size,
                                        const std::string& kind);
void WriteImageFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Plain image file (exactly 131080 bytes) -> stored form file.
void ScrambleImageFile(const std::filesystem::path& plain, const std::filesystem::path& stored,
                       std::uint32_t seed);
// Stored form file (exactly 524320 bytes) -> plain image file. The loader
// inside the updater tolerates a longer resource; a file on disk that is
// longer is a wrong file, and is refused.
void DescrambleImageFile(const std::filesystem::path& stored, const std::filesystem::path& plain);

// The kelvo-scramble command line, without the program name:
//   scramble [--seed N] PLAIN STORED   |   descramble STORED PLAIN
// Returns the exit status: 0 done, 1 file error, 2 bad command line; on 1 and
// 2 exactly one line goes to `err`.
int RunScrambleTool(const std::vector<std::string>& args, std::ostream& err);

}  // namespace kelvo
