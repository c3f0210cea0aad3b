// Windows: the console's Ctrl-C and close as kelvo-flash's guard takes them.
// A console event cannot be raised without a console (none under ctest), so
// the handler's part is called as the system would call it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/Interrupts.h"

namespace kelvo::cli {
namespace {

constexpr int QuitStatus = 2;

TEST(ConsoleInterrupts, CtrlCDuringAFlashIsRefusedWithALine) {
  std::vector<std::string> lines;
  InterruptGuard guard([&](const std::string& line) { lines.push_back(line); }, QuitStatus);
  guard.SetFlashing(true);
  for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) EXPECT_TRUE(guard.OnConsoleEvent(event));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "kelvo-flash: the flash goes on until every board is done; a board must not be left half-written");
}

TEST(ConsoleInterrupts, CtrlCBeforeTheFlashEndsTheProgramAtOnce) {
  EXPECT_EXIT(
      {
        InterruptGuard guard([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); },
                             QuitStatus);
        guard.OnConsoleEvent(CTRL_C_EVENT);
      },
      ::testing::ExitedWithCode(QuitStatus), "kelvo-flash: interrupted; no board was flashed");
}

// Closing the console cannot be refused: the handler holds the end off until
// the flash is over, then leaves it to the system.
TEST(ConsoleInterrupts, CloseDuringAFlashWaitsForItsEnd) {
  InterruptGuard guard([](const std::string&) {}, QuitStatus);
  guard.SetFlashing(true);
  std::jthread flash([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    guard.SetFlashing(false);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(guard.OnConsoleEvent(CTRL_CLOSE_EVENT));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_FALSE(guard.OnConsoleEvent(CTRL_LOGOFF_EVENT));
}

}  // namespace
}  // namespace kelvo::cli
