#pragma once

// Drives Win32 windows from the outside, as an operator or a test program
// would: finds a program's windows and message boxes, reads their texts and
// presses their buttons through messages, and types on the keyboard and
// clicks the mouse through SendInput. Windows' own calls only, so that it
// works on another process's windows (under wine too).
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kelvo::test {

// Waits until `done` holds, looking every 20 ms; false when `seconds` pass
// first.
inline bool WaitFor(const std::function<bool()>& done, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::wstring TextOf(HWND window) {
  wchar_t text[512] = L"";
  GetWindowTextW(window, text, 512);
  return text;
}

inline bool Shown(HWND window) {
  return window != nullptr && (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

// The first shown top-level window of process `pid` of class `windowClass`
// (any class when null); null when it has none.
inline HWND TopWindowOf(DWORD pid, const wchar_t* windowClass) {
  struct Search {
    DWORD pid;
    const wchar_t* windowClass;
    HWND found;
  } search{pid, windowClass, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = L"";
        GetClassNameW(window, name, 64);
        if (owner != s.pid || !Shown(window) ||
            (s.windowClass != nullptr && std::wstring(name) != s.windowClass))
          return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A message box as the operator sees it.
struct ShownBox {
  HWND window = nullptr;
  std::wstring title;
  std::wstring text;
  bool errorIcon = false;
  bool topmost = false;
};

// The message box process `pid` shows now, if any. Its text is the static
// control 0xFFFF; its icon lies in control 20 on Windows, 0x440 under wine.
inline ShownBox MessageBoxOf(DWORD pid) {
  ShownBox box;
  box.window = TopWindowOf(pid, L"#32770");
  if (box.window == nullptr) return box;
  box.title = TextOf(box.window);
  box.text = TextOf(GetDlgItem(box.window, 0xFFFF));
  for (int id : {20, 0x440}) {
    const HWND icon = GetDlgItem(box.window, id);
    if (icon != nullptr && Shown(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0) box.errorIcon = true;
  }
  box.topmost = (GetWindowLongW(box.window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  return box;
}

// Presses a button as a click would. Posted: a click that opens a modal box
// would otherwise keep the sender waiting.
inline void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

// One key down and up through the keyboard's own path.
inline void Type(WORD key) {
  INPUT strokes[2]{};
  strokes[0].type = strokes[1].type = INPUT_KEYBOARD;
  strokes[0].ki.wVk = strokes[1].ki.wVk = key;
  strokes[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, strokes, sizeof(INPUT));
}

// The mouse moved onto the middle of `control` and clicked there.
inline void ClickWithMouse(HWND control) {
  RECT box{};
  GetWindowRect(control, &box);
  const int x = (box.left + box.right) / 2, y = (box.top + box.bottom) / 2;
  INPUT moves[3]{};
  for (INPUT& move : moves) {
    move.type = INPUT_MOUSE;
    move.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    move.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    move.mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
  }
  moves[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
  moves[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
  SendInput(3, moves, sizeof(INPUT));
}

}  // namespace kelvo::test
