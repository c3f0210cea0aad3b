#pragma once

#include <array>
#include <functional>
#include <ostream>
#include <string>

#include "core/Window.h"

namespace kelvo::sim {

// Stands between the routines and the real window: passes everything on and
// writes what the window shows as JSON lines. Message boxes are recorded and
// answered at once instead of shown, so an unattended run never blocks.
class EventRecorder final : public Window {
 public:
  EventRecorder(Window& inner, std::ostream* out, std::function<double()> clockMs);

  void SetHandlers(WindowHandlers handlers) override;
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

  bool ButtonVisible(int index) const { return buttonVisible_.at(static_cast<std::size_t>(index)); }
  // Runs at every PumpEvents, before the real window handles its events.
  void SetPumpHook(std::function<void()> hook) { pumpHook_ = std::move(hook); }
  // Runs after every click's operation has ended and its state was written.
  void SetAfterClickHook(std::function<void()> hook) { afterClick_ = std::move(hook); }

  void WriteState();
  void WriteClick(int index);
  void WriteExit(int code);
  void WriteError(const std::string& text);

 private:
  void Write(const std::string& fields);

  Window& inner_;
  std::ostream* out_;
  std::function<double()> clockMs_;
  std::function<void()> pumpHook_;
  std::function<void()> afterClick_;
  bool inPumpHook_ = false;
  int clickDepth_ = 0;

  std::array<bool, ButtonCount> buttonVisible_{true, true, true, true};
  bool progressVisible_ = true;
  int progressMaximum_ = 100;
  int progressValue_ = 0;
  std::string statusText_;
  std::string deviceName_;
};

}  // namespace kelvo::sim
