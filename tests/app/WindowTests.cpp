// The Qt window: layout, states, handlers and message boxes, under the
// offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QLockFile>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "flow/WindowSettings.h"
#include "sim/SimLink.h"
#include "support/QtTestApp.h"
#include "support/StateRig.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;

WindowHandlers GrantingHandlers(std::function<void()> unload) {
  WindowHandlers handlers;
  handlers.Form_QueryUnload = [](UnloadMode) { return true; };
  handlers.Form_Unload = std::move(unload);
  return handlers;
}

class WindowTest : public ::testing::Test {
 protected:
  QPushButton* Button(int index) {
    return window.findChild<QPushButton*>(QStringLiteral("Button%1").arg(index));
  }
  QLabel* Label(const char* name) { return window.findChild<QLabel*>(QString::fromLatin1(name)); }
  QProgressBar* Bar() { return window.findChild<QProgressBar*>(QStringLiteral("ProgressBar")); }

  std::vector<std::string> VisibleButtons() {
    std::vector<std::string> visible;
    for (int i = 0; i < ButtonCount; ++i) {
      if (window.IsButtonVisible(i)) visible.push_back(Button(i)->text().toStdString());
    }
    return visible;
  }

  QApplication& app = test::QtTestApp();  // before any widget
  fmStart window;
};

TEST_F(WindowTest, ControlsStandWhereTheLayoutPutsThem) {
  // Twips / 15, to the nearest pixel, halves up.
  EXPECT_EQ(window.size(), QSize(336, 273));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_EQ(Button(0)->geometry(), QRect(108, 216, 121, 33));
  EXPECT_EQ(Button(1)->geometry(), QRect(52, 216, 97, 33));
  EXPECT_EQ(Button(2)->geometry(), QRect(188, 216, 97, 33));
  EXPECT_EQ(Button(3)->geometry(), QRect(132, 216, 72, 33));
  EXPECT_EQ(Label("Picture1")->geometry(), QRect(88, 24, 160, 129));
  EXPECT_EQ(Bar()->geometry(), QRect(84, 218, 169, 29));
  EXPECT_EQ(Label("DeviceName")->geometry(), QRect(36, 160, 265, 17));
  EXPECT_EQ(Label("StatusText")->geometry(), QRect(35, 184, 265, 17));
}

// Desktop fonts from 9 to 14 pt: captions inside the area their buttons draw
// them in, label lines inside their labels, every control inside the window.
TEST_F(WindowTest, TextsFitFromNineToFourteenPoints) {
  window.SetDeviceName("Kelvo");
  window.SetStatusText("Firmware: v9. 255  -  Upgrading to: v9. 255");
  for (int points = 9; points <= 14; ++points) {
    QFont font = window.font();
    font.setPointSize(points);
    window.setFont(font);
    for (int i = 0; i < ButtonCount; ++i) {
      QStyleOptionButton option;
      option.initFrom(Button(i));
      option.features = QStyleOptionButton::AutoDefaultButton;
      const QRect drawn =
          Button(i)->style()->subElementRect(QStyle::SE_PushButtonContents, &option, Button(i));
      EXPECT_LE(option.fontMetrics.horizontalAdvance(Button(i)->text()), drawn.width())
          << points << " pt, " << i;
      EXPECT_LE(option.fontMetrics.height(), drawn.height()) << points << " pt, button " << i;
    }
    for (const char* name : {"DeviceName", "StatusText"}) {
      const QFontMetrics metrics = Label(name)->fontMetrics();
      const QRect box = Label(name)->contentsRect();
      EXPECT_LE(metrics.boundingRect(Label(name)->text()).width(), box.width()) << points << " pt, " << name;
      EXPECT_LE(metrics.height(), box.height()) << points << " pt, " << name;
    }
    for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      EXPECT_TRUE(window.rect().contains(child->geometry()))
          << points << " pt, " << child->objectName().toStdString();
    }
  }
}

TEST_F(WindowTest, ControlsCarryTheirDesignProperties) {
  EXPECT_EQ(Button(0)->text(), "Find Device");
  EXPECT_EQ(Button(1)->text(), "Flash Device");
  EXPECT_EQ(Button(2)->text(), "Abort Flash");
  EXPECT_EQ(Button(3)->text(), "Ok!");
  EXPECT_EQ(Bar()->orientation(), Qt::Horizontal);
  EXPECT_EQ(Bar()->minimum(), 0);
  EXPECT_EQ(Bar()->maximum(), 100);
  EXPECT_EQ(Bar()->toolTip(), "This bar shows the current progress of an operation.");
  EXPECT_TRUE(Label("StatusText")->text().isEmpty());
  EXPECT_TRUE(Label("DeviceName")->text().isEmpty());
  EXPECT_TRUE(Label("StatusText")->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(Label("DeviceName")->alignment() & Qt::AlignHCenter);
  const QPixmap picture = Label("Picture1")->pixmap();
  EXPECT_EQ(picture.size(), QSize(160, 120));
  const QList<QSize> iconSizes = window.windowIcon().availableSizes();
  EXPECT_TRUE(iconSizes.contains(QSize(16, 16)));
  EXPECT_TRUE(iconSizes.contains(QSize(32, 32)));
}

TEST_F(WindowTest, TabMovesThroughTheButtonsInDesignOrder) {
  for (int i = 0; i < ButtonCount; ++i) window.SetButtonVisible(i, true);
  window.SetProgressVisible(false);  // as in every state that shows a button
  window.Show();
  Button(ButtonOk)->setFocus();
  std::vector<std::string> order;
  for (int i = 0; i < ButtonCount + 1; ++i) {
    QWidget* focused = window.focusWidget();
    ASSERT_NE(focused, nullptr);
    order.push_back(focused->objectName().toStdString());
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focused, &tab);
  }
  EXPECT_THAT(order, ElementsAre("Button3", "Button2", "Button0", "Button1", "Button3"));
}

TEST_F(WindowTest, IdleAndDoneSettings) {
  // As the flash leaves it: no button, the bar, both texts.
  for (int i = 0; i < ButtonCount; ++i) window.SetButtonVisible(i, false);
  window.SetDeviceName("Kelvo");
  window.SetStatusText("Flashing device...");
  window.SetProgressVisible(true);

  ApplyDoneSettings(window);
  EXPECT_THAT(VisibleButtons(), ElementsAre("Ok!"));
  EXPECT_FALSE(window.IsProgressVisible());
  EXPECT_EQ(Label("StatusText")->text(), "Flash Complete!");
  EXPECT_EQ(Label("DeviceName")->text(), "Kelvo");

  ApplyIdleSettings(window);
  EXPECT_THAT(VisibleButtons(), ElementsAre("Find Device"));
  EXPECT_FALSE(window.IsProgressVisible());
  EXPECT_TRUE(Label("StatusText")->text().isEmpty());
  EXPECT_TRUE(Label("DeviceName")->text().isEmpty());

  // "Find Device" is the done settings' to leave alone, not to hide.
  ApplyDoneSettings(window);
  EXPECT_THAT(VisibleButtons(), ElementsAre("Find Device", "Ok!"));
}

TEST_F(WindowTest, EveryButtonReachesTheOneHandlerWithItsIndex) {
  std::vector<int> clicked;
  WindowHandlers handlers;
  handlers.Button_Click = [&](std::int16_t index) { clicked.push_back(index); };
  window.SetHandlers(handlers);
  window.Show();
  for (int i : {2, 0, 3, 1}) {
    window.SetButtonVisible(i, true);
    Button(i)->click();
  }
  EXPECT_THAT(clicked, ElementsAre(2, 0, 3, 1));
}

TEST_F(WindowTest, CloseAsksFirstAndUnloadsOnce) {
  int asked = 0;
  int unloaded = 0;
  bool grant = false;
  WindowHandlers handlers;
  handlers.Form_QueryUnload = [&](UnloadMode) {
    ++asked;
    return grant;
  };
  handlers.Form_Unload = [&] { ++unloaded; };
  window.SetHandlers(handlers);
  window.Show();

  window.Close();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(unloaded, 0);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.IsClosed());

  grant = true;
  window.Close();
  window.Close();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(unloaded, 1);
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.IsClosed());
}

TEST_F(WindowTest, CloseUnloadsAWindowThatWasNeverShown) {
  int unloaded = 0;
  window.SetHandlers(GrantingHandlers([&] { ++unloaded; }));
  window.Close();
  EXPECT_EQ(unloaded, 1);
  EXPECT_TRUE(window.IsClosed());
}

TEST_F(WindowTest, ACloseFromTheWindowSystemTakesTheSamePathAsTheUsers) {
  std::vector<UnloadMode> modes;
  WindowHandlers handlers = GrantingHandlers([] {});
  handlers.Form_QueryUnload = [&](UnloadMode mode) {
    modes.push_back(mode);
    return mode == UnloadMode::Program;
  };
  window.SetHandlers(handlers);
  window.Show();
  window.close();  // as the title bar's close button does
  EXPECT_FALSE(window.IsClosed());
  window.Close();
  EXPECT_TRUE(window.IsClosed());
  EXPECT_THAT(modes, ElementsAre(UnloadMode::User, UnloadMode::Program));
}

TEST_F(WindowTest, MessageBoxShowsTextTitleAndStyle) {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  bool onTop = false;
  int buttons = 0;
  auto record = [&](QMessageBox& box) {
    text = box.text();
    title = box.windowTitle();
    icon = box.icon();
    onTop = box.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    buttons = static_cast<int>(box.buttons().size());
    EXPECT_TRUE(box.isModal());
  };

  test::AnswerMessageBoxes(record);
  window.MessageBox("Kelvo not in update mode! ", "", {.critical = true, .systemModal = true});
  EXPECT_EQ(text, "Kelvo not in update mode! ");
  EXPECT_EQ(title, "Kelvo Firmware Updater");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_TRUE(onTop);
  EXPECT_EQ(buttons, 1);

  test::AnswerMessageBoxes(record);
  window.MessageBox("Serial Link interface not found!", "USB Error!", {});
  EXPECT_EQ(title, "USB Error!");
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_FALSE(onTop);
}

TEST_F(WindowTest, EndingTheProgramDoesNotSpoilALaterMessageBox) {
  QtHost host;
  host.EndProgram();
  EXPECT_TRUE(host.ProgramEnded());
  bool seen = false;
  test::AnswerMessageBoxes([&](QMessageBox&) { seen = true; });
  window.MessageBox("still shown", "", {});
  EXPECT_TRUE(seen);
}

// The whole start-up on the real window and the simulated board.
class RealStartUp : public WindowTest {
 protected:
  sim::SimLink link{sim::SimOptions{}};
  QtHost host;
  UpdaterState state{link, window, host, test::NoResources()};
};

TEST_F(RealStartUp, ShowsOnlyFindDeviceWithEmptyLabels) {
  BindWindow(state);
  Form_Load(state);

  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(host.ProgramEnded());
  EXPECT_EQ(window.windowTitle(), "Kelvo Firmware Updater v2.3");
  EXPECT_THAT(VisibleButtons(), ElementsAre("Find Device"));
  EXPECT_FALSE(window.IsProgressVisible());
  EXPECT_TRUE(Label("StatusText")->text().isEmpty());
  EXPECT_TRUE(Label("DeviceName")->text().isEmpty());

  window.Close();
  EXPECT_EQ(state.LinkHandle, 0u);
}

TEST_F(RealStartUp, SecondInstanceIsRefusedWhileTheLockIsHeld) {
  // What a first copy of this program holds while it runs.
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  QLockFile first(dir + "/" + QString::fromStdString(host.ProgramFileName()) + ".lock");
  ASSERT_TRUE(first.tryLock(0));

  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  test::AnswerMessageBoxes([&](QMessageBox& box) {
    text = box.text();
    icon = box.icon();
  });
  BindWindow(state);
  Form_Load(state);

  EXPECT_EQ(text, "kelvo_app_tests already running! ");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_TRUE(host.ProgramEnded());
  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(state.LinkHandle, 0u);
}

}  // namespace
}  // namespace kelvo
