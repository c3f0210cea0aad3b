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
  // Start-up found another copy running and said so on stderr.
  bool InstanceRefused() const { return instanceRefused_; }

 private:
  std::unique_ptr<InstanceLock> instanceLock_;
  bool programEnded_ = false;
  bool instanceRefused_ = false;
};

}  // namespace kelvo
