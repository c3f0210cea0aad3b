// kelvo-updater.exe as an operator runs it: copied into a folder with the
// project's stand-in cable driver beside it, started, and driven through its
// window from outside, by keyboard, mouse and messages; then the board's
// flash is read. Under wine on a private X server.
#include <windows.h>
// After windows.h.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/Texts.h"
#include "core/Window.h"
#include "support/Win32Driver.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using test::Click;
using test::MessageBoxOf;
using test::Shown;
using test::ShownBox;
using test::TextOf;
using test::WaitFor;

// The build's files, named by their Unix paths; wine shows the root as Z:.
fs::path BuildFile(const char* unixPath) {
  std::string path = std::string("Z:") + unixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::wstring Wide(const std::string& text) { return {text.begin(), text.end()}; }

// The window's class and control ids (src/win32/FmStart.h).
constexpr wchar_t UpdaterWindowClass[] = L"KelvoUpdaterWindow";
constexpr int ButtonIdBase = 100;
constexpr int ProgressBarId = 111;
constexpr int DeviceNameId = 112;
constexpr int StatusTextId = 113;

class UpdaterExe : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("kelvo-updater-exe-") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "flash");
    fs::copy_file(BuildFile(KELVO_UPDATER_EXE), dir_ / "kelvo-updater.exe");
    fs::copy_file(BuildFile(KELVO_STAND_IN_DLL), dir_ / "ftd2xx.dll");
  }

  void TearDown() override {
    for (PROCESS_INFORMATION& started : processes_) {
      if (WaitForSingleObject(started.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(started.hProcess, 99);
      WaitForSingleObject(started.hProcess, 5000);
      CloseHandle(started.hProcess);
      CloseHandle(started.hThread);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Starts the copy with the stand-in's settings `environment` (NAME, VALUE).
  PROCESS_INFORMATION Start(const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    std::vector<std::pair<std::string, std::string>> all = {
        {"KELVO_STAND_IN_FLASH_DIR", (dir_ / "flash").string()}};
    all.insert(all.end(), environment.begin(), environment.end());
    for (const auto& [name, value] : all) SetEnvironmentVariableA(name.c_str(), value.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    std::wstring command = L"\"" + (dir_ / "kelvo-updater.exe").wstring() + L"\"";
    const BOOL made = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     dir_.wstring().c_str(), &startup, &started);
    for (const auto& [name, value] : all) SetEnvironmentVariableA(name.c_str(), nullptr);
    EXPECT_TRUE(made) << "error " << GetLastError();
    processes_.push_back(started);
    return started;
  }

  // The window of `started`, once start-up has shown it.
  HWND WindowOf(const PROCESS_INFORMATION& started) {
    HWND window = nullptr;
    WaitFor([&] { return (window = test::TopWindowOf(started.dwProcessId, UpdaterWindowClass)) != nullptr; });
    return window;
  }

  static HWND Button(HWND window, int index) { return GetDlgItem(window, ButtonIdBase + index); }
  static std::wstring Status(HWND window) { return TextOf(GetDlgItem(window, StatusTextId)); }

  // The captions of the shown buttons, in index order.
  static std::vector<std::wstring> Buttons(HWND window) {
    std::vector<std::wstring> shown;
    for (int i = 0; i < ButtonCount; ++i)
      if (Shown(Button(window, i))) shown.push_back(TextOf(Button(window, i)));
    return shown;
  }

  static bool ReadyToFlash(HWND window) {
    return Buttons(window) == std::vector<std::wstring>{L"Flash Device", L"Abort Flash"} &&
           Status(window).rfind(L"Firmware: v1. 2  -  Upgrading to: v", 0) == 0;
  }
  static bool Complete(HWND window) {
    return Buttons(window) == std::vector<std::wstring>{L"Ok!"} && Status(window) == Wide(FlashCompleteText);
  }
  static bool Idle(HWND window) {
    return Buttons(window) == std::vector<std::wstring>{L"Find Device"} && Status(window).empty() &&
           TextOf(GetDlgItem(window, DeviceNameId)).empty() && !Shown(GetDlgItem(window, ProgressBarId));
  }

  // The box `started` shows, once it shows one.
  static ShownBox BoxOf(const PROCESS_INFORMATION& started) {
    ShownBox box;
    WaitFor([&] { return (box = MessageBoxOf(started.dwProcessId)).window != nullptr; });
    return box;
  }

  static DWORD ExitCode(const PROCESS_INFORMATION& started) {
    if (WaitForSingleObject(started.hProcess, 20000) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(started.hProcess, &code);
    return code;
  }

  // The board holds the image's pages 0 to 62 (its last page is not written).
  bool BoardHoldsTheImage() {
    std::ifstream plain(BuildFile(KELVO_PLAIN_IMAGE), std::ios::binary);
    std::ifstream board(dir_ / "flash" / "KV000001.bin", std::ios::binary);
    const std::vector<char> image(std::istreambuf_iterator<char>(plain), {});
    const std::vector<char> flash(std::istreambuf_iterator<char>(board), {});
    constexpr std::size_t written = 63 * 2048;
    return image.size() >= 8 + written && flash.size() >= written &&
           std::equal(flash.begin(), flash.begin() + written, image.begin() + 8);
  }

  fs::path dir_;
  std::vector<PROCESS_INFORMATION> processes_;
};

TEST_F(UpdaterExe, EnterAndEnterFlashTheBoardAndClosingEndsWithStatusZero) {
  const PROCESS_INFORMATION updater = Start();
  const HWND window = WindowOf(updater);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(TextOf(window), Wide(std::string(WindowTitlePrefix) + "2.3" +
                                 (KELVO_SAMPLE_EMBEDDED ? SampleFirmwareTitleSuffix : "")));
  ASSERT_TRUE(WaitFor([&] { return GetForegroundWindow() == window; }));
  test::Type(VK_RETURN);
  ASSERT_TRUE(WaitFor([&] { return ReadyToFlash(window); })) << Status(window);
  // A deliberate second keystroke, not the first one held down.
  Sleep(200);
  test::Type(VK_RETURN);
  ASSERT_TRUE(WaitFor([&] { return Complete(window); })) << Status(window);
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(updater), 0u);
  EXPECT_TRUE(BoardHoldsTheImage());
}

TEST_F(UpdaterExe, TheMouseFlashesTheBoardAndOkReturnsToTheStart) {
  const PROCESS_INFORMATION updater = Start();
  const HWND window = WindowOf(updater);
  ASSERT_NE(window, nullptr);
  test::ClickWithMouse(Button(window, ButtonFindDevice));
  ASSERT_TRUE(WaitFor([&] { return ReadyToFlash(window); })) << Status(window);
  test::ClickWithMouse(Button(window, ButtonFlashDevice));
  ASSERT_TRUE(WaitFor([&] { return Complete(window); })) << Status(window);
  test::ClickWithMouse(Button(window, ButtonOk));
  ASSERT_TRUE(WaitFor([&] { return Idle(window); }));
  // Alt+F4 and the close button arrive so.
  PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(ExitCode(updater), 0u);
  EXPECT_TRUE(BoardHoldsTheImage());
}

TEST_F(UpdaterExe, ABoardFailingVerificationIsTheExactBoxThenTheStartAgain) {
  const PROCESS_INFORMATION updater = Start({{"KELVO_STAND_IN_FAULTS", "verify:5:50"}});
  const HWND window = WindowOf(updater);
  ASSERT_NE(window, nullptr);
  Click(Button(window, ButtonFindDevice));
  ASSERT_TRUE(WaitFor([&] { return ReadyToFlash(window); }));
  Click(Button(window, ButtonFlashDevice));
  const ShownBox box = BoxOf(updater);
  EXPECT_EQ(box.title, Wide(VerifyFailureTitle));
  EXPECT_EQ(box.text, Wide(VerifyFailureText));
  EXPECT_FALSE(box.errorIcon);
  EXPECT_FALSE(box.topmost);
  Click(GetDlgItem(box.window, IDOK));
  ASSERT_TRUE(WaitFor([&] { return Idle(window); })) << Status(window);
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(updater), 0u);
}

TEST_F(UpdaterExe, NoCableIsTheBoxAloneThenStatusOneAndWhyInTheTrace) {
  const fs::path trace = dir_ / "trace.jsonl";
  const PROCESS_INFORMATION updater =
      Start({{"KELVO_STAND_IN_CABLES", "none"}, {"KELVO_TRACE", trace.string()}});
  const ShownBox box = BoxOf(updater);
  EXPECT_EQ(box.title, Wide(LinkNotFoundTitle));
  EXPECT_EQ(box.text, Wide(LinkNotFoundText));
  EXPECT_FALSE(box.errorIcon);
  EXPECT_EQ(test::TopWindowOf(updater.dwProcessId, UpdaterWindowClass), nullptr);
  Click(GetDlgItem(box.window, IDOK));
  EXPECT_EQ(ExitCode(updater), 1u);
  std::ifstream lines(trace);
  const std::string written(std::istreambuf_iterator<char>(lines), {});
  EXPECT_NE(written.find("\"diagnosis\":\"kelvo-updater: no FTDI device is described"), std::string::npos)
      << written;
}

TEST_F(UpdaterExe, ASecondCopyIsRefusedWithTheCriticalBoxWhileTheFirstGoesOn) {
  const PROCESS_INFORMATION first = Start();
  const HWND window = WindowOf(first);
  ASSERT_NE(window, nullptr);
  const PROCESS_INFORMATION second = Start();
  const ShownBox box = BoxOf(second);
  EXPECT_EQ(box.title, Wide(ApplicationTitleText));
  EXPECT_EQ(box.text, L"kelvo-updater already running! ");
  EXPECT_TRUE(box.errorIcon);
  EXPECT_TRUE(box.topmost);
  Click(GetDlgItem(box.window, IDOK));
  EXPECT_EQ(ExitCode(second), 1u);
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(first), 0u);
}

TEST_F(UpdaterExe, ACloseOrTheSessionsEndMidFlashIsRefusedAndTheFlashCompletes) {
  // Slow writes: the flash lasts a few seconds.
  const PROCESS_INFORMATION updater = Start({{"KELVO_STAND_IN_WRITE_MS", "5"}});
  const HWND window = WindowOf(updater);
  ASSERT_NE(window, nullptr);
  Click(Button(window, ButtonFindDevice));
  ASSERT_TRUE(WaitFor([&] { return ReadyToFlash(window); }));
  Click(Button(window, ButtonFlashDevice));
  const HWND bar = GetDlgItem(window, ProgressBarId);
  ASSERT_TRUE(WaitFor([&] { return Shown(bar); }));
  PostMessageW(window, WM_CLOSE, 0, 0);
  PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  DWORD_PTR endSession = TRUE;
  EXPECT_NE(
      SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &endSession),
      0);
  EXPECT_EQ(endSession, static_cast<DWORD_PTR>(FALSE));
  DWORD_PTR page = 0;
  SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &page);
  EXPECT_LT(page, 63u) << "the flash was over before the close";
  ASSERT_TRUE(WaitFor([&] { return Complete(window); })) << Status(window);
  EXPECT_TRUE(Shown(window));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(updater), 0u);
  EXPECT_TRUE(BoardHoldsTheImage());
}

}  // namespace
}  // namespace kelvo
