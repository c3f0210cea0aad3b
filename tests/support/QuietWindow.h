#pragma once

#include <string>
#include <vector>

#include "core/Host.h"
#include "core/Window.h"

namespace kelvo::test {

// A window nobody looks at, for benchmarks, fuzzers and tests whose routines
// only need the window's calls to return. Keeps the messages it was asked to
// show, so a caller can still tell what went wrong.
class QuietWindow final : public Window, public Host {
 public:
  void SetHandlers(WindowHandlers) override {}
  void SetButtonVisible(int, bool) override {}
  void SetStatusText(const std::string&) override {}
  void SetDeviceName(const std::string&) override {}
  void SetProgressVisible(bool) override {}
  void SetProgressMaximum(int) override {}
  void SetProgressValue(int) override {}
  void SetTitle(const std::string&) override {}
  void Show() override {}
  void Close() override {}
  void PumpEvents() override {}
  void MessageBox(const std::string& text, const std::string& title, MessageStyle) override {
    messages.push_back(title + ": " + text);
  }
  bool AnotherInstanceRunning() override { return false; }
  std::string ProgramFileName() override { return "kelvo-updater"; }
  int VersionMajor() override { return 2; }
  int VersionMinor() override { return 3; }
  std::string ApplicationTitle() override { return "Kelvo Firmware Updater"; }
  void EndProgram() override {}

  std::vector<std::string> messages;
};

}  // namespace kelvo::test
