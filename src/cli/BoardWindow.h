#pragma once

#include <string>
#include <vector>

#include "core/Host.h"
#include "core/UpdaterState.h"
#include "core/Window.h"

namespace kelvo::cli {

class Reporter;

// One board's window on the terminal: what the routines would show in the
// window goes to the reporter under the board's row, and message boxes are
// reported and answered at once. Without a reporter it shows nothing.
class BoardWindow final : public Window, public Host {
 public:
  struct Message {
    std::string title;  // as shown: the application title where none was given
    std::string text;
  };

  BoardWindow(Reporter* reporter, int row) : reporter_(reporter), row_(row) {}

  // The board's outcome record: a retry it counts is shown when the flash
  // next lets events through.
  void Watch(const OperationOutcome* outcome) { watched_ = outcome; }

  void SetHandlers(WindowHandlers handlers) override { handlers_ = std::move(handlers); }
  void SetButtonVisible(int, bool) override {}
  void SetStatusText(const std::string& text) override;
  void SetDeviceName(const std::string&) override {}
  void SetProgressVisible(bool visible) override { progressVisible_ = visible; }
  void SetProgressMaximum(int maximum) override { progressMaximum_ = maximum; }
  void SetProgressValue(int value) override;
  void SetTitle(const std::string&) override {}
  void Show() override {}
  void Close() override;
  // The flash lets events through between pages and while it waits for the
  // board; a terminal has none, but a retry under way is shown then.
  void PumpEvents() override;
  void MessageBox(const std::string& text, const std::string& title, MessageStyle style) override;

  bool AnotherInstanceRunning() override { return false; }
  std::string ProgramFileName() override { return "kelvo-flash"; }
  int VersionMajor() override;
  int VersionMinor() override;
  std::string ApplicationTitle() override;
  void EndProgram() override { ended_ = true; }

  const std::vector<Message>& Messages() const { return messages_; }
  // The window was closed or the program ended: this board's run is over.
  bool Gone() const { return closed_ || ended_; }

 private:
  Reporter* reporter_;
  int row_;
  WindowHandlers handlers_;
  const OperationOutcome* watched_ = nullptr;
  int shownPage_ = -1;
  int shownAttempt_ = 0;
  bool progressVisible_ = false;
  int progressMaximum_ = 0;
  bool closed_ = false;
  bool ended_ = false;
  std::vector<Message> messages_;
};

}  // namespace kelvo::cli
