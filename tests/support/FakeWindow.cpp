#include "support/FakeWindow.h"

namespace kelvo::test {

void FakeWindow::SetButtonVisible(int index, bool visible) {
  buttonVisible.at(static_cast<std::size_t>(index)) = visible;
  log.push_back((visible ? "show " : "hide ") +
                std::string(ButtonCaptions.at(static_cast<std::size_t>(index))));
}

void FakeWindow::SetStatusText(const std::string& text) {
  statusText = text;
  log.push_back("status " + text);
}

void FakeWindow::SetDeviceName(const std::string& text) {
  deviceName = text;
  log.push_back("device " + text);
}

void FakeWindow::SetProgressVisible(bool visible) {
  progressVisible = visible;
  log.push_back(visible ? "show progress" : "hide progress");
}

void FakeWindow::SetProgressMaximum(int maximum) {
  progressMaximum = maximum;
  log.push_back("progress max " + std::to_string(maximum));
}

void FakeWindow::SetProgressValue(int value) {
  progressValues.push_back(value);
  log.push_back("progress " + std::to_string(value));
}

void FakeWindow::SetTitle(const std::string& text) {
  title = text;
  log.push_back("title " + text);
}

void FakeWindow::Show() {
  shown = true;
  log.push_back("shown");
}

void FakeWindow::Close() { RequestClose(UnloadMode::Program); }

void FakeWindow::UserClose() { RequestClose(UnloadMode::User); }

void FakeWindow::RequestClose(UnloadMode mode) {
  ++closeRequests;
  if (closed) return;
  if (handlers.Form_QueryUnload && !handlers.Form_QueryUnload(mode)) {
    log.push_back("close refused");
    return;
  }
  if (handlers.Form_Unload) handlers.Form_Unload();
  closed = true;
  shown = false;
  log.push_back("closed");
}

void FakeWindow::PumpEvents() {
  ++pumps;
  if (onPump) onPump();
}

void FakeWindow::MessageBox(const std::string& text, const std::string& title, MessageStyle style) {
  messages.push_back({text, title.empty() ? ApplicationTitle() : title, style});
  log.push_back("message " + text);
}

void FakeWindow::EndProgram() {
  programEnded = true;
  log.push_back("end");
}

std::vector<std::string> FakeWindow::VisibleButtons() const {
  std::vector<std::string> visible;
  for (std::size_t i = 0; i < ButtonCaptions.size(); ++i) {
    if (buttonVisible[i]) visible.push_back(ButtonCaptions[i]);
  }
  return visible;
}

void FakeWindow::Click(int index) {
  log.push_back("click " + std::string(ButtonCaptions.at(static_cast<std::size_t>(index))));
  if (handlers.Button_Click) handlers.Button_Click(static_cast<std::int16_t>(index));
}

}  // namespace kelvo::test
