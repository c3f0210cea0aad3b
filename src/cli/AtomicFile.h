#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::cli {

// Files that hold either what they held before or the whole of what was
// written, never a part: the bytes go to a new file beside the target, are
// flushed to the disk, and that file is renamed over the target. Each answers
// why it failed in one line, or "".

// Whether such a file can be put at `path`: it is no folder, and its folder
// takes new files. Leaves nothing behind.
std::string CheckAtomicTarget(const std::string& path);
std::string WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace kelvo::cli
