#include "simulator/EventRecorder.h"

#include <cstdio>

#include "core/Texts.h"
#include "link/TraceJson.h"

namespace kelvo::sim {

EventRecorder::EventRecorder(Window& inner, std::ostream* out, std::function<double()> clockMs)
    : inner_(inner), out_(out), clockMs_(std::move(clockMs)) {}

void EventRecorder::Write(const std::string& fields) {
  if (out_ == nullptr) return;
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", clockMs_());
  *out_ << "{" << fields << ",\"t\":" << time << "}\n";
  out_->flush();
}

void EventRecorder::SetHandlers(WindowHandlers handlers) {
  WindowHandlers wrapped = handlers;
  wrapped.Button_Click = [this, click = handlers.Button_Click](std::int16_t index) {
    WriteClick(index);
    ++clickDepth_;
    if (click) click(index);
    --clickDepth_;
    // A click that arrives while another operation pumps events is not an
    // operation of its own; the state is written when the outer one ends.
    if (clickDepth_ == 0) {
      WriteState();
      if (afterClick_) afterClick_();
    }
  };
  wrapped.Form_QueryUnload = [this, query = handlers.Form_QueryUnload](UnloadMode mode) {
    const bool granted = !query || query(mode);
    Write(std::string("\"event\":\"close-request\",\"granted\":") + (granted ? "true" : "false"));
    return granted;
  };
  wrapped.Form_Unload = [this, unload = handlers.Form_Unload]() {
    if (unload) unload();
    Write("\"event\":\"closed\"");
  };
  inner_.SetHandlers(std::move(wrapped));
}

void EventRecorder::SetButtonVisible(int index, bool visible) {
  buttonVisible_.at(static_cast<std::size_t>(index)) = visible;
  inner_.SetButtonVisible(index, visible);
}

void EventRecorder::SetStatusText(const std::string& text) {
  statusText_ = text;
  inner_.SetStatusText(text);
}

void EventRecorder::SetDeviceName(const std::string& text) {
  deviceName_ = text;
  inner_.SetDeviceName(text);
}

void EventRecorder::SetProgressVisible(bool visible) {
  progressVisible_ = visible;
  inner_.SetProgressVisible(visible);
}

void EventRecorder::SetProgressMaximum(int maximum) {
  progressMaximum_ = maximum;
  inner_.SetProgressMaximum(maximum);
}

void EventRecorder::SetProgressValue(int value) {
  progressValue_ = value;
  inner_.SetProgressValue(value);
  if (progressVisible_) {
    Write("\"event\":\"progress\",\"value\":" + std::to_string(value) +
          ",\"max\":" + std::to_string(progressMaximum_));
  }
}

void EventRecorder::SetTitle(const std::string& title) {
  inner_.SetTitle(title);
  Write("\"event\":\"title\",\"text\":" + JsonString(title));
}

void EventRecorder::Show() {
  inner_.Show();
  Write("\"event\":\"shown\"");
}

void EventRecorder::Close() { inner_.Close(); }

void EventRecorder::PumpEvents() {
  // The hook may itself pump (a click it sends runs an operation); it must
  // not run again inside itself.
  if (pumpHook_ && !inPumpHook_) {
    inPumpHook_ = true;
    pumpHook_();
    inPumpHook_ = false;
  }
  inner_.PumpEvents();
}

void EventRecorder::MessageBox(const std::string& text, const std::string& title, MessageStyle style) {
  const std::string shownTitle = title.empty() ? std::string(ApplicationTitleText) : title;
  Write("\"event\":\"message\",\"title\":" + JsonString(shownTitle) + ",\"text\":" + JsonString(text) +
        ",\"critical\":" + (style.critical ? "true" : "false") +
        ",\"systemModal\":" + (style.systemModal ? "true" : "false"));
  if (out_ == nullptr) inner_.MessageBox(text, title, style);
}

void EventRecorder::WriteState() {
  std::string buttons;
  for (std::size_t i = 0; i < ButtonCaptions.size(); ++i) {
    if (!buttonVisible_[i]) continue;
    if (!buttons.empty()) buttons += ",";
    buttons += JsonString(ButtonCaptions[i]);
  }
  const std::string progress = progressVisible_ ? "{\"value\":" + std::to_string(progressValue_) +
                                                      ",\"max\":" + std::to_string(progressMaximum_) + "}"
                                                : "null";
  Write("\"event\":\"state\",\"buttons\":[" + buttons + "],\"progress\":" + progress +
        ",\"status\":" + JsonString(statusText_) + ",\"device\":" + JsonString(deviceName_));
}

void EventRecorder::WriteClick(int index) {
  Write("\"event\":\"click\",\"button\":" +
        JsonString(std::string(ButtonCaptions.at(static_cast<std::size_t>(index)))));
}

void EventRecorder::WriteExit(int code) { Write("\"event\":\"exit\",\"code\":" + std::to_string(code)); }

void EventRecorder::WriteError(const std::string& text) {
  Write("\"event\":\"error\",\"text\":" + JsonString(text));
}

}  // namespace kelvo::sim
