#include "cli/WindowsConsole.h"

#include <windows.h>

namespace kelvo::cli {

bool InputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool ErrorIsConsole() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode) == 0) return false;
  return SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int ConsoleColumns(bool output) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &info) == 0)
    return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace kelvo::cli
