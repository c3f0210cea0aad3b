#include "cli/FlashRun.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>

#include "cli/Board.h"
#include "cli/BoardWindow.h"
#include "cli/CableList.h"
#include "cli/FlashOptions.h"
#include "cli/Interrupts.h"
#include "cli/Reporter.h"
#include "cmdline/CommandLine.h"
#include "core/Texts.h"
#include "core/UpdaterState.h"
#include "image/FirmwareImageLoader.h"
#include "image/ScrambleTool.h"
#include "link/TraceJson.h"
#include "link/TracedCable.h"

namespace kelvo::cli {
namespace {

constexpr int StatusRefused = 2;
constexpr int StatusNoCable = 3;

int Refuse(FlashEnvironment& env, const std::string& text) {
  env.err << "kelvo-flash: " << cmdline::OneLine(text) << '\n';
  return StatusRefused;
}

// The version of the image `loader` holds, checked as a board's check
// checks it; nullopt for one that would be refused. No call reaches the
// driver.
std::optional<FirmwareVersion> CheckedImageVersion(const ResourceLoader& loader, FtdiDriver& anyDriver) {
  BoardWindow quiet(nullptr, -1);
  UpdaterState scratch(anyDriver, quiet, quiet, loader);
  SizeSharedBuffers(scratch);
  scratch.ImageResourceId = EmbeddedImageResourceId;
  LoadFirmwareImage(scratch);
  if (scratch.OperationFailed) return std::nullopt;
  return scratch.ImageVersion;
}

// --image: the file's bytes in place of the embedded resource, checked as the
// embedded image is before any board is touched. nullopt with `error` set
// when it would be refused.
std::optional<ResourceLoader> ImageFromFile(const std::string& path, FtdiDriver& anyDriver,
                                            std::string* error) {
  // Read as kelvo-scramble reads it: one byte past a stored image at most, so
  // a huge file or an endless device is refused without filling the memory.
  std::optional<std::vector<std::uint8_t>> read =
      ReadImageFile(path, ScrambledImageSize, "a stored Kelvo image", error);
  if (!read) return std::nullopt;
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(*read));
  ResourceLoader loader = [bytes](std::string_view type, int id) -> std::optional<std::vector<std::uint8_t>> {
    if (type != ImageResourceType || id != EmbeddedImageResourceId) return std::nullopt;
    return *bytes;
  };
  if (!CheckedImageVersion(loader, anyDriver)) {
    *error = path + ": not a Kelvo image (" + NotSupportedText + ")";
    return std::nullopt;
  }
  return loader;
}

// Runs `step` on every board that waits for it, each on a thread of its own.
template <typename Step>
void OnEveryBoard(std::vector<std::unique_ptr<Board>>& boards, Step step) {
  std::vector<std::jthread> threads;
  for (auto& board : boards) {
    if (board->Result() == Outcome::Ready) threads.emplace_back([&board, &step] { step(*board); });
  }
}

bool Confirmed(FlashEnvironment& env, Reporter& reporter, std::size_t ready) {
  reporter.Question("Flash " + std::to_string(ready) + (ready == 1 ? " board" : " boards") +
                    "? Do not unplug a board while it is being flashed. [y/N]");
  std::string answer;
  if (!std::getline(env.in, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

// The exit status of the run: that of the most dangerous board's outcome.
int RunStatus(const std::vector<std::unique_ptr<Board>>& boards) {
  int danger = 0, status = 0;
  for (const auto& board : boards) {
    const int boardDanger = Danger(board->Result(), board->State().Outcome);
    const int boardStatus = ExitStatus(board->Result());
    if (boardDanger > danger || (boardDanger == danger && boardStatus > status)) {
      danger = boardDanger;
      status = boardStatus;
    }
  }
  return status;
}

// "p4:3 p9:1": the failed transfers of each page that needed retries.
std::string RetriesText(const std::vector<PageRetries>& retries) {
  std::string text;
  for (const PageRetries& r : retries)
    text += (text.empty() ? "p" : " p") + std::to_string(r.page) + ":" + std::to_string(r.failures);
  return text.empty() ? "-" : text;
}

std::string VersionJson(const FirmwareVersion& version) {
  return version.major + version.minor == 0 ? "null" : "\"" + PlainVersion(version) + "\"";
}

std::string DiagnosisJson(const Diagnosis& diagnosis) {
  if (diagnosis.cause == Diagnosis::Cause::None) return "null";
  return std::string("{\"cause\":\"") + CauseName(diagnosis.cause) +
         "\",\"text\":" + JsonString(diagnosis.line) +
         (diagnosis.answer.empty() ? "" : ",\"answer\":" + JsonString(diagnosis.answer)) + "}";
}

void PrintSummary(FlashEnvironment& env, const std::vector<std::unique_ptr<Board>>& boards) {
  char line[200];
  std::snprintf(line, sizeof line, "%-16s %-9s %-7s %-19s %-8s %s", "serial", "firmware", "image", "outcome",
                "time", "retries");
  env.err << line << '\n';
  for (const auto& board : boards) {
    const OperationOutcome& recorded = board->State().Outcome;
    const UpdaterState& state = board->State();
    const bool identified = state.DeviceVersion.major + state.DeviceVersion.minor != 0;
    const bool imageRead = state.ImageVersion.major + state.ImageVersion.minor != 0;
    char time[16];
    std::snprintf(time, sizeof time, "%.1f s", board->Seconds());
    std::snprintf(line, sizeof line, "%-16s %-9s %-7s %-19s %-8s %s", board->Label().c_str(),
                  identified ? PlainVersion(state.DeviceVersion).c_str() : "-",
                  imageRead ? PlainVersion(state.ImageVersion).c_str() : "-", OutcomeName(board->Result()),
                  time, RetriesText(recorded.retries).c_str());
    env.err << line << '\n';
  }
  env.err << std::flush;
}

// The closing --json line: the versions, whether the cables read without
// real-time priority, and every board's story.
std::string SummaryJson(const std::vector<std::unique_ptr<Board>>& boards,
                        const std::optional<FirmwareVersion>& image, int status,
                        const std::string& realtimeRefused) {
  std::string json =
      "\"event\":\"summary\",\"program\":" + JsonString(cmdline::ProgramVersion()) +
      ",\"image\":" + (image ? VersionJson(*image) : "null") + ",\"status\":" + std::to_string(status) +
      ",\"realtimeRefused\":" + (realtimeRefused.empty() ? "null" : JsonString(realtimeRefused)) +
      ",\"boards\":[";
  for (const auto& board : boards) {
    const UpdaterState& state = board->State();
    std::string retries;
    for (const PageRetries& r : state.Outcome.retries) {
      retries += (retries.empty() ? "" : ",") + std::string("{\"page\":") + std::to_string(r.page) +
                 ",\"failures\":" + std::to_string(r.failures) + "}";
    }
    const std::uint64_t overruns = board->LineErrors().overrun;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", board->Seconds());
    json += (&board == &boards.front() ? "" : ",") + std::string("{\"serial\":") +
            JsonString(board->Label()) + ",\"firmware\":" + VersionJson(state.DeviceVersion) +
            ",\"image\":" + VersionJson(state.ImageVersion) +
            ",\"current\":" + (board->Current() ? "true" : "false") + ",\"outcome\":\"" +
            OutcomeName(board->Result()) + "\",\"seconds\":" + seconds + ",\"retries\":[" + retries +
            "],\"overruns\":" + std::to_string(overruns) +
            ",\"diagnosis\":" + DiagnosisJson(board->Diagnosed()) + "}";
  }
  return json + "]";
}

}  // namespace

int RunFlash(const std::vector<std::string>& args, FlashEnvironment& env) {
  std::string error;
  const std::optional<FlashOptions> parsed = ParseFlashOptions(args, &error);
  if (!parsed) return Refuse(env, error);
  const FlashOptions& options = *parsed;
  if (options.answer) {
    env.out << options.answer->text;
    if (options.answer->version) {
      const std::optional<FirmwareVersion> image =
          CheckedImageVersion(env.embeddedImage, env.makeDriver("", ""));
      env.out << "embedded image"
              << (image ? " " + PlainVersion(*image) : std::string(": ") + NotSupportedText) << '\n';
    }
    return 0;
  }
  if (!options.list && !options.yes && !env.inputIsTerminal)
    return Refuse(env, "no terminal to confirm the flash on; give --yes to flash without asking");
  if (const std::string problem = env.cableDriverProblem ? env.cableDriverProblem() : ""; !problem.empty()) {
    env.err << "kelvo-flash: " << problem << '\n';
    return StatusNoCable;
  }
  // A trace asked for must be written: found out now, not after the flash.
  const std::string trace = !options.tracePath.empty() ? options.tracePath : env.traceFromEnvironment;
  if (!trace.empty() && !IsWritableFile(trace, &error))
    return Refuse(env, (options.tracePath.empty() ? "KELVO_TRACE: " : "--trace: ") + error);

  FtdiDriver& lister = env.makeDriver("", trace);
  ResourceLoader image = env.embeddedImage;
  if (!options.imagePath.empty()) {
    std::optional<ResourceLoader> fromFile = ImageFromFile(options.imagePath, lister, &error);
    if (!fromFile) return Refuse(env, error);
    image = std::move(*fromFile);
  }

  const std::vector<Cable> cables = ListCables(lister);
  Reporter reporter(env.out, env.err, options.json, env.errorIsTerminal && !options.list, env.errorColumns);
  // Before any board's thread, so that they all leave the signals to it.
  std::optional<InterruptGuard> interrupts;
  if (env.takeInterrupts)
    interrupts.emplace([&reporter](const std::string& line) { reporter.Note(line); }, StatusRefused);
  if (options.list) {
    const CableDriver* real = env.realCable ? env.realCable("") : nullptr;
    for (const Cable& cable : cables) {
      const Diagnosis why = ProbeCable(lister, real, cable);
      if (options.json) {
        reporter.Json("\"event\":\"cable\",\"serial\":" + JsonString(cable.serial) + ",\"description\":" +
                      JsonString(cable.description) + ",\"opens\":" + (why.line.empty() ? "true" : "false") +
                      ",\"diagnosis\":" + DiagnosisJson(why));
      } else {
        reporter.Print(CableLine(cable, why));
      }
    }
    return 0;
  }

  std::vector<Target> targets;
  if (!ChooseTargets(cables, options.serials, options.all, &targets, &error)) return Refuse(env, error);
  if (targets.empty()) {
    reporter.Note(std::string("kelvo-flash: ") + LinkNotFoundTitle + " - " + LinkNotFoundText + " (" +
                  NoBoardCable(cables) + ")");
    return StatusNoCable;
  }

  std::vector<std::unique_ptr<Board>> boards;
  for (const Target& target : targets) {
    FtdiDriver& driver = env.makeDriver(target.label, trace);
    const CableDriver* real = env.realCable ? env.realCable(target.label) : nullptr;
    boards.push_back(std::make_unique<Board>(driver, real, reporter, target.label, target.serial, image));
  }
  OnEveryBoard(boards, [](Board& board) { board.Check(); });
  // Said once: it holds for every cable of the run.
  const std::string realtimeRefused = env.realtimeRefused ? env.realtimeRefused() : "";
  if (!realtimeRefused.empty()) {
    reporter.Note(
        "kelvo-flash: the cables are read at ordinary priority (this user may not take real-time "
        "priority; " +
        realtimeRefused + "): on a busy machine pages may need retries");
  }
  if (options.skipCurrent) {
    for (auto& board : boards) {
      if (board->Result() == Outcome::Ready && board->Current()) board->Skip();
    }
  }

  const auto ready = static_cast<std::size_t>(std::count_if(
      boards.begin(), boards.end(), [](const auto& board) { return board->Result() == Outcome::Ready; }));
  if (ready > 0 && !options.yes && !Confirmed(env, reporter, ready)) {
    for (auto& board : boards) board->Finish();
    return Refuse(env, "not confirmed; no board was flashed");
  }
  if (ready > 0) {
    if (interrupts) interrupts->SetFlashing(true);
    {
      const std::shared_ptr<void> session = env.holdSession ? env.holdSession() : nullptr;
      OnEveryBoard(boards, [](Board& board) { board.Flash(); });
    }
    if (interrupts) interrupts->SetFlashing(false);
  }
  for (auto& board : boards) board->Finish();
  const int status = RunStatus(boards);
  PrintSummary(env, boards);
  if (options.json)
    reporter.Json(SummaryJson(boards, CheckedImageVersion(image, lister), status, realtimeRefused));
  return status;
}

}  // namespace kelvo::cli
