#pragma once

#include <QPixmap>
#include <QWidget>
#include <array>

#include "core/Window.h"
#include "flow/KeyGuard.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kelvo {

// The program's only window. Controls keep the names the routines know them by; each also
// carries that name as its objectName ("Button0".."Button3" for the array).
class fmStart final : public QWidget, public Window {
  Q_OBJECT

 public:
  explicit fmStart(QWidget* parent = nullptr);
  ~fmStart() override;

  void SetHandlers(WindowHandlers handlers) override;

  void SetButtonVisible(int index, bool visible) override;
  void SetStatusText(const std::string& text) override;
  void SetDeviceName(const std::string& text) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressMaximum(int maximum) override;
  void SetProgressValue(int value) override;
  void SetTitle(const std::string& title) override;
  void Show() override;
  void Close() override;
  void PumpEvents() override;
  void MessageBox(const std::string& text, const std::string& title, MessageStyle style) override;

  // Whether the control is set to be shown (true also while the window
  // itself is hidden).
  bool IsButtonVisible(int index) const;
  bool IsProgressVisible() const;
  // A close was granted and the unload handler has run.
  bool IsClosed() const { return closed_; }
  // The program closed it itself (a failure, or the end of a held signal).
  bool ClosedByProgram() const { return closed_ && closedByProgram_; }
  // The window as drawn now, also while it is hidden.
  QPixmap Screenshot();

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  // Places the controls as designed, stretched where the font needs room.
  void ApplyLayout();
  void FocusVisibleControl();

  WindowHandlers handlers_;
  std::array<QPushButton*, ButtonCount> Button{};
  QLabel* Picture1 = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QLabel* DeviceName = nullptr;
  QLabel* StatusText = nullptr;
  KeyGuard keyGuard_;

  bool closed_ = false;
  // Set while Close() runs, so closeEvent can tell the program's own close
  // from the user's.
  bool closingByProgram_ = false;
  bool closedByProgram_ = false;
};

}  // namespace kelvo
