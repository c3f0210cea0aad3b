#include "app/FmStart.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include "app/InstanceLock.h"

namespace kelvo {
namespace {

// The layout is kept in twips, as designed; Qt scales logical pixels for
// high-density screens itself.
constexpr int TwipsPerPixel = 15;

// Nearest pixel, halves rounded up (1613 twips -> 107.53 -> 108).
constexpr int Pixels(int twips) { return (2 * twips + TwipsPerPixel) / (2 * TwipsPerPixel); }

struct Placement {
  int left, top, width, height;
  QRect Rect() const { return {Pixels(left), Pixels(top), Pixels(width), Pixels(height)}; }
};

constexpr int ClientWidthTwips = 5040;
constexpr int ClientHeightTwips = 4095;

constexpr std::array<Placement, ButtonCount> ButtonPlacements = {{
    {1613, 3240, 1815, 495},
    {773, 3240, 1455, 495},
    {2813, 3240, 1455, 495},
    {1980, 3240, 1080, 495},
}};
constexpr Placement Picture1Placement = {1320, 360, 2400, 1935};
constexpr Placement ProgressBarPlacement = {1260, 3270, 2535, 435};
constexpr Placement DeviceNamePlacement = {540, 2400, 3975, 255};
constexpr Placement StatusTextPlacement = {525, 2760, 3975, 255};

constexpr char ProgressBarHint[] = "This bar shows the current progress of an operation.";
constexpr char ApplicationTitleText[] = "Kelvo Firmware Updater";

QLabel* MakeCentredLabel(QWidget* parent, const char* name, const Placement& placement) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(false);
  label->setGeometry(placement.Rect());
  return label;
}

}  // namespace

fmStart::fmStart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("fmStart"));
  // A fixed dialog-like frame: the layout is absolute, so no resizing and no
  // maximising.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(Pixels(ClientWidthTwips), Pixels(ClientHeightTwips));
  QIcon icon;
  for (int size : {16, 32, 48, 256}) {
    icon.addFile(QStringLiteral(":/window/WindowIcon%1.png").arg(size), QSize(size, size));
  }
  setWindowIcon(icon);
  BuildControls();
}

fmStart::~fmStart() = default;

void fmStart::BuildControls() {
  for (int i = 0; i < ButtonCount; ++i) {
    auto* button = new QPushButton(QString::fromLatin1(ButtonCaptions[i]), this);
    button->setObjectName(QStringLiteral("Button%1").arg(i));
    button->setGeometry(ButtonPlacements[i].Rect());
    // One handler for the whole array, told which member was clicked.
    connect(button, &QPushButton::clicked, this, [this, i] {
      if (handlers_.Button_Click) handlers_.Button_Click(static_cast<std::int16_t>(i));
    });
    Button[i] = button;
  }

  Picture1 = new QLabel(this);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setGeometry(Picture1Placement.Rect());
  Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Picture1->setPixmap(QPixmap(QStringLiteral(":/window/Picture1.jpg")));

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setGeometry(ProgressBarPlacement.Rect());
  ProgressBar->setOrientation(Qt::Horizontal);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  // A plain bar; the progress is read from its length.
  ProgressBar->setTextVisible(false);
  ProgressBar->setToolTip(QString::fromLatin1(ProgressBarHint));

  DeviceName = MakeCentredLabel(this, "DeviceName", DeviceNamePlacement);
  StatusText = MakeCentredLabel(this, "StatusText", StatusTextPlacement);

  // The design's tab order is Button 3, 2, Picture1, Button 0, ProgressBar,
  // Button 1, DeviceName, StatusText; only the buttons take focus, and Qt
  // orders only widgets that do.
  const std::array<QWidget*, 4> tabOrder = {Button[ButtonOk], Button[ButtonAbortFlash],
                                            Button[ButtonFindDevice], Button[ButtonFlashDevice]};
  for (std::size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void fmStart::SetHandlers(WindowHandlers handlers) { handlers_ = std::move(handlers); }

void fmStart::SetButtonVisible(int index, bool visible) {
  Button.at(static_cast<std::size_t>(index))->setVisible(visible);
}

void fmStart::SetStatusText(const std::string& text) { StatusText->setText(QString::fromStdString(text)); }

void fmStart::SetDeviceName(const std::string& text) { DeviceName->setText(QString::fromStdString(text)); }

void fmStart::SetProgressVisible(bool visible) { ProgressBar->setVisible(visible); }

void fmStart::SetProgressMaximum(int maximum) { ProgressBar->setMaximum(maximum); }

void fmStart::SetProgressValue(int value) { ProgressBar->setValue(value); }

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
  if (handlers_.Form_Unload) handlers_.Form_Unload();
  event->accept();
}

void fmStart::PumpEvents() { QCoreApplication::processEvents(); }

void fmStart::MessageBox(const std::string& text, const std::string& title, MessageStyle style) {
  const QString shownTitle = QString::fromStdString(title.empty() ? ApplicationTitle() : title);
  // A box over a hidden window would be placed by that window; before start-up
  // has shown it, or after it closed, the box stands alone.
  QMessageBox box(style.Critical ? QMessageBox::Critical : QMessageBox::NoIcon, shownTitle,
                  QString::fromStdString(text), QMessageBox::Ok, isVisible() ? this : nullptr);
  box.setWindowModality(Qt::ApplicationModal);
  // Qt has no system-wide modality; staying above every other window is the
  // nearest to a box the operator cannot overlook.
  if (style.SystemModal) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  box.exec();
}

bool fmStart::AnotherInstanceRunning() {
  if (!instanceLock_)
    instanceLock_ = std::make_unique<InstanceLock>(QString::fromStdString(ProgramFileName()));
  return instanceLock_->AnotherInstanceRunning();
}

std::string fmStart::ProgramFileName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
}

int fmStart::VersionMajor() { return KELVO_VERSION_MAJOR; }

int fmStart::VersionMinor() { return KELVO_VERSION_MINOR; }

std::string fmStart::ApplicationTitle() { return ApplicationTitleText; }

void fmStart::EndProgram() {
  programEnded_ = true;
  // Leaving a loop that does not run would instead make the next one (even a
  // message box's) return at once.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

bool fmStart::IsButtonVisible(int index) const {
  return !Button.at(static_cast<std::size_t>(index))->isHidden();
}

bool fmStart::IsProgressVisible() const { return !ProgressBar->isHidden(); }

QPixmap fmStart::Screenshot() { return grab(); }

}  // namespace kelvo
