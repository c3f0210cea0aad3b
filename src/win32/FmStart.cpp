#include "win32/FmStart.h"

#include <commctrl.h>

#include <algorithm>

#include "core/Texts.h"
#include "win32/Wide.h"
#include "win32/WindowResources.h"

namespace kelvo::win32 {
namespace {

constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD WindowExStyle = WS_EX_CONTROLPARENT;

// A button's caption needs this much room on either side, a label's text a
// little, at 96 dpi.
constexpr int ButtonMargin = 8;
constexpr int LabelMargin = 2;

// The key hook has no user data; the window of this thread that installed it.
thread_local fmStart* hookOwner = nullptr;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

void RegisterWindowClass(WNDPROC procedure) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(Instance(), WindowClassName, &existing)) return;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  // A dialog's extra bytes: the dialog manager keeps its focus and default
  // button there.
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = Instance();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = WindowClassName;
  RegisterClassExW(&windowClass);
}

HFONT MessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  }
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

SIZE TextExtent(HDC dc, const std::wstring& text) {
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size;
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

HWND Child(HWND parent, const wchar_t* windowClass, const std::wstring& text, DWORD style, int id) {
  return CreateWindowExW(0, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
}

}  // namespace

fmStart::fmStart() {
  const INITCOMMONCONTROLSEX controls{.dwSize = sizeof(INITCOMMONCONTROLSEX),
                                      .dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  RegisterWindowClass(&fmStart::Procedure);
  CreateWindowExW(WindowExStyle, WindowClassName, L"", WindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                  nullptr, nullptr, Instance(), this);

  const UINT dpi = GetDpiForWindow(window_);
  icon_ = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(KELVO_ICON_ID), IMAGE_ICON,
                                        GetSystemMetricsForDpi(SM_CXICON, dpi),
                                        GetSystemMetricsForDpi(SM_CYICON, dpi), 0));
  smallIcon_ = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(KELVO_ICON_ID), IMAGE_ICON,
                                             GetSystemMetricsForDpi(SM_CXSMICON, dpi),
                                             GetSystemMetricsForDpi(SM_CYSMICON, dpi), 0));
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  BuildControls();
  ApplyLayout(dpi);

  // Centred on the screen it opens on.
  RECT frame{}, work{};
  GetWindowRect(window_, &frame);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor);
  work = monitor.rcWork;
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  // The key guard sees every key of this thread, message boxes' included: a
  // keystroke may end on one.
  hookOwner = this;
  keyHook_ = SetWindowsHookExW(WH_GETMESSAGE, &fmStart::KeyHook, nullptr, GetCurrentThreadId());
}

fmStart::~fmStart() {
  if (keyHook_ != nullptr) UnhookWindowsHookEx(keyHook_);
  if (hookOwner == this) hookOwner = nullptr;
  DestroyWindow(window_);
  if (font_ != nullptr) DeleteObject(font_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void fmStart::BuildControls() {
  // Made in the design's tab order: Button 3, 2, Picture1, Button 0,
  // ProgressBar, Button 1, DeviceName, StatusText. Tab visits those that are
  // shown and take the focus.
  auto button = [this](int index) {
    Button[static_cast<std::size_t>(index)] =
        Child(window_, WC_BUTTONW, Widen(ButtonCaptions[static_cast<std::size_t>(index)]),
              WS_TABSTOP | BS_PUSHBUTTON, ButtonIdBase + index);
  };
  button(ButtonOk);
  button(ButtonAbortFlash);
  // Owner-drawn; its text is what a screen reader says for it.
  Picture1 = Child(window_, WC_STATICW, Widen(PictureDescription), SS_OWNERDRAW, Picture1Id);
  button(ButtonFindDevice);
  // During the flash no button is shown; the focus then rests on the bar.
  ProgressBar = Child(window_, PROGRESS_CLASSW, L"", WS_TABSTOP, ProgressBarId);
  SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
  button(ButtonFlashDevice);
  DeviceName = Child(window_, WC_STATICW, L"", SS_CENTER | SS_NOPREFIX, DeviceNameId);
  StatusText = Child(window_, WC_STATICW, L"", SS_CENTER | SS_NOPREFIX, StatusTextId);

  hint_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                          Instance(), nullptr);
  std::wstring hint = Widen(ProgressBarHint);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(ProgressBar);
  tool.lpszText = hint.data();
  SendMessageW(hint_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void fmStart::ApplyLayout(UINT dpi, const RECT* suggested) {
  dpi_ = dpi;
  const HFONT font = MessageFont(dpi);
  for (HWND control : {Button[0], Button[1], Button[2], Button[3], DeviceName, StatusText}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (font_ != nullptr) DeleteObject(font_);
  font_ = font;

  // Room for every caption and for the widest texts the labels show, as
  // measured in the font the controls use.
  Stretch stretch;
  const HDC dc = GetDC(window_);
  const HGDIOBJ previous = SelectObject(dc, font_);
  const int buttonMargin = MulDiv(ButtonMargin, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
  const int labelMargin = MulDiv(LabelMargin, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
  for (int i = 0; i < ButtonCount; ++i) {
    const SIZE caption = TextExtent(dc, Widen(ButtonCaptions[static_cast<std::size_t>(i)]));
    MakeRoom(stretch, ButtonPlacements[static_cast<std::size_t>(i)], dpi,
             {caption.cx + 2 * buttonMargin, caption.cy + buttonMargin});
  }
  auto roomFor = [&](HWND label, const char* widest) {
    const SIZE shown = TextExtent(dc, WindowText(label));
    const SIZE designed = TextExtent(dc, Widen(widest));
    return SIZE{std::max(shown.cx, designed.cx) + labelMargin, std::max(shown.cy, designed.cy)};
  };
  MakeRoom(stretch, DeviceNamePlacement, dpi, roomFor(DeviceName, WidestDeviceName));
  MakeRoom(stretch, StatusTextPlacement, dpi, roomFor(StatusText, WidestStatusText));
  SelectObject(dc, previous);
  ReleaseDC(window_, dc);

  auto place = [&](HWND control, const Placement& placement) {
    const RECT r = PlaceAt(placement, dpi, stretch);
    SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (int i = 0; i < ButtonCount; ++i)
    place(Button[static_cast<std::size_t>(i)], ButtonPlacements[static_cast<std::size_t>(i)]);
  place(Picture1, Picture1Placement);
  place(ProgressBar, ProgressBarPlacement);
  place(DeviceName, DeviceNamePlacement);
  place(StatusText, StatusTextPlacement);

  const SIZE client = ClientSizeAt(dpi, stretch);
  RECT frame{0, 0, client.cx, client.cy};
  AdjustWindowRectExForDpi(&frame, WindowStyle, FALSE, WindowExStyle, dpi);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  if (suggested != nullptr) {
    SetWindowPos(window_, nullptr, suggested->left, suggested->top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  InvalidateRect(window_, nullptr, TRUE);
}

void fmStart::SetHandlers(WindowHandlers handlers) { handlers_ = std::move(handlers); }

bool fmStart::IsShown(HWND control) const { return (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0; }

void fmStart::SetButtonVisible(int index, bool visible) {
  ShowWindow(Button.at(static_cast<std::size_t>(index)), visible ? SW_SHOWNA : SW_HIDE);
  keyGuard_.StateChanged();
  FocusVisibleControl();
}

// Keyboard users follow the focus: after every change of state it rests on
// a visible button, so Enter or Space alone carries the operator through
// the whole update; while no button is shown, on the bar.
void fmStart::FocusVisibleControl() {
  if (!IsWindowVisible(window_)) return;
  const HWND focused = GetFocus();
  const bool ours =
      focused == ProgressBar || std::find(Button.begin(), Button.end(), focused) != Button.end();
  if (ours && IsShown(focused)) return;
  HWND next = nullptr;
  for (int index : FocusPreference) {
    if (IsShown(Button[static_cast<std::size_t>(index)])) {
      next = Button[static_cast<std::size_t>(index)];
      break;
    }
  }
  if (next == nullptr && IsShown(ProgressBar)) next = ProgressBar;
  // Through the dialog manager, which makes a focused button the default
  // one that Enter presses.
  if (next != nullptr) SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
}

void fmStart::SetStatusText(const std::string& text) {
  SetWindowTextW(StatusText, Widen(text).c_str());
  RECT box{};
  GetClientRect(StatusText, &box);
  const HDC dc = GetDC(StatusText);
  const HGDIOBJ previous = SelectObject(dc, font_);
  const SIZE needed = TextExtent(dc, Widen(text));
  SelectObject(dc, previous);
  ReleaseDC(StatusText, dc);
  // A text wider than the layout's room for it widens the window.
  if (needed.cx > box.right) ApplyLayout(dpi_);
}

void fmStart::SetDeviceName(const std::string& text) { SetWindowTextW(DeviceName, Widen(text).c_str()); }

void fmStart::SetProgressVisible(bool visible) {
  ShowWindow(ProgressBar, visible ? SW_SHOWNA : SW_HIDE);
  FocusVisibleControl();
}

void fmStart::SetProgressMaximum(int maximum) { SendMessageW(ProgressBar, PBM_SETRANGE32, 0, maximum); }

void fmStart::SetProgressValue(int value) {
  SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void fmStart::SetTitle(const std::string& title) { SetWindowTextW(window_, Widen(title).c_str()); }

void fmStart::Show() {
  closed_ = false;
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  FocusVisibleControl();
  UpdateWindow(window_);
}

void fmStart::Close() { RequestClose(UnloadMode::Program); }

void fmStart::RequestClose(UnloadMode mode) {
  if (closed_) return;
  if (handlers_.Form_QueryUnload && !handlers_.Form_QueryUnload(mode)) return;
  closed_ = true;
  closedByProgram_ = mode == UnloadMode::Program;
  if (handlers_.Form_Unload) handlers_.Form_Unload();
  // Hidden, not destroyed: a handler of this window may still be running.
  ShowWindow(window_, SW_HIDE);
}

void fmStart::PumpEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // For the loop that waits for it.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    Dispatch(message);
  }
}

void fmStart::Dispatch(MSG& message) {
  if (IsDialogMessageW(window_, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

void fmStart::MessageBox(const std::string& text, const std::string& title, MessageStyle style) {
  const std::string& shownTitle = title.empty() ? std::string(ApplicationTitleText) : title;
  UINT flags = MB_OK;
  if (style.critical) flags |= MB_ICONERROR;
  if (style.systemModal) flags |= MB_SYSTEMMODAL;
  // A box over a hidden window would be placed by it; before start-up has
  // shown it, or after it closed, the box stands alone.
  const HWND owner = !closed_ && IsWindowVisible(window_) ? window_ : nullptr;
  ::MessageBoxW(owner, Widen(text).c_str(), Widen(shownTitle).c_str(), flags);
}

LRESULT CALLBACK fmStart::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* created = static_cast<fmStart*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
    created->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
  }
  auto* self = reinterpret_cast<fmStart*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefDlgProcW(window, message, wParam, lParam);
  return self->OnMessage(message, wParam, lParam);
}

LRESULT fmStart::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) OnCommand(LOWORD(wParam));
      return 0;
    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item.CtlID != Picture1Id) break;
      FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
      photo_.Draw(item.hDC, item.rcItem, dpi_);
      return TRUE;
    }
    case WM_DPICHANGED:
      ApplyLayout(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    // The close button, Alt+F4 and WM_CLOSE from elsewhere: the user's close
    // request. (The dialog manager would make it a Cancel.)
    case WM_CLOSE:
      RequestClose(UnloadMode::User);
      return 0;
    // Logging off or shutting down is refused as the user's close is.
    case WM_QUERYENDSESSION:
      return handlers_.Form_QueryUnload ? handlers_.Form_QueryUnload(UnloadMode::User) : TRUE;
    case WM_ENDSESSION:
      // The session ends now, with or without us: the link is closed first.
      if (wParam != FALSE && !closed_) {
        closed_ = true;
        if (handlers_.Form_Unload) handlers_.Form_Unload();
      }
      return 0;
    case WM_ACTIVATE: {
      // The dialog manager gives the focus back to where it was; that
      // button may have gone meanwhile.
      const LRESULT result = DefDlgProcW(window_, message, wParam, lParam);
      if (LOWORD(wParam) != WA_INACTIVE) FocusVisibleControl();
      return result;
    }
    case WM_ACTIVATEAPP:
      if (wParam == FALSE) keyGuard_.LoseSight();
      break;
    default:
      break;
  }
  return DefDlgProcW(window_, message, wParam, lParam);
}

void fmStart::OnCommand(int id) {
  int index = -1;
  if (id == IDOK) {
    // Enter when no button is the default one: the focused button.
    const auto focused = std::find(Button.begin(), Button.end(), GetFocus());
    if (focused != Button.end()) index = static_cast<int>(focused - Button.begin());
  } else if (id >= ButtonIdBase && id < ButtonIdBase + ButtonCount) {
    index = id - ButtonIdBase;
  }
  // A hidden button cannot be pressed, whatever message says otherwise.
  if (index < 0 || !IsShown(Button[static_cast<std::size_t>(index)])) return;
  if (handlers_.Button_Click) handlers_.Button_Click(static_cast<std::int16_t>(index));
}

LRESULT CALLBACK fmStart::KeyHook(int code, WPARAM removal, LPARAM message) {
  if (code == HC_ACTION && removal == PM_REMOVE && hookOwner != nullptr)
    hookOwner->FilterKey(*reinterpret_cast<MSG*>(message));
  return CallNextHookEx(nullptr, code, removal, message);
}

// A held or bouncing key must not press the button that the focus moved on
// to (after "Find Device", that is "Flash Device"). A key the guard refuses
// is taken out of the message queue.
void fmStart::FilterKey(MSG& message) {
  if (message.message != WM_KEYDOWN && message.message != WM_KEYUP) return;
  if (message.wParam != VK_RETURN && message.wParam != VK_SPACE) return;
  const bool press = message.message == WM_KEYDOWN;
  const KeyStroke stroke{.key = static_cast<int>(message.wParam),
                         .kind = press ? KeyStroke::Kind::Press : KeyStroke::Kind::Release,
                         // The key was already down: a repeat.
                         .autoRepeat = press && (message.lParam & (LPARAM{1} << 30)) != 0,
                         .timestampMs = message.time};
  const bool guarded = message.hwnd == window_ || IsChild(window_, message.hwnd);
  if (!guarded) {
    keyGuard_.Witness(stroke);
  } else if (!keyGuard_.Admits(message.hwnd, stroke)) {
    message.message = WM_NULL;
  }
}

}  // namespace kelvo::win32
