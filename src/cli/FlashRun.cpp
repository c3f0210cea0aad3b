#include "cli/FlashRun.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>

#include "cli/AtomicFile.h"
#include "cli/Board.h"
#include "cli/BoardWindow.h"
#include "cli/CableList.h"
#include "cli/FlashOptions.h"
#include "cli/Interrupts.h"
#include "cli/ReadRun.h"
#include "cli/Reporter.h"
#include "cli/Summary.h"
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

bool Confirmed(FlashEnvironment& env, Reporter& reporter, std::size_t ready) {
  reporter.Question("Flash " + std::to_string(ready) + (ready == 1 ? " board" : " boards") +
                    "? Do not unplug a board while it is being flashed. [y/N]");
  std::string answer;
  const bool answered = static_cast<bool>(std::getline(env.in, answer));
  reporter.Answered(answered);
  return answered && (answer == "y" || answer == "Y" || answer == "yes");
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

// Says so on every run of a build that carries the sample image.
constexpr char SampleImageLine[] =
    "kelvo-flash: this build carries the SAMPLE firmware image, for tests and training: do not flash real "
    "boards with it";

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
              << (image ? " " + PlainVersion(*image) : std::string(": ") + NotSupportedText)
              << (env.sampleImage ? " (sample firmware)" : "") << '\n';
    }
    return 0;
  }
  if (!options.list && !options.yes && !ReadsOnly(options) && !env.inputIsTerminal)
    return Refuse(env, "no terminal to confirm the flash on; give --yes to flash without asking");
  // The embedded image, unless a file replaces it: what the summary names.
  const bool sample = env.sampleImage && options.imagePath.empty();
  // No board reached: one line, and for --json the summary that says why.
  auto noBoard = [&](Diagnosis why, const std::optional<FirmwareVersion>& image) {
    env.err << "kelvo-flash: " << why.line << '\n' << std::flush;
    if (options.json && !options.list) {
      Reporter(env.out, env.err, true, false)
          .Json(SummaryJson({}, {.image = image,
                                 .sampleImage = sample,
                                 .status = StatusNoCable,
                                 .leftAlone = {},
                                 .traceLost = "",
                                 .noBoard = std::move(why),
                                 .realtimeRefused = ""}));
    }
    return StatusNoCable;
  };
  if (const std::string problem = env.cableDriverProblem ? env.cableDriverProblem() : ""; !problem.empty())
    return noBoard({Diagnosis::Cause::Absent, "", problem}, std::nullopt);
  // A trace asked for must be written: found out now, not after the flash.
  const std::string trace = !options.tracePath.empty() ? options.tracePath : env.traceFromEnvironment;
  const std::string traceOption = options.tracePath.empty() ? "KELVO_TRACE: " : "--trace: ";
  if (!trace.empty() && !IsWritableFile(trace, &error)) return Refuse(env, traceOption + error);
  if (const std::string problem = options.readPath.empty() ? "" : CheckAtomicTarget(options.readPath);
      !problem.empty())
    return Refuse(env, "--read: " + problem);
  auto traceProblem = [&] { return !trace.empty() && env.traceProblem ? env.traceProblem() : ""; };

  FtdiDriver& lister = env.makeDriver("", trace);
  ResourceLoader image = env.embeddedImage;
  if (!options.imagePath.empty()) {
    std::optional<ResourceLoader> fromFile = ImageFromFile(options.imagePath, lister, &error);
    if (!fromFile) return Refuse(env, error);
    image = std::move(*fromFile);
  }

  const std::vector<Cable> cables = ListCables(lister);
  // Listing wrote the trace's first lines: a file that takes none (a full
  // disk, /dev/full, a file of /proc) is refused before any board is touched.
  if (const std::string problem = traceProblem(); !problem.empty()) return Refuse(env, traceOption + problem);
  Reporter reporter(env.out, env.err, options.json, env.errorIsTerminal && !options.list, env.errorColumns);
  // Before any board's thread, so that they all leave the signals to it.
  std::optional<InterruptGuard> interrupts;
  if (env.takeInterrupts)
    interrupts.emplace([&reporter](const std::string& line) { reporter.Note(line); }, StatusRefused);
  if (options.list) {
    if (cables.empty()) {
      env.err << "kelvo-flash: no cable: no FTDI device is connected\n";
      return StatusNoCable;
    }
    const CableDriver* real = env.realCable ? env.realCable("") : nullptr;
    for (const Cable& cable : cables) {
      const Diagnosis why = ProbeCable(lister, real, cable);
      if (options.json) {
        reporter.Json("\"event\":\"cable\",\"serial\":" + JsonString(cable.serial) + ",\"description\":" +
                      JsonString(cable.description) + ",\"opens\":" + (why.line.empty() ? "true" : "false") +
                      ",\"kelvo\":" + (IsBoardCable(cable) ? "true" : "false") +
                      ",\"diagnosis\":" + DiagnosisJson(why));
      } else {
        reporter.Print(CableLine(cable, why));
      }
    }
    return 0;
  }
  if (sample) reporter.Note(SampleImageLine);

  std::vector<Target> targets;
  if (!ChooseTargets(cables, options.serials, options.all, &targets, &error)) return Refuse(env, error);
  if (targets.empty()) {
    return noBoard(
        {cables.empty() ? Diagnosis::Cause::Absent : Diagnosis::Cause::Foreign, "",
         std::string(LinkNotFoundTitle) + " - " + LinkNotFoundText + " (" + NoBoardCable(cables) + ")"},
        CheckedImageVersion(image, lister));
  }

  std::vector<std::unique_ptr<Board>> boards;
  for (const Target& target : targets) {
    // The updater's own choice is traced and known by the serial its open
    // handle gives; until then by none.
    FtdiDriver& driver = env.makeDriver(target.serial, trace);
    const CableDriver* real = env.realCable ? env.realCable(target.serial) : nullptr;
    boards.push_back(std::make_unique<Board>(driver, real, reporter, target.label, target.serial, image));
    if (const Diagnosis shared = SharedSerial(target); shared.cause != Diagnosis::Cause::None)
      boards.back()->Refuse(shared);
  }
  OnEveryBoard(boards, [&options](Board& board) { board.Check(options.skipCurrent); });
  // On the updater's own choice, the other board cables are left alone: said
  // once the opened one is known by its serial.
  std::vector<std::string> leftAlone;
  const Board& first = *boards.front();
  const bool opened = first.Result() != Outcome::NotFound &&
                      std::any_of(cables.begin(), cables.end(),
                                  [&](const Cable& cable) { return cable.serial == first.Label(); });
  if (options.serials.empty() && !options.all && opened) leftAlone = OtherBoardCables(cables, first.Label());
  if (!leftAlone.empty()) {
    std::string serials;
    for (const std::string& serial : leftAlone) serials += (serials.empty() ? "" : ", ") + serial;
    reporter.Note("kelvo-flash: left alone: " + std::to_string(leftAlone.size()) + " other Kelvo " +
                  (leftAlone.size() == 1 ? "cable (" : "cables (") + serials + "); --all flashes every one");
  }
  // Said once: it holds for every cable of the run.
  const std::string realtimeRefused = env.realtimeRefused ? env.realtimeRefused() : "";
  if (!realtimeRefused.empty()) {
    reporter.Note(
        "kelvo-flash: the cables are read at ordinary priority (this user may not take real-time "
        "priority; " +
        realtimeRefused + "): on a busy machine pages may need retries");
  }

  const auto ready = static_cast<std::size_t>(std::count_if(
      boards.begin(), boards.end(), [](const auto& board) { return board->Result() == Outcome::Ready; }));
  if (ready > 0 && !options.yes && !ReadsOnly(options) && !Confirmed(env, reporter, ready)) {
    for (auto& board : boards) board->Finish();
    return Refuse(env, "not confirmed; no board was flashed");
  }
  if (ready > 0 && ReadsOnly(options)) {
    ReadBoards(boards, options, [&](bool hold) {
      if (interrupts) interrupts->SetFlashing(hold);
    });
  } else if (ready > 0) {
    if (interrupts) interrupts->SetFlashing(true);
    {
      const std::shared_ptr<void> session = env.holdSession ? env.holdSession() : nullptr;
      OnEveryBoard(boards, [](Board& board) { board.Flash(); });
    }
    if (interrupts) interrupts->SetFlashing(false);
  }
  for (auto& board : boards) board->Finish();
  RunFacts facts{.image = CheckedImageVersion(image, lister),
                 .sampleImage = sample,
                 .status = RunStatus(boards),
                 .leftAlone = leftAlone,
                 .traceLost = traceProblem(),
                 .noBoard = {},
                 .realtimeRefused = realtimeRefused};
  if (!facts.traceLost.empty()) {
    reporter.Note("kelvo-flash: the trace is incomplete: " + facts.traceLost);
    if (facts.status == 0) facts.status = TraceLostStatus;
  }
  // The table is the run's result, on stdout; with --json that is the JSON
  // lines' alone, and the table goes with the progress.
  std::ostream& table = options.json ? env.err : env.out;
  const int columns = options.json ? (env.errorIsTerminal ? env.errorColumns : 0) : env.outputColumns;
  table << SummaryTable(boards, columns) << std::flush;
  if (options.json) reporter.Json(SummaryJson(boards, facts));
  return facts.status;
}

}  // namespace kelvo::cli
