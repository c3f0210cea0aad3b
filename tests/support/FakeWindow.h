#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/Host.h"
#include "core/Window.h"

namespace kelvo::test {

// A window, and the program around it, that remembers what it shows and
// answers every message box at once. `log` keeps the visible effects in order,
// for tests of ordering; benchmarks and fuzzers use it as a window nobody
// looks at.
class FakeWindow : public Window, public Host {
 public:
  struct Message {
    std::string text;
    std::string title;  // as shown: the application title where none was given
    MessageStyle style;
  };

  void SetHandlers(WindowHandlers handlers) override { this->handlers = std::move(handlers); }

  void SetButtonVisible(int index, bool visible) override;
  void SetStatusText(const std::string& text) override;
  void SetDeviceName(const std::string& text) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressMaximum(int maximum) override;
  void SetProgressValue(int value) override;
  void SetTitle(const std::string& title) override;
  void Show() override;
  void Close() override;
  void PumpEvents() override;
  void MessageBox(const std::string& text, const std::string& title, MessageStyle style) override;

  bool AnotherInstanceRunning() override { return anotherInstance; }
  std::string ProgramFileName() override { return programFileName; }
  int VersionMajor() override { return versionMajor; }
  int VersionMinor() override { return versionMinor; }
  std::string ApplicationTitle() override { return "Kelvo Firmware Updater"; }
  void EndProgram() override;

  // Captions of the visible buttons, in index order.
  std::vector<std::string> VisibleButtons() const;
  // Simulates the user's click on a button, through the bound handler.
  void Click(int index);
  // Simulates the user closing the window.
  void UserClose();

  // Application facts the test can set.
  bool anotherInstance = false;
  std::string programFileName = "kelvo-updater";
  int versionMajor = 2;
  int versionMinor = 3;

  // What the window shows.
  WindowHandlers handlers;
  std::array<bool, ButtonCount> buttonVisible{true, true, true, true};
  std::string statusText;
  std::string deviceName;
  bool progressVisible = true;
  int progressMaximum = 100;
  std::vector<int> progressValues;  // every value set, in order
  std::string title;
  bool shown = false;
  bool closed = false;
  int closeRequests = 0;
  bool programEnded = false;
  int pumps = 0;
  std::vector<Message> messages;
  std::vector<std::string> log;

  // Runs on every PumpEvents, so a test can act "during" an operation.
  std::function<void()> onPump;

 private:
  void RequestClose(UnloadMode mode);
};

}  // namespace kelvo::test
