#include "link/TracedCable.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kelvo {

bool IsWritableFile(const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) {
    *error = "'" + path + "' is a directory";
    return false;
  }
  const fs::path parent = fs::path(path).parent_path();
  const std::string target = fs::exists(status) ? path : parent.empty() ? "." : parent.string();
  if (!fs::exists(status) && !fs::is_directory(target, ec)) {
    *error = "cannot write '" + path + "': there is no folder '" + target + "'";
    return false;
  }
  if (access(target.c_str(), fs::exists(status) ? W_OK : W_OK | X_OK) != 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

TraceWriter::TraceWriter(std::ostream& out) : name_("the trace"), out_(&out) {}

TraceWriter::TraceWriter(const std::string& path) : path_(path), name_("'" + path + "'"), out_(&file_) {}

void TraceWriter::Write(const std::string& line) {
  const std::lock_guard lock(mutex_);
  if (!path_.empty()) {
    errno = 0;
    file_.open(path_, std::ios::binary | std::ios::trunc);
    path_.clear();
  }
  if (!problem_.empty()) return;
  if (*out_) {
    errno = 0;
    *out_ << line << '\n' << std::flush;
  }
  // The stream keeps no reason; the failed call's errno is the one left.
  if (!*out_)
    problem_ = "cannot write " + name_ + ": " + (errno != 0 ? std::strerror(errno) : "write failed");
}

std::string TraceWriter::Problem() {
  const std::lock_guard lock(mutex_);
  return problem_;
}

TracedCable::TracedCable(TraceWriter* trace, std::optional<std::string> serial)
    : start_(trace != nullptr ? trace->Start() : std::chrono::steady_clock::now()) {
  if (trace != nullptr)
    traced_.emplace(
        cable_, [trace](const std::string& line) { trace->Write(line); }, std::move(serial), start_);
}

double TracedCable::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace kelvo
