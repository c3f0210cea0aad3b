#include "link/TracedCable.h"

namespace kelvo {

TraceWriter::TraceWriter(std::ostream& out) : out_(&out) {}

TraceWriter::TraceWriter(const std::string& path) : path_(path), out_(&file_) {}

void TraceWriter::Write(const std::string& line) {
  const std::lock_guard lock(mutex_);
  if (!path_.empty()) {
    file_.open(path_, std::ios::binary | std::ios::trunc);
    path_.clear();
  }
  *out_ << line << '\n' << std::flush;
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
