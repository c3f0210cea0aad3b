#include "cli/Summary.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "cmdline/CommandLine.h"
#include "link/TraceJson.h"

namespace kelvo::cli {
namespace {

constexpr std::size_t Columns = 6;
using Cells = std::array<std::string, Columns>;
const Cells Headings = {"serial", "firmware", "image", "outcome", "time", "retries"};

// "p4:3 p9:1": the failed transfers of each page that needed retries.
std::string RetriesText(const std::vector<PageRetries>& retries) {
  std::string text;
  for (const PageRetries& r : retries)
    text += (text.empty() ? "p" : " p") + std::to_string(r.page) + ":" + std::to_string(r.failures);
  return text.empty() ? "-" : text;
}

std::string ShownVersion(const FirmwareVersion& version) {
  return version.major + version.minor == 0 ? "-" : PlainVersion(version);
}

std::string VersionJson(const FirmwareVersion& version) {
  return version.major + version.minor == 0 ? "null" : "\"" + PlainVersion(version) + "\"";
}

Cells BoardCells(const Board& board) {
  char time[16];
  std::snprintf(time, sizeof time, "%.1f s", board.Seconds());
  // A board left alone took no time worth telling.
  return {board.Label(),
          ShownVersion(board.State().DeviceVersion),
          ShownVersion(board.State().ImageVersion),
          OutcomeText(board.Result(), board.Diagnosed(), board.State().Outcome.differingPages),
          board.Result() == Outcome::Current ? "-" : time,
          RetriesText(board.State().Outcome.retries)};
}

std::string Row(const Cells& cells, const std::array<std::size_t, Columns>& widths, std::size_t gap) {
  std::string line;
  for (std::size_t i = 0; i < Columns; ++i) {
    line += cells[i];
    if (i + 1 < Columns) line += std::string(widths[i] - cells[i].size() + gap, ' ');
  }
  return line + "\n";
}

// A board's lines where the table is too wide: its serial and outcome, then
// the rest indented, the retries broken between pages.
std::string Stacked(const Cells& cells, std::size_t columns) {
  std::string text = cells[0] + ": " + cells[3] + "\n  firmware " + cells[1] + ", image " + cells[2] + ", " +
                     (cells[4] == "-" ? "no time" : cells[4]) + "\n";
  if (cells[5] == "-") return text;
  std::string line = "  retries";
  for (std::size_t start = 0; start < cells[5].size();) {
    const std::size_t end = std::min(cells[5].find(' ', start), cells[5].size());
    const std::string page = cells[5].substr(start, end - start);
    if (line.size() + 1 + page.size() >= columns && line != "  retries") {
      text += line + "\n";
      line = "   ";
    }
    line += " " + page;
    start = end + 1;
  }
  return text + line + "\n";
}

}  // namespace

std::string SummaryTable(const std::vector<std::unique_ptr<Board>>& boards, int columns) {
  std::vector<Cells> rows;
  std::array<std::size_t, Columns> widths{};
  for (std::size_t i = 0; i < Columns; ++i) widths[i] = Headings[i].size();
  for (const auto& board : boards) {
    rows.push_back(BoardCells(*board));
    for (std::size_t i = 0; i < Columns; ++i) widths[i] = std::max(widths[i], rows.back()[i].size());
  }
  std::size_t entries = 0;
  for (const std::size_t w : widths) entries += w;
  const auto limit = static_cast<std::size_t>(columns);
  std::string text;
  // Never as wide as the screen: the terminal would wrap every row.
  for (const std::size_t gap : {2, 1}) {
    if (columns > 0 && entries + gap * (Columns - 1) >= limit) continue;
    text = Row(Headings, widths, gap);
    for (const Cells& row : rows) text += Row(row, widths, gap);
    return text;
  }
  for (const Cells& row : rows) text += Stacked(row, limit);
  return text;
}

std::string DiagnosisJson(const Diagnosis& diagnosis) {
  if (diagnosis.cause == Diagnosis::Cause::None) return "null";
  return std::string("{\"cause\":\"") + CauseName(diagnosis.cause) +
         "\",\"text\":" + JsonString(diagnosis.line) +
         (diagnosis.answer.empty() ? "" : ",\"answer\":" + JsonString(diagnosis.answer)) + "}";
}

std::string SummaryJson(const std::vector<std::unique_ptr<Board>>& boards, const RunFacts& facts) {
  std::string leftAlone;
  for (const std::string& serial : facts.leftAlone)
    leftAlone += (leftAlone.empty() ? "" : ",") + JsonString(serial);
  std::string json = "\"event\":\"summary\",\"program\":" + JsonString(cmdline::ProgramVersion()) +
                     ",\"image\":" + (facts.image ? VersionJson(*facts.image) : "null") +
                     ",\"sample\":" + (facts.sampleImage ? "true" : "false") +
                     ",\"status\":" + std::to_string(facts.status) + ",\"leftAlone\":[" + leftAlone +
                     "],\"traceLost\":" + (facts.traceLost.empty() ? "null" : JsonString(facts.traceLost)) +
                     ",\"diagnosis\":" + DiagnosisJson(facts.noBoard) + ",\"realtimeRefused\":" +
                     (facts.realtimeRefused.empty() ? "null" : JsonString(facts.realtimeRefused)) +
                     ",\"boards\":[";
  for (const auto& board : boards) {
    const UpdaterState& state = board->State();
    std::string retries;
    for (const PageRetries& r : state.Outcome.retries) {
      retries += (retries.empty() ? "" : ",") + std::string("{\"page\":") + std::to_string(r.page) +
                 ",\"failures\":" + std::to_string(r.failures) + "}";
    }
    const bool compared = board->Result() == Outcome::Matches || board->Result() == Outcome::Differs;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", board->Seconds());
    json += (&board == &boards.front() ? "" : ",") + std::string("{\"serial\":") +
            JsonString(board->Label()) + ",\"firmware\":" + VersionJson(state.DeviceVersion) +
            ",\"image\":" + VersionJson(state.ImageVersion) +
            ",\"current\":" + (board->Current() ? "true" : "false") + ",\"outcome\":\"" +
            OutcomeName(board->Result()) + "\",\"seconds\":" + seconds + ",\"retries\":[" + retries + "]," +
            (compared ? "\"differing\":" + PagesJson(state.Outcome.differingPages) + "," : "") +
            "\"overruns\":" + std::to_string(board->LineErrors().overrun) +
            ",\"diagnosis\":" + DiagnosisJson(board->Diagnosed()) + "}";
  }
  return json + "]";
}

}  // namespace kelvo::cli
