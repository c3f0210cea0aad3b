#pragma once

#include <memory>
#include <string>

#include "core/Host.h"

namespace kelvo {

class InstanceLock;

// The running Qt program: its single-instance lock, name, version and title.
class QtHost final : public Host {
 public:
  QtHost();
  ~QtHost() override;

  bool AnotherInstanceRunning() override;
  std::string ProgramFileName() override;
  int VersionMajor() override;
  int VersionMinor() override;
  std::string ApplicationTitle() override;
  void EndProgram() override;

  // EndProgram was called; main must not (re-)enter the event loop.
  bool ProgramEnded() const { return programEnded_; }

 private:
  std::unique_ptr<InstanceLock> instanceLock_;
  bool programEnded_ = false;
};

}  // namespace kelvo
