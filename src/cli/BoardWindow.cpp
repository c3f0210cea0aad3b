#include "cli/BoardWindow.h"

#include "cli/Reporter.h"
#include "core/Texts.h"

namespace kelvo::cli {

void BoardWindow::SetStatusText(const std::string& text) {
  // The idle window empties it; that says nothing on a terminal.
  if (reporter_ != nullptr && !text.empty()) reporter_->Status(row_, text);
}

void BoardWindow::SetProgressValue(int value) {
  if (reporter_ != nullptr && progressVisible_) reporter_->Progress(row_, value, progressMaximum_);
}

void BoardWindow::PumpEvents() {
  if (reporter_ == nullptr || watched_ == nullptr || !progressVisible_ || watched_->attempt < 2) return;
  if (watched_->page == shownPage_ && watched_->attempt == shownAttempt_) return;
  shownPage_ = watched_->page;
  shownAttempt_ = watched_->attempt;
  reporter_->Retry(row_, shownPage_, shownAttempt_);
}

void BoardWindow::Close() {
  if (closed_) return;
  if (handlers_.Form_QueryUnload && !handlers_.Form_QueryUnload(UnloadMode::Program)) return;
  closed_ = true;
  if (handlers_.Form_Unload) handlers_.Form_Unload();
}

void BoardWindow::MessageBox(const std::string& text, const std::string& title, MessageStyle) {
  messages_.push_back({title.empty() ? ApplicationTitle() : title, text});
  if (reporter_ != nullptr) reporter_->Message(row_, messages_.back().title, text);
}

int BoardWindow::VersionMajor() { return KELVO_VERSION_MAJOR; }
int BoardWindow::VersionMinor() { return KELVO_VERSION_MINOR; }
std::string BoardWindow::ApplicationTitle() { return ApplicationTitleText; }

}  // namespace kelvo::cli
