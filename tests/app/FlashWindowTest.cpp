// The real window on the simulated board, under the offscreen platform: the
// operator's whole flow through the window's own buttons, with the clicks and
// the close request that arrive while an operation lets events through.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <string>
#include <vector>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "image/FirmwareImageLoader.h"
#include "sim/SimLink.h"
#include "support/QtTestApp.h"
#include "support/SampleResource.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FlashWindowTest : public ::testing::Test {
 protected:
  FlashWindowTest() {
    link.SetTraceSink([this](const std::string& line) { trace.push_back(line); });
    // A failure would show a modal box; answer it rather than hang, and keep
    // its text for the assertions.
    test::AnswerMessageBoxes([this](QMessageBox& box) { messages.push_back(box.text().toStdString()); },
                             &window);
  }

  QPushButton* Button(int index) {
    return window.findChild<QPushButton*>(QStringLiteral("Button%1").arg(index));
  }
  QString Label(const char* name) { return window.findChild<QLabel*>(QString::fromLatin1(name))->text(); }
  QProgressBar* Bar() { return window.findChild<QProgressBar*>(QStringLiteral("ProgressBar")); }

  std::vector<std::string> VisibleButtons() {
    std::vector<std::string> visible;
    for (int i = 0; i < ButtonCount; ++i) {
      if (window.IsButtonVisible(i)) visible.push_back(Button(i)->text().toStdString());
    }
    return visible;
  }

  int TraceCount(const std::string& text) const {
    return static_cast<int>(std::count_if(
        trace.begin(), trace.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }

  QApplication& app = test::QtTestApp();  // before any widget
  sim::SimLink link{sim::SimOptions{}};
  fmStart window;
  QtHost host;
  UpdaterState state{link, window, host, test::ResourceOf(test::ScrambledSample())};
  std::vector<std::string> trace;
  std::vector<std::string> messages;
};

constexpr char IdentifyCommand[] = "\"FT_Write\",\"args\":[\"4749\",2]";

TEST_F(FlashWindowTest, WholeFlashIgnoresASecondFindAndRefusesACloseMidway) {
  BindWindow(state);
  Form_Load(state);
  ASSERT_TRUE(window.isVisible());
  ASSERT_THAT(VisibleButtons(), ElementsAre("Find Device"));
  ASSERT_EQ(TraceCount(IdentifyCommand), 1);

  // The second click comes from the event loop, at the check's first pump,
  // through the same button the operator would press.
  RunningOperation runningAtSecondClick = RunningOperation::None;
  QTimer::singleShot(0, &window, [&] {
    runningAtSecondClick = state.Running;
    Button(ButtonFindDevice)->click();
  });
  Button(ButtonFindDevice)->click();

  EXPECT_EQ(runningAtSecondClick, RunningOperation::DeviceCheck)
      << "the second click did not land in the check";
  EXPECT_EQ(TraceCount(IdentifyCommand), 2) << "the second click started another identification";
  EXPECT_THAT(VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));
  EXPECT_EQ(Label("DeviceName"), "Kelvo");
  EXPECT_EQ(Label("StatusText"), "Firmware: v1. 2  -  Upgrading to: v3. 0");

  // A timer that fires at every pump; well into the flash it asks to close
  // the window the way the title bar's close button does.
  constexpr int CloseAtFiring = 150;
  int firings = 0;
  int pageValueAtClose = -1;
  bool visibleAfterClose = false;
  QTimer ticker;
  ticker.setInterval(0);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (++firings != CloseAtFiring) return;
    ticker.stop();
    pageValueAtClose = Bar()->value();
    window.close();
    visibleAfterClose = window.isVisible();
  });
  ticker.start();
  Button(ButtonFlashDevice)->click();
  ticker.stop();

  ASSERT_GE(firings, CloseAtFiring) << "the flash let too few events through to reach the close";
  EXPECT_GT(pageValueAtClose, 0) << "the close came before the first page";
  EXPECT_LT(pageValueAtClose, 62) << "the close came after the last page";
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_FALSE(window.IsClosed());
  EXPECT_NE(state.LinkHandle, 0u);

  EXPECT_THAT(messages, IsEmpty());
  EXPECT_THAT(VisibleButtons(), ElementsAre("Ok!"));
  EXPECT_EQ(Label("StatusText"), "Flash Complete!");
  EXPECT_FALSE(window.IsProgressVisible());
  EXPECT_EQ(Bar()->value(), 62);
  EXPECT_EQ(Bar()->maximum(), 63);

  const std::vector<std::uint8_t> image = MakeSampleImage();
  const std::vector<std::uint8_t>& flash = link.Flash();
  for (std::size_t page = 0; page < 63; ++page) {
    ASSERT_TRUE(std::equal(flash.begin() + static_cast<std::ptrdiff_t>(page * ImagePageSize),
                           flash.begin() + static_cast<std::ptrdiff_t>((page + 1) * ImagePageSize),
                           image.begin() + static_cast<std::ptrdiff_t>(ImagePageOffset(page))))
        << "page " << page;
  }

  // Once nothing runs, the user's close goes through and lets go of the link.
  Button(ButtonOk)->click();
  EXPECT_THAT(VisibleButtons(), ElementsAre("Find Device"));
  window.close();
  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(state.LinkHandle, 0u);
  EXPECT_EQ(TraceCount("\"FT_Close\""), 1);
}

}  // namespace
}  // namespace kelvo
