#pragma once

#include <windows.h>
// The seam's own MessageBox, not windows.h's macro for MessageBoxW.
#undef MessageBox

#include <array>
#include <string>

#include "core/Window.h"
#include "flow/KeyGuard.h"
#include "win32/Layout.h"
#include "win32/Photo.h"

namespace kelvo::win32 {

// The window's class, for FindWindow.
inline constexpr wchar_t WindowClassName[] = L"KelvoUpdaterWindow";
// Control ids. The buttons are ButtonIdBase + index: ids 1 and 2 are the
// dialog manager's OK and Cancel, which Enter and Escape would send.
inline constexpr int ButtonIdBase = 100;
inline constexpr int Picture1Id = 110;
inline constexpr int ProgressBarId = 111;
inline constexpr int DeviceNameId = 112;
inline constexpr int StatusTextId = 113;

// The program's only window on the Win32 API: a dialog-like top-level window
// whose keys go through the dialog manager (Tab, Enter, Space), laid out as
// designed at the monitor's pixel density. Made hidden; start-up shows it.
class fmStart final : public Window {
 public:
  fmStart();
  ~fmStart() override;
  fmStart(const fmStart&) = delete;
  fmStart& operator=(const fmStart&) = delete;

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

  HWND Handle() const { return window_; }
  // A close was granted and the unload handler has run.
  bool IsClosed() const { return closed_; }
  // The program closed it itself (a failure).
  bool ClosedByProgram() const { return closed_ && closedByProgram_; }
  // Hands one retrieved message on: to the dialog manager first, which
  // turns Tab, Enter and Space into moves and clicks.
  void Dispatch(MSG& message);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK KeyHook(int code, WPARAM removal, LPARAM message);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id);
  void FilterKey(MSG& message);
  void BuildControls();
  // Places the controls as designed at `dpi`, stretched where the font
  // needs room, and sizes the window around them.
  void ApplyLayout(UINT dpi, const RECT* suggested = nullptr);
  void FocusVisibleControl();
  void RequestClose(UnloadMode mode);
  bool IsShown(HWND control) const;

  WindowHandlers handlers_;
  HWND window_ = nullptr;
  std::array<HWND, ButtonCount> Button{};
  HWND Picture1 = nullptr;
  HWND ProgressBar = nullptr;
  HWND DeviceName = nullptr;
  HWND StatusText = nullptr;
  HWND hint_ = nullptr;
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HHOOK keyHook_ = nullptr;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  Photo photo_;
  KeyGuard keyGuard_;

  bool closed_ = false;
  bool closedByProgram_ = false;
};

}  // namespace kelvo::win32
