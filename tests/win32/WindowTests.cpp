// The Win32 window as the routines and the operator see it: its controls,
// texts, closing and keys, through the window's own messages. (Its message
// boxes are read from outside in the program's end-to-end tests.)
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/Texts.h"
#include "flow/WindowSettings.h"
#include "support/Win32Driver.h"
#include "win32/FmStart.h"
#include "win32/WinHost.h"

namespace kelvo::win32 {
namespace {

using test::TextOf;

struct Recorder {
  std::vector<int> clicks;
  bool grantClose = true;
  std::vector<UnloadMode> asked;
  int unloads = 0;
};

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.SetHandlers({
        .Button_Click = [this](std::int16_t index) { seen.clicks.push_back(index); },
        .Form_QueryUnload =
            [this](UnloadMode mode) {
              seen.asked.push_back(mode);
              return seen.grantClose;
            },
        .Form_Unload = [this] { ++seen.unloads; },
    });
  }
  HWND Button(int index) { return GetDlgItem(window.Handle(), ButtonIdBase + index); }
  HWND Control(int id) { return GetDlgItem(window.Handle(), id); }
  std::vector<std::wstring> ShownButtons() {
    std::vector<std::wstring> shown;
    for (int i = 0; i < ButtonCount; ++i)
      if (test::Shown(Button(i))) shown.push_back(TextOf(Button(i)));
    return shown;
  }
  // A key as the keyboard delivers it to the focused control, `afterMs`
  // after the last one.
  void Key(UINT message, bool repeat = false, DWORD afterMs = 100) {
    Sleep(afterMs);
    const LPARAM state = 1 | (repeat || message == WM_KEYUP ? LPARAM{1} << 30 : 0) |
                         (message == WM_KEYUP ? LPARAM{1} << 31 : 0);
    PostMessageW(GetFocus(), message, VK_RETURN, state);
    window.PumpEvents();
  }

  fmStart window;
  Recorder seen;
};

TEST_F(Win32WindowTest, EveryShownButtonReachesTheOneHandlerWithItsIndexAndAHiddenOneNever) {
  window.Show();
  for (int i = 0; i < ButtonCount; ++i) SendMessageW(Button(i), BM_CLICK, 0, 0);
  window.SetButtonVisible(ButtonOk, false);
  SendMessageW(Button(ButtonOk), BM_CLICK, 0, 0);
  EXPECT_EQ(seen.clicks, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(TextOf(Button(ButtonAbortFlash)), L"Abort Flash");
}

TEST_F(Win32WindowTest, IdleAndDoneSettingsTextsAndTitleAsTheRoutinesSetThem) {
  window.SetTitle("Kelvo Firmware Updater v2.3");
  window.SetDeviceName(BoardName);
  window.SetStatusText("Firmware: v1. 2  -  Upgrading to: v3. 0");
  EXPECT_EQ(TextOf(window.Handle()), L"Kelvo Firmware Updater v2.3");
  EXPECT_EQ(TextOf(Control(StatusTextId)), L"Firmware: v1. 2  -  Upgrading to: v3. 0");
  ApplyDoneSettings(window);
  EXPECT_EQ(ShownButtons(), (std::vector<std::wstring>{L"Find Device", L"Ok!"}));
  EXPECT_EQ(TextOf(Control(StatusTextId)), L"Flash Complete!");
  EXPECT_EQ(TextOf(Control(DeviceNameId)), L"Kelvo");
  ApplyIdleSettings(window);
  EXPECT_EQ(ShownButtons(), (std::vector<std::wstring>{L"Find Device"}));
  EXPECT_EQ(TextOf(Control(StatusTextId)), L"");
  EXPECT_EQ(TextOf(Control(DeviceNameId)), L"");
  EXPECT_FALSE(test::Shown(Control(ProgressBarId)));
}

TEST_F(Win32WindowTest, EveryCloseAsksFirstAndTheSessionsEndGetsTheSameAnswer) {
  window.Show();
  seen.grantClose = false;
  SendMessageW(window.Handle(), WM_CLOSE, 0, 0);
  SendMessageW(window.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(SendMessageW(window.Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
  EXPECT_FALSE(window.IsClosed());
  EXPECT_TRUE(IsWindowVisible(window.Handle()));
  seen.grantClose = true;
  EXPECT_EQ(SendMessageW(window.Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  SendMessageW(window.Handle(), WM_CLOSE, 0, 0);
  window.Close();
  EXPECT_EQ(seen.asked, (std::vector<UnloadMode>(5, UnloadMode::User)));
  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(window.ClosedByProgram());
  EXPECT_FALSE(IsWindowVisible(window.Handle()));
  EXPECT_EQ(seen.unloads, 1);
}

TEST_F(Win32WindowTest, EnterPressesTheFocusedButtonOnceAndAHeldEnterNeverTheNextOne) {
  window.SetHandlers({.Button_Click =
                          [this](std::int16_t index) {
                            seen.clicks.push_back(index);
                            // As the device check leaves it: "Flash Device" and "Abort Flash".
                            if (index == ButtonFindDevice) {
                              window.SetButtonVisible(ButtonFindDevice, false);
                              window.SetButtonVisible(ButtonFlashDevice, true);
                              window.SetButtonVisible(ButtonAbortFlash, true);
                            }
                          },
                      .Form_QueryUnload = nullptr,
                      .Form_Unload = nullptr});
  ApplyIdleSettings(window);
  window.Show();
  ASSERT_EQ(GetFocus(), Button(ButtonFindDevice));
  Key(WM_KEYDOWN);
  EXPECT_EQ(GetFocus(), Button(ButtonFlashDevice));
  Key(WM_KEYDOWN, /*repeat=*/true);
  Key(WM_KEYDOWN, /*repeat=*/true, 30);
  Key(WM_KEYUP);
  EXPECT_EQ(seen.clicks, (std::vector<int>{ButtonFindDevice}));
  Key(WM_KEYDOWN);
  EXPECT_EQ(seen.clicks, (std::vector<int>{ButtonFindDevice, ButtonFlashDevice}));
}

TEST(Win32Photo, ThePictureResourceDecodesToItsDesignedSize) {
  const Photo photo;
  EXPECT_EQ(photo.Size().cx, PictureWidth);
  EXPECT_EQ(photo.Size().cy, PictureHeight);
}

TEST(Win32Host, OneHostPerProgramFileHoldsTheMutexUntilItEnds) {
  EXPECT_EQ(WinHost::MutexName("Kelvo-Updater"), L"Local\\kelvo-updater");
  auto first = std::make_unique<WinHost>();
  WinHost second;
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(second.AnotherInstanceRunning());
  EXPECT_TRUE(second.AnotherInstanceRunning());
  first.reset();
  EXPECT_FALSE(WinHost().AnotherInstanceRunning());
  EXPECT_EQ(second.ProgramFileName(), "kelvo_win32_tests");
}

}  // namespace
}  // namespace kelvo::win32
