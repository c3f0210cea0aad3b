#pragma once

#include <windows.h>

#include <string>

#include "core/Host.h"

namespace kelvo::win32 {

// The running Windows program: one copy at a time, its file name, version
// and title.
class WinHost final : public Host {
 public:
  WinHost() = default;
  ~WinHost() override;
  WinHost(const WinHost&) = delete;
  WinHost& operator=(const WinHost&) = delete;

  // The first call takes the program's mutex, "Local\<file name>" in the
  // user's own session, and holds it until the program ends; another copy
  // of the same program file finds it taken. Later calls repeat the answer.
  bool AnotherInstanceRunning() override;
  std::string ProgramFileName() override;
  int VersionMajor() override;
  int VersionMinor() override;
  std::string ApplicationTitle() override;
  void EndProgram() override { programEnded_ = true; }

  // EndProgram was called: main must not (re-)enter the message loop.
  bool ProgramEnded() const { return programEnded_; }

  // The mutex's name for a program file named `fileName` (without its
  // extension). Windows' file names ignore case; mutex names do not.
  static std::wstring MutexName(const std::string& fileName);

 private:
  HANDLE mutex_ = nullptr;
  bool asked_ = false;
  bool anotherRunning_ = false;
  bool programEnded_ = false;
};

}  // namespace kelvo::win32
