#include "cli/Reporter.h"

#include <cstdio>

#include "core/Texts.h"
#include "link/TraceJson.h"
#include "update/RetryPolicy.h"

namespace kelvo::cli {
namespace {

constexpr int BarWidth = 20;
constexpr int PlainSteps = 10;
// The widest text a bar line takes after its label: the bar, the pages, the
// percentage, and the time left or the retry under way.
constexpr int WidestBarText =
    static_cast<int>(sizeof "  [] 63/63 pages  100%  page 62: attempt 50/50") - 1 + BarWidth;

std::string Clock(double seconds) {
  const int whole = static_cast<int>(seconds + 0.5);
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
  return text;
}

// The message box as one line: its title, then its text, told apart; a box
// under the application's own title shows its text alone.
std::string MessageLine(const std::string& title, const std::string& text) {
  std::string line = title == ApplicationTitleText ? text : title + " - " + text;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

Reporter::Reporter(std::ostream& out, std::ostream& err, bool json, bool terminal, int columns)
    : out_(out), err_(err), json_(json), terminal_(terminal), columns_(columns) {}

Reporter::~Reporter() { err_.flush(); }

void Reporter::FitBars(const std::string& label) {
  // A bar that does not fit would wrap, and every redraw would then scroll
  // the screen; such a terminal gets plain lines.
  if (terminal_ && static_cast<int>(label.size()) + WidestBarText >= columns_) {
    Erase();
    terminal_ = false;
  }
}

int Reporter::AddBoard(const std::string& label) {
  const std::lock_guard lock(mutex_);
  FitBars(label);
  rows_.push_back({label, "identifying the board...", "", -1, {}});
  Redraw();
  return static_cast<int>(rows_.size()) - 1;
}

void Reporter::Relabel(int row, const std::string& label) {
  const std::lock_guard lock(mutex_);
  FitBars(label);
  rows_[row].label = label;
  Redraw();
}

void Reporter::Board(int row, const std::string& firmware, const std::string& image, bool current,
                     bool leftAlone) {
  const std::lock_guard lock(mutex_);
  JsonLocked("\"event\":\"board\",\"serial\":" + JsonString(rows_[row].label) +
             ",\"firmware\":" + JsonString(firmware) + ",\"image\":" + JsonString(image) +
             ",\"current\":" + (current ? "true" : "false"));
  if (current && !leftAlone) NoteLocked(rows_[row].label + ": already at the image's version " + image);
}

void Reporter::Status(int row, const std::string& text) {
  const std::lock_guard lock(mutex_);
  Row& r = rows_[row];
  r.text = text;
  r.tail.clear();
  if (terminal_) {
    Redraw();
  } else {
    err_ << r.label << ": " << text << '\n' << std::flush;
  }
}

void Reporter::Progress(int row, int value, int maximum) {
  const std::lock_guard lock(mutex_);
  Row& r = rows_[row];
  const auto now = std::chrono::steady_clock::now();
  if (value == 0 || r.flashStart == std::chrono::steady_clock::time_point{}) r.flashStart = now;
  // The flash sets the value once before the bar has its maximum.
  if (maximum <= 0) return;
  r.tail.clear();
  JsonLocked("\"event\":\"progress\",\"serial\":" + JsonString(r.label) +
             ",\"value\":" + std::to_string(value) + ",\"max\":" + std::to_string(maximum));
  const int percent = value * 100 / maximum;
  const double elapsed = std::chrono::duration<double>(now - r.flashStart).count();
  const std::string left = value > 0 ? Clock(elapsed * (maximum - value) / value) + " left" : "-:-- left";
  const std::string pages = std::to_string(value) + "/" + std::to_string(maximum) + " pages";
  if (terminal_) {
    const int filled = value * BarWidth / maximum;
    r.text = "[" + std::string(filled, '#') + std::string(BarWidth - filled, '.') + "] " + pages + "  " +
             std::to_string(percent) + "%  ";
    r.tail = left;
    Redraw();
    return;
  }
  const int step = value * PlainSteps / maximum;
  if (step == r.shownStep) return;
  r.shownStep = step;
  err_ << r.label << ": " << pages << " (" << percent << "%), " << left << '\n' << std::flush;
}

void Reporter::Retry(int row, int page, int attempt) {
  const std::lock_guard lock(mutex_);
  Row& r = rows_[row];
  JsonLocked("\"event\":\"retry\",\"serial\":" + JsonString(r.label) + ",\"page\":" + std::to_string(page) +
             ",\"attempt\":" + std::to_string(attempt));
  const std::string retry = "page " + std::to_string(page) + ": attempt " + std::to_string(attempt) + "/" +
                            std::to_string(FailuresAllowedPerPage);
  if (terminal_) {
    r.tail = retry;
    Redraw();
  } else {
    err_ << r.label << ": " << retry << '\n' << std::flush;
  }
}

void Reporter::Message(int row, const std::string& title, const std::string& text) {
  const std::lock_guard lock(mutex_);
  JsonLocked("\"event\":\"message\",\"serial\":" + JsonString(rows_[row].label) +
             ",\"title\":" + JsonString(title) + ",\"text\":" + JsonString(text));
  NoteLocked(rows_[row].label + ": " + MessageLine(title, text));
}

void Reporter::Result(int row, Outcome outcome, double seconds, const Diagnosis& diagnosis,
                      const LineErrorCounts& lineErrors, const std::vector<int>& differing) {
  const std::lock_guard lock(mutex_);
  Row& r = rows_[row];
  const bool compared = outcome == Outcome::Matches || outcome == Outcome::Differs;
  JsonLocked("\"event\":\"result\",\"serial\":" + JsonString(r.label) + ",\"outcome\":\"" +
             OutcomeName(outcome) + "\",\"seconds\":" + std::to_string(seconds) + "," +
             LineErrorsMember(lineErrors) + (compared ? ",\"differing\":" + PagesJson(differing) : ""));
  if (!diagnosis.line.empty()) NoteLocked(r.label + ": " + diagnosis.line);
  r.tail.clear();
  // A board left alone took no time worth telling.
  const std::string told = outcome == Outcome::Current ? "current: already at the image's version, left alone"
                                                       : OutcomeText(outcome, diagnosis, differing);
  if (terminal_) {
    r.text = outcome == Outcome::Current ? told : told + " (" + Clock(seconds) + ")";
    Redraw();
  } else {
    err_ << r.label << ": " << told << '\n' << std::flush;
  }
}

void Reporter::Note(const std::string& text) {
  const std::lock_guard lock(mutex_);
  NoteLocked(text);
}

void Reporter::Question(const std::string& text) {
  const std::lock_guard lock(mutex_);
  Redraw();
  drawn_ = 0;
  asking_ = true;
  err_ << text << ' ' << std::flush;
}

void Reporter::Answered(bool answered) {
  const std::lock_guard lock(mutex_);
  if (asking_ && !answered) err_ << '\n' << std::flush;
  asking_ = false;
}

void Reporter::Print(const std::string& text) {
  const std::lock_guard lock(mutex_);
  out_ << text << '\n' << std::flush;
}

void Reporter::Json(const std::string& fields) {
  const std::lock_guard lock(mutex_);
  JsonLocked(fields);
}

void Reporter::JsonLocked(const std::string& fields) {
  if (!json_) return;
  const double t =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  out_ << '{' << fields << ",\"t\":" << static_cast<long long>(t) << "}\n" << std::flush;
}

void Reporter::NoteLocked(const std::string& text) {
  if (asking_) {
    // The bars stand above the question as they were; the note ends the
    // question's line and the bars come back only with the flash.
    err_ << '\n' << text << '\n' << std::flush;
    return;
  }
  Erase();
  err_ << text << '\n';
  Redraw();
}

void Reporter::Erase() {
  if (!terminal_ || drawn_ == 0) return;
  // Up to the first bar line, then clear everything below.
  err_ << "\033[" << drawn_ << "A\r\033[J";
  drawn_ = 0;
}

void Reporter::Redraw() {
  if (!terminal_) return;
  if (drawn_ > 0) err_ << "\033[" << drawn_ << "A";
  for (const Row& r : rows_) {
    std::string line = r.label + "  " + r.text + r.tail;
    // Never as wide as the screen: a wrapped line would throw the count of
    // lines to go back up out.
    if (static_cast<int>(line.size()) >= columns_) line.resize(static_cast<std::size_t>(columns_ - 1));
    err_ << "\r\033[K" << line << '\n';
  }
  drawn_ = rows_.size();
  err_ << std::flush;
}

}  // namespace kelvo::cli
