#include "app/FmStart.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cmath>

#include "app/WindowFit.h"
#include "core/Texts.h"
#include "flow/WindowLayout.h"

namespace kelvo {
namespace {

// The layout is kept in twips, as designed; Qt scales logical pixels for
// high-density screens itself. A desktop font larger than the design's
// stretches the whole layout evenly, so that the controls keep their places
// relative to each other.
constexpr double TwipsPerPixel = TwipsPerInch / 96.0;

// Positions to the nearest pixel (1613 twips -> 107.53 -> 108); sizes up to
// the next pixel, so that a stretched control is never short of its room.
// Every designed size is a whole number of pixels.
int Position(int twips, double stretch) {
  return static_cast<int>(std::lround(twips * stretch / TwipsPerPixel));
}
int Extent(int twips, double stretch) {
  return static_cast<int>(std::ceil(twips * stretch / TwipsPerPixel - 1e-9));
}

QRect Rect(const Placement& placement, Stretch stretch = {}) {
  return {Position(placement.left, stretch.x), Position(placement.top, stretch.y),
          Extent(placement.width, stretch.x), Extent(placement.height, stretch.y)};
}

// The keys with which a push button is pressed.
bool PressesButtons(int key) {
  return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space || key == Qt::Key_Select;
}

// A label that draws its picture smoothly scaled to the screen's pixel
// density; QLabel repeats pixels, which looks blocky at 200 %.
class SmoothPicture final : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    const QPixmap picture = pixmap();
    if (picture.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Centred across a box that a larger font has stretched; at its top.
    const QSize size = picture.deviceIndependentSize().toSize();
    const QRect box = contentsRect();
    painter.drawPixmap(QRect(QPoint(box.left() + (box.width() - size.width()) / 2, box.top()), size),
                       picture);
  }
};

QLabel* MakeCentredLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(false);
  return label;
}

// The wider of two texts as `label` would draw them.
QString Wider(const QLabel& label, const QString& a, const QString& b) {
  const QFontMetrics metrics = label.fontMetrics();
  return metrics.horizontalAdvance(a) >= metrics.horizontalAdvance(b) ? a : b;
}

}  // namespace

fmStart::fmStart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("fmStart"));
  // A fixed dialog-like frame: the layout is absolute, so no resizing and no
  // maximising.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QIcon icon;
  for (int size : {16, 32, 48, 256}) {
    icon.addFile(QStringLiteral(":/window/WindowIcon%1.png").arg(size), QSize(size, size));
  }
  setWindowIcon(icon);
  BuildControls();
  ApplyLayout();
  // The key guard sees every key event of the program, not only the ones on
  // this window's controls: a keystroke may end on a message box.
  QCoreApplication::instance()->installEventFilter(this);
}

fmStart::~fmStart() { QCoreApplication::instance()->removeEventFilter(this); }

void fmStart::BuildControls() {
  for (int i = 0; i < ButtonCount; ++i) {
    auto* button = new QPushButton(QString::fromLatin1(ButtonCaptions[i]), this);
    button->setObjectName(QStringLiteral("Button%1").arg(i));
    // Enter as well as Space presses the focused button, as in a dialog.
    button->setAutoDefault(true);
    button->setAccessibleName(QString::fromLatin1(ButtonCaptions[i]));
    // One handler for the whole array, told which member was clicked.
    connect(button, &QPushButton::clicked, this, [this, i] {
      if (handlers_.Button_Click) handlers_.Button_Click(static_cast<std::int16_t>(i));
    });
    Button[i] = button;
  }

  Picture1 = new SmoothPicture(this);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Picture1->setPixmap(QPixmap(QStringLiteral(":/window/Picture1.jpg")));
  Picture1->setAccessibleName(QString::fromLatin1(PictureName));
  Picture1->setAccessibleDescription(QString::fromLatin1(PictureDescription));

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setOrientation(Qt::Horizontal);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  // A plain bar; the progress is read from its length.
  ProgressBar->setTextVisible(false);
  ProgressBar->setToolTip(QString::fromLatin1(ProgressBarHint));
  ProgressBar->setAccessibleName(QString::fromLatin1(ProgressBarName));
  // Never drawn, but it is the value text a screen reader may read.
  ProgressBar->setFormat(QStringLiteral("%v of %m"));

  // During the flash no button is shown; the focus then rests on the bar,
  // which a screen reader announces with its progress.
  ProgressBar->setFocusPolicy(Qt::TabFocus);

  DeviceName = MakeCentredLabel(this, "DeviceName");
  StatusText = MakeCentredLabel(this, "StatusText");
  // Empty labels still need a name; their text is told as the description.
  DeviceName->setAccessibleName(QString::fromLatin1(DeviceNameName));
  StatusText->setAccessibleName(QString::fromLatin1(StatusTextName));

  // The design's tab order is Button 3, 2, Picture1, Button 0, ProgressBar,
  // Button 1, DeviceName, StatusText; only the buttons and the bar take
  // focus, and Qt orders only widgets that do.
  const std::array<QWidget*, 5> tabOrder = {Button[ButtonOk], Button[ButtonAbortFlash],
                                            Button[ButtonFindDevice], ProgressBar, Button[ButtonFlashDevice]};
  for (std::size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void fmStart::ApplyLayout() {
  Stretch stretch;
  for (int i = 0; i < ButtonCount; ++i) {
    MakeRoom(stretch, Rect(ButtonPlacements[i]).size(), CaptionRoom(*Button[i]));
  }
  const QString deviceName = Wider(*DeviceName, DeviceName->text(), QString::fromLatin1(WidestDeviceName));
  const QString statusText = Wider(*StatusText, StatusText->text(), QString::fromLatin1(WidestStatusText));
  MakeRoom(stretch, Rect(DeviceNamePlacement).size(), TextRoom(*DeviceName, deviceName));
  MakeRoom(stretch, Rect(StatusTextPlacement).size(), TextRoom(*StatusText, statusText));

  setFixedSize(Extent(ClientWidthTwips, stretch.x), Extent(ClientHeightTwips, stretch.y));
  for (int i = 0; i < ButtonCount; ++i) Button[i]->setGeometry(Rect(ButtonPlacements[i], stretch));
  Picture1->setGeometry(Rect(Picture1Placement, stretch));
  ProgressBar->setGeometry(Rect(ProgressBarPlacement, stretch));
  DeviceName->setGeometry(Rect(DeviceNamePlacement, stretch));
  StatusText->setGeometry(Rect(StatusTextPlacement, stretch));
}

void fmStart::changeEvent(QEvent* event) {
  // The desktop's font or style changed; the children already have it.
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) ApplyLayout();
  QWidget::changeEvent(event);
}

void fmStart::SetHandlers(WindowHandlers handlers) { handlers_ = std::move(handlers); }

void fmStart::SetButtonVisible(int index, bool visible) {
  Button.at(static_cast<std::size_t>(index))->setVisible(visible);
  keyGuard_.StateChanged();
  FocusVisibleControl();
}

// Keyboard and screen-reader users follow the focus: after every change of
// state it rests on a visible button, so Enter or Space alone carries the
// operator through the whole update; while no button is shown, on the bar.
void fmStart::FocusVisibleControl() {
  QWidget* focused = focusWidget();
  if (focused != nullptr && !focused->isHidden() &&
      (focused == ProgressBar || std::find(Button.begin(), Button.end(), focused) != Button.end()))
    return;
  for (int index : FocusPreference) {
    QPushButton* button = Button[static_cast<std::size_t>(index)];
    if (!button->isHidden()) {
      button->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
  if (!ProgressBar->isHidden()) ProgressBar->setFocus(Qt::OtherFocusReason);
}

void fmStart::SetStatusText(const std::string& text) {
  const QString shown = QString::fromStdString(text);
  StatusText->setText(shown);
  StatusText->setAccessibleDescription(shown);
  // A text wider than the layout's room for it widens the window.
  if (TextRoom(*StatusText, shown).width() > StatusText->width()) ApplyLayout();
  // A screen reader announces the focused button with its description; the
  // status then reaches the operator with the button that acts on it.
  for (QPushButton* button : Button) button->setAccessibleDescription(shown);
}

void fmStart::SetDeviceName(const std::string& text) {
  const QString shown = QString::fromStdString(text);
  DeviceName->setText(shown);
  DeviceName->setAccessibleDescription(shown);
  if (TextRoom(*DeviceName, shown).width() > DeviceName->width()) ApplyLayout();
}

void fmStart::SetProgressVisible(bool visible) {
  ProgressBar->setVisible(visible);
  FocusVisibleControl();
}

void fmStart::SetProgressMaximum(int maximum) {
  ProgressBar->setMaximum(maximum);
  ProgressBar->setAccessibleDescription(ProgressBar->text());
}

void fmStart::SetProgressValue(int value) {
  ProgressBar->setValue(value);
  ProgressBar->setAccessibleDescription(ProgressBar->text());
}

void fmStart::SetTitle(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

void fmStart::Show() {
  closed_ = false;
  show();
}

void fmStart::Close() {
  if (closed_) return;
  closingByProgram_ = true;
  close();
  closingByProgram_ = false;
}

void fmStart::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  const UnloadMode mode = closingByProgram_ ? UnloadMode::Program : UnloadMode::User;
  if (handlers_.Form_QueryUnload && !handlers_.Form_QueryUnload(mode)) {
    event->ignore();
    return;
  }
  closed_ = true;
  closedByProgram_ = closingByProgram_;
  if (handlers_.Form_Unload) handlers_.Form_Unload();
  event->accept();
}

bool fmStart::eventFilter(QObject* watched, QEvent* event) {
  // A held or bouncing key must not press the button that the focus moved
  // on to (after "Find Device", that is "Flash Device"). Keys pressed during
  // the flash reach the bar; the guard must see their releases too.
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    const auto& key = *static_cast<QKeyEvent*>(event);
    const KeyStroke stroke{
        .key = key.key(),
        .kind = key.type() == QEvent::KeyPress ? KeyStroke::Kind::Press : KeyStroke::Kind::Release,
        .autoRepeat = key.isAutoRepeat(),
        .timestampMs = key.timestamp()};
    const bool guarded =
        watched == ProgressBar || std::find(Button.begin(), Button.end(), watched) != Button.end();
    if (!PressesButtons(key.key())) {
      // Other keys neither act on buttons nor end a keystroke.
    } else if (!guarded) {
      keyGuard_.Witness(stroke);
    } else if (!keyGuard_.Admits(watched, stroke)) {
      return true;
    }
  }
  if (event->type() == QEvent::ApplicationStateChange &&
      static_cast<QApplicationStateChangeEvent*>(event)->applicationState() != Qt::ApplicationActive) {
    keyGuard_.LoseSight();
  }
  return QWidget::eventFilter(watched, event);
}

void fmStart::PumpEvents() { QCoreApplication::processEvents(); }

void fmStart::MessageBox(const std::string& text, const std::string& title, MessageStyle style) {
  const QString shownTitle = QString::fromStdString(title.empty() ? ApplicationTitleText : title);
  // A box over a hidden window would be placed by that window; before start-up
  // has shown it, or after it closed, the box stands alone.
  QMessageBox box(style.critical ? QMessageBox::Critical : QMessageBox::NoIcon, shownTitle,
                  QString::fromStdString(text), QMessageBox::Ok, isVisible() ? this : nullptr);
  box.setWindowModality(Qt::ApplicationModal);
  // Qt has no system-wide modality; staying above every other window is the
  // nearest to a box the operator cannot overlook.
  if (style.systemModal) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  box.exec();
}

bool fmStart::IsButtonVisible(int index) const {
  return !Button.at(static_cast<std::size_t>(index))->isHidden();
}

bool fmStart::IsProgressVisible() const { return !ProgressBar->isHidden(); }

QPixmap fmStart::Screenshot() { return grab(); }

}  // namespace kelvo
