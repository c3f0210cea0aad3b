#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// windows.h names MessageBoxW so; the seam's MessageBox is our own.
#ifdef MessageBox
#undef MessageBox
#endif

namespace kelvo {

// Button indices of the window's one button array.
inline constexpr int ButtonFindDevice = 0;
inline constexpr int ButtonFlashDevice = 1;
inline constexpr int ButtonAbortFlash = 2;
inline constexpr int ButtonOk = 3;
inline constexpr int ButtonCount = 4;
// The buttons' captions, by index; they never change while the program runs.
inline constexpr std::array<const char*, ButtonCount> ButtonCaptions = {"Find Device", "Flash Device",
                                                                        "Abort Flash", "Ok!"};

// Who asked for the window to close: the user (the window's close button, or
// anything acting for the user) or the program itself.
enum class UnloadMode { User, Program };

struct MessageStyle {
  bool critical = false;
  bool systemModal = false;
};

// What the window calls back into; the application binds these once.
struct WindowHandlers {
  std::function<void(std::int16_t index)> Button_Click;
  // Returns true when the close may go ahead.
  std::function<bool(UnloadMode mode)> Form_QueryUnload;
  std::function<void()> Form_Unload;
};

// The main window, as the routines see it. fmStart is the Qt implementation;
// tests use a recording fake.
class Window {
 public:
  virtual ~Window() = default;

  virtual void SetHandlers(WindowHandlers handlers) = 0;

  virtual void SetButtonVisible(int index, bool visible) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetDeviceName(const std::string& text) = 0;
  virtual void SetProgressVisible(bool visible) = 0;
  virtual void SetProgressMaximum(int maximum) = 0;
  virtual void SetProgressValue(int value) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void Show() = 0;
  // The program closes its window: asks Form_QueryUnload (UnloadMode::Program),
  // and when granted runs Form_Unload and removes the window.
  virtual void Close() = 0;
  // Lets the window handle its pending events once, then returns.
  virtual void PumpEvents() = 0;
  // Modal; an empty title shows the application title. The answer is unused.
  virtual void MessageBox(const std::string& text, const std::string& title, MessageStyle style) = 0;
};

}  // namespace kelvo
