// The window for operators without a mouse and with a screen reader: where
// the focus rests, what Enter and Space do, and what assistive technology is
// told. Under the offscreen platform, with the simulated board.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <memory>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "image/SampleImage.h"
#include "sim/SimLink.h"
#include "support/QtTestApp.h"
#include "support/SampleResource.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;

QString AccessibleText(QObject* object, QAccessible::Text which) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface == nullptr ? QString() : iface->text(which);
}

class Accessibility : public ::testing::Test {
 protected:
  QPushButton* Button(int index) {
    return window.findChild<QPushButton*>(QStringLiteral("Button%1").arg(index));
  }
  QWidget* Control(const char* name) { return window.findChild<QWidget*>(QString::fromLatin1(name)); }
  QProgressBar* Bar() { return window.findChild<QProgressBar*>(QStringLiteral("ProgressBar")); }

  std::string Focused() {
    QWidget* focused = window.focusWidget();
    return focused == nullptr ? "" : focused->objectName().toStdString();
  }

  // What the keyboard does to the focused widget: press, then release, each
  // stamped as the window system does, a deliberate keystroke apart.
  void Press(Qt::Key key, bool autoRepeat = false) {
    Send(QEvent::KeyPress, key, autoRepeat);
    Send(QEvent::KeyRelease, key, autoRepeat);
  }
  void Send(QEvent::Type type, Qt::Key key, bool autoRepeat = false, quint64 afterMs = 200) {
    QWidget* target = window.focusWidget();
    ASSERT_NE(target, nullptr);
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    event.setTimestamp(nowMs += afterMs);
    QCoreApplication::sendEvent(target, &event);
  }

  void RecordClicks() {
    WindowHandlers handlers;
    handlers.Button_Click = [this](std::int16_t index) { clicks.push_back(index); };
    window.SetHandlers(handlers);
  }

  QApplication& app = test::QtTestApp();  // before any widget
  fmStart window;
  std::vector<int> clicks;
  quint64 nowMs = 1000;
};

// The real program on a simulated board that takes the sample image.
class KeyboardFlow : public Accessibility {
 protected:
  struct Board {
    Board(fmStart& window, sim::SimOptions options, std::vector<std::uint8_t> image)
        : link(std::move(options)), state(link, window, host, test::ResourceOf(std::move(image))) {}
    sim::SimLink link;
    QtHost host;
    UpdaterState state;
  };

  void Start(sim::SimOptions options = {}, std::vector<std::uint8_t> image = test::ScrambledSample()) {
    board = std::make_unique<Board>(window, std::move(options), std::move(image));
    BindWindow(board->state);
    Form_Load(board->state);
    ASSERT_TRUE(window.isVisible());
  }
  void TearDown() override { window.Close(); }

  QLabel* Status() { return window.findChild<QLabel*>(QStringLiteral("StatusText")); }

  std::unique_ptr<Board> board;
};

TEST_F(KeyboardFlow, FindDeviceHasTheFocusOnceTheWindowIsShown) {
  Start();
  EXPECT_EQ(Focused(), "Button0");
}

TEST_F(KeyboardFlow, EnterAloneFlashesTheBoardAndReturnsToIdle) {
  Start();
  Press(Qt::Key_Return);
  EXPECT_EQ(Status()->text().left(11), "Firmware: v");
  EXPECT_EQ(Focused(), "Button1");  // "Flash Device", not "Abort Flash"

  Press(Qt::Key_Enter);  // the keypad's Enter
  EXPECT_EQ(Status()->text(), "Flash Complete!");
  EXPECT_EQ(Focused(), "Button3");
  EXPECT_NE(board->link.Flash()[2048], 0xFF);  // page 1 reached the board

  Press(Qt::Key_Return);
  EXPECT_TRUE(Status()->text().isEmpty());
  EXPECT_EQ(Focused(), "Button0");
}

TEST_F(KeyboardFlow, SpaceDrivesTheSameFlow) {
  Start();
  Press(Qt::Key_Space);
  EXPECT_EQ(Focused(), "Button1");
  Press(Qt::Key_Space);
  EXPECT_EQ(Status()->text(), "Flash Complete!");
  EXPECT_EQ(Focused(), "Button3");
  Press(Qt::Key_Space);
  EXPECT_EQ(Focused(), "Button0");
  EXPECT_TRUE(window.IsButtonVisible(ButtonFindDevice));
}

// A key held on "Find Device" repeats flagged, as fresh-looking presses, as
// release and press at one instant, or bounces: none of it may flash.
TEST_F(KeyboardFlow, AHeldKeyFindsTheDeviceButNeverRunsOnIntoTheFlash) {
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
    Start();
    Send(QEvent::KeyPress, key);
    Send(QEvent::KeyPress, key, /*autoRepeat=*/true, 40);
    Send(QEvent::KeyPress, key, false, 40);
    for (quint64 gapMs : {0, 0, 10}) {
      Send(QEvent::KeyRelease, key, false, 40);
      Send(QEvent::KeyPress, key, false, gapMs);
    }
    Send(QEvent::KeyRelease, key, false, 40);
    EXPECT_EQ(Status()->text().left(11), "Firmware: v") << key;
    EXPECT_EQ(board->link.Flash()[2048], 0xFF) << key;

    // Pressed again, it flashes, with the focus on the bar, the one control shown.
    std::string focusedDuringFlash;
    QTimer::singleShot(0, &window, [&] {
      QWidget* focused = window.focusWidget();
      if (focused != nullptr && focused->isVisible())
        focusedDuringFlash = focused->objectName().toStdString();
    });
    Press(key);
    EXPECT_EQ(Status()->text(), "Flash Complete!") << key;
    EXPECT_EQ(focusedDuringFlash, "ProgressBar") << key;
    window.Close();
  }
}

// Enter on "Find Device" opens a message box (here: the image is not
// supported), and the mouse closes it. The next deliberate press finds the
// device again, whether the key came up over the box, on the window, or in
// another program; a bounce or a held key does not.
TEST_F(KeyboardFlow, AfterABoxClosedWithTheMouseOnlyAFreshPressFindsTheDeviceAgain) {
  Start({}, {});
  int boxes = 0;
  bool releasedOverTheBox = true;
  test::AnswerMessageBoxes(
      [&](QMessageBox& box) {
        ++boxes;
        if (!releasedOverTheBox) return;
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        release.setTimestamp(nowMs += 200);
        QCoreApplication::sendEvent(box.focusWidget() != nullptr ? box.focusWidget() : &box, &release);
      },
      &window);
  Send(QEvent::KeyPress, Qt::Key_Return);
  ASSERT_EQ(boxes, 1);
  ASSERT_EQ(Focused(), "Button0");
  Send(QEvent::KeyPress, Qt::Key_Return);
  EXPECT_EQ(boxes, 2);
  Send(QEvent::KeyPress, Qt::Key_Return, false, 10);  // the release bounced
  Send(QEvent::KeyRelease, Qt::Key_Return, false, 10);
  EXPECT_EQ(boxes, 2);

  // Held while the mouse closes the box: the key repeats on "Find Device".
  releasedOverTheBox = false;
  Send(QEvent::KeyPress, Qt::Key_Return);
  ASSERT_EQ(boxes, 3);
  Send(QEvent::KeyPress, Qt::Key_Return, /*autoRepeat=*/true);
  Send(QEvent::KeyPress, Qt::Key_Return, false, 40);
  EXPECT_EQ(boxes, 3);
  Send(QEvent::KeyRelease, Qt::Key_Return);
  Send(QEvent::KeyPress, Qt::Key_Return);
  EXPECT_EQ(boxes, 4);

  // Once the box is closed, the keyboard goes to another program, which sees
  // the release.
  QApplicationStateChangeEvent away(Qt::ApplicationInactive);
  QCoreApplication::sendEvent(QCoreApplication::instance(), &away);
  Send(QEvent::KeyPress, Qt::Key_Return);
  EXPECT_EQ(boxes, 5);
}

TEST_F(KeyboardFlow, TabThenSpaceAbortsAndTheFocusReturnsToFindDevice) {
  Start();
  Press(Qt::Key_Return);
  QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
  QCoreApplication::sendEvent(window.focusWidget(), &tab);
  ASSERT_EQ(Focused(), "Button2");
  Press(Qt::Key_Space);
  EXPECT_EQ(Focused(), "Button0");
  EXPECT_TRUE(Status()->text().isEmpty());
}

TEST_F(KeyboardFlow, AFailedFlashLeavesTheFocusOnFindDevice) {
  sim::SimOptions options;
  sim::Fault refusal;
  refusal.kind = sim::Fault::Kind::Write;
  refusal.page = 5;
  refusal.count = 50;
  options.faults.push_back(refusal);
  Start(std::move(options));
  Press(Qt::Key_Return);
  QString message;
  test::AnswerMessageBoxes([&](QMessageBox& box) { message = box.text(); });
  Press(Qt::Key_Return);
  EXPECT_EQ(message, "Device write error! Data is corrupted!  Re-try update!");
  EXPECT_EQ(Focused(), "Button0");
}

TEST_F(KeyboardFlow, TheFocusedButtonCarriesTheStatusForAScreenReader) {
  Start();
  Press(Qt::Key_Return);
  EXPECT_EQ(AccessibleText(window.focusWidget(), QAccessible::Description), Status()->text());
  Press(Qt::Key_Return);
  EXPECT_EQ(AccessibleText(window.focusWidget(), QAccessible::Name), "Ok!");
  EXPECT_EQ(AccessibleText(window.focusWidget(), QAccessible::Description), "Flash Complete!");
}

TEST_F(Accessibility, EnterAndSpaceOnAFocusedButtonReachTheHandlerWithItsIndex) {
  RecordClicks();
  window.Show();
  for (int i = 0; i < ButtonCount; ++i) window.SetButtonVisible(i, true);
  for (int i : {2, 0, 3, 1}) {
    Button(i)->setFocus();
    Press(i % 2 == 0 ? Qt::Key_Return : Qt::Key_Space);
  }
  EXPECT_THAT(clicks, ElementsAre(2, 0, 3, 1));
}

TEST_F(Accessibility, AHeldEnterDoesNotPressTheNextButton) {
  RecordClicks();
  window.Show();
  window.SetButtonVisible(ButtonFlashDevice, true);
  Press(Qt::Key_Return, /*autoRepeat=*/true);
  Press(Qt::Key_Enter, /*autoRepeat=*/true);
  EXPECT_TRUE(clicks.empty());
  Press(Qt::Key_Return);
  EXPECT_THAT(clicks, ElementsAre(ButtonFlashDevice));
}

TEST_F(Accessibility, TheFocusFollowsTheVisibleButtonsBeforeTheWindowIsShown) {
  // Start-up sets the idle state before it shows the window.
  window.SetButtonVisible(ButtonFindDevice, true);
  for (int i : {ButtonFlashDevice, ButtonAbortFlash, ButtonOk}) window.SetButtonVisible(i, false);
  EXPECT_EQ(Focused(), "Button0");
  window.Show();
  EXPECT_EQ(Focused(), "Button0");
}

TEST_F(Accessibility, AButtonTheOperatorChoseKeepsTheFocus) {
  window.Show();
  for (int i = 0; i < ButtonCount; ++i) window.SetButtonVisible(i, true);
  Button(ButtonAbortFlash)->setFocus();
  window.SetButtonVisible(ButtonOk, false);
  EXPECT_EQ(Focused(), "Button2");
}

TEST_F(Accessibility, EveryControlHasAnAccessibleName) {
  for (int i = 0; i < ButtonCount; ++i) {
    EXPECT_EQ(AccessibleText(Button(i), QAccessible::Name), QString::fromLatin1(ButtonCaptions[i]));
  }
  EXPECT_EQ(AccessibleText(Control("Picture1"), QAccessible::Name), "Kelvo board");
  EXPECT_EQ(AccessibleText(Control("Picture1"), QAccessible::Description), "Photograph of the Kelvo board");
  EXPECT_EQ(AccessibleText(Bar(), QAccessible::Name), "Flash progress");
  // Empty at start, and still named.
  EXPECT_EQ(AccessibleText(Control("DeviceName"), QAccessible::Name), "Board");
  EXPECT_EQ(AccessibleText(Control("StatusText"), QAccessible::Name), "Status");
}

TEST_F(Accessibility, LabelsTellTheirTextAsTheDescription) {
  window.SetDeviceName("Kelvo");
  window.SetStatusText("Flashing device...");
  EXPECT_EQ(AccessibleText(Control("DeviceName"), QAccessible::Description), "Kelvo");
  EXPECT_EQ(AccessibleText(Control("StatusText"), QAccessible::Description), "Flashing device...");
  // The names stay, so the reader can still tell the two apart.
  EXPECT_EQ(AccessibleText(Control("StatusText"), QAccessible::Name), "Status");
  window.SetStatusText("");
  EXPECT_TRUE(AccessibleText(Control("StatusText"), QAccessible::Description).isEmpty());
}

// Qt itself announces each new value of a visible bar to an active reader
// (the offscreen platform has none to receive it); what the reader then asks
// for is the value and its text.
TEST_F(Accessibility, TheProgressBarTellsItsValueAndMaximum) {
  window.Show();
  window.SetProgressVisible(true);
  window.SetProgressValue(0);
  window.SetProgressMaximum(63);
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(Bar());
  ASSERT_NE(iface, nullptr);
  ASSERT_NE(iface->valueInterface(), nullptr);
  EXPECT_EQ(iface->text(QAccessible::Description), "0 of 63");

  for (int value : {1, 5, 62}) {
    window.SetProgressValue(value);
    EXPECT_EQ(iface->valueInterface()->currentValue().toInt(), value);
    EXPECT_EQ(iface->valueInterface()->maximumValue().toInt(), 63);
    EXPECT_EQ(iface->text(QAccessible::Description), QStringLiteral("%1 of 63").arg(value));
  }
  // The hover hint is the design's, whatever the reader is told.
  EXPECT_EQ(Bar()->toolTip(), "This bar shows the current progress of an operation.");
}

}  // namespace
}  // namespace kelvo
