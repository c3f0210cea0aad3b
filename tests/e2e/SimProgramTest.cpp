#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/types.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <functional>

#include "core/Texts.h"
#include "support/PrivateSystemBus.h"

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

struct SimRun {
  int exitCode = -1;
  QString standardError;
  QString standardOutput;  // when it holds no events
  std::vector<QJsonObject> events;
  std::vector<QJsonObject> trace;
  std::vector<QJsonObject> cable;
  QByteArray flash;
  QString dir;

  std::vector<QJsonObject> Events(const QString& kind) const {
    std::vector<QJsonObject> matching;
    for (const auto& e : events) {
      if (e["event"].toString() == kind) matching.push_back(e);
    }
    return matching;
  }
  QJsonObject LastState() const { return Events("state").back(); }
};

std::vector<QJsonObject> ReadJsonLines(const QByteArray& text) {
  std::vector<QJsonObject> lines;
  for (const QByteArray& line : text.split('\n')) {
    if (line.trimmed().isEmpty()) continue;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    EXPECT_TRUE(doc.object().contains("t")) << line.toStdString();
    lines.push_back(doc.object());
  }
  return lines;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()) << path.toStdString();
}

// Runs `program` with `args` in `dir`, on the offscreen display unless
// `without` removes it; the simulator's events are on stdout (unless
// `events` is false) and its trace in dir/trace.jsonl.
SimRun Run(const QString& program, const QStringList& args, const QString& dir, bool events = true,
           const QStringList& without = {}) {
  SimRun run;
  run.dir = dir;
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  for (const QString& variable : without) env.remove(variable);
  env.insert("XDG_RUNTIME_DIR", dir);
  process.setProcessEnvironment(env);
  process.start(program, args);
  EXPECT_TRUE(process.waitForFinished(120000));
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.standardError = QString::fromUtf8(process.readAllStandardError());
  if (events) {
    run.events = ReadJsonLines(process.readAllStandardOutput());
  } else {
    run.standardOutput = QString::fromUtf8(process.readAllStandardOutput());
  }
  run.trace = ReadJsonLines(ReadAll(dir + "/trace.jsonl"));
  return run;
}

QString NewRunDir() {
  QTemporaryDir dir;
  dir.setAutoRemove(false);
  return dir.path();
}

// Runs the simulator with `args` plus events on stdout, a trace and a flash
// dump, each run with a runtime directory of its own.
SimRun RunSim(QStringList args) {
  const QString dir = NewRunDir();
  args << "--events"
       << "-"
       << "--trace" << dir + "/trace.jsonl"
       << "--dump-flash" << dir + "/flash.bin";
  SimRun run = Run(KELVO_SIM_PROGRAM, args, dir);
  run.flash = ReadAll(dir + "/flash.bin");
  return run;
}

enum class Pace { Unpaced, Line };

// A sanitized build runs the updater and the emulation several times slower,
// too slow to keep transfers pending at the line's pace: there the runs
// below check memory and outcomes, and the default build checks that no
// byte is lost.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool TimingIsReal = false;
#else
constexpr bool TimingIsReal = true;
#endif

// The same program on the real driver, libftdi1 and libusb, under emulated
// FT232R cables; `cable` has the cables' events and `flash` the first board's.
SimRun RunOnCable(QStringList cableArgs, const QStringList& simArgs, Pace pace = Pace::Unpaced) {
  const QString dir = NewRunDir();
  if (pace == Pace::Unpaced) cableArgs << "--unpaced";
  cableArgs << "--events" << dir + "/cable.jsonl"
            << "--dump-flash" << dir << "--" << KELVO_SIM_PROGRAM << "--driver"
            << "libftdi" << simArgs << "--events"
            << "-"
            << "--trace" << dir + "/trace.jsonl";
  SimRun run = Run(KELVO_EMULATED_CABLE, cableArgs, dir);
  run.cable = ReadJsonLines(ReadAll(dir + "/cable.jsonl"));
  run.flash = ReadAll(dir + "/KV000001.bin");
  return run;
}

// The command bytes of every FT_Write in the trace that starts with `prefixHex`.
std::vector<QString> Writes(const SimRun& run, const QString& prefixHex) {
  std::vector<QString> writes;
  for (const auto& line : run.trace) {
    if (line["call"].toString() != "FT_Write") continue;
    const QString hex = line["args"].toArray()[0].toString();
    if (hex.startsWith(prefixHex)) writes.push_back(hex);
  }
  return writes;
}

// The line settings the board needs, as the emulated chip received them on
// the cable `serial`. The chip starts at 8N1 without flow control, so the
// values alone cannot show that the driver sent those settings: from the
// updater's baud rate on, each of its four requests (baud, flow control,
// latency, line) must have reached the chip as a set-up of its own.
void ExpectBoardSetUp(const std::vector<QJsonObject>& cableEvents, const QString& serial) {
  std::vector<QJsonObject> setups;
  for (const auto& e : cableEvents) {
    if (e["event"] == "setup" && e["serial"] == serial && (!setups.empty() || e["baud"].toInt() == 125000))
      setups.push_back(e);
  }
  ASSERT_GE(setups.size(), 4u) << serial.toStdString();
  const QJsonObject last = setups.back();
  EXPECT_EQ(last["baud"].toInt(), 125000);
  EXPECT_EQ(last["bits"].toInt(), 8);
  EXPECT_EQ(last["stop"].toInt(), 1);
  EXPECT_EQ(last["parity"].toString(), "none");
  EXPECT_EQ(last["flow"].toString(), "none");
  EXPECT_EQ(last["latency"].toInt(), 2);
}

QStringList Buttons(const QJsonObject& state) {
  QStringList buttons;
  for (const auto& b : state["buttons"].toArray()) buttons << b.toString();
  return buttons;
}

TEST(SimProgram, SuccessfulFlashWritesEveryPageInOrderAndShowsFlashComplete) {
  const SimRun run = RunSim({"--clicks", "find,flash"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();

  EXPECT_EQ(run.events.front()["event"].toString(), "title");
  EXPECT_EQ(run.events.front()["text"].toString(), KELVO_SAMPLE_EMBEDDED
                                                       ? "Kelvo Firmware Updater v2.3 (sample firmware)"
                                                       : "Kelvo Firmware Updater v2.3");
  const QJsonObject done = run.LastState();
  EXPECT_EQ(Buttons(done), QStringList{"Ok!"});
  EXPECT_EQ(done["status"].toString(), "Flash Complete!");
  EXPECT_EQ(done["device"].toString(), "Kelvo");
  EXPECT_TRUE(done["progress"].isNull());
  EXPECT_TRUE(run.Events("message").empty());
  EXPECT_EQ(run.events.back()["event"].toString(), "exit");

  // "GI" at start-up and in the check, then WF/RF for pages 1..62 and page 0.
  EXPECT_EQ(Writes(run, "4749").size(), 2u);
  std::vector<QString> expected;
  for (int page = 1; page <= 63; ++page) {
    const int address = (page % 63) * 1024;
    expected.push_back(QString("5746%1").arg(address, 6, 16, QChar('0')));
  }
  EXPECT_EQ(Writes(run, "5746"), expected);
  EXPECT_EQ(Writes(run, "5246").size(), 63u);

  const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE);
  ASSERT_EQ(image.size(), 131080);
  ASSERT_EQ(run.flash.size(), 131072);
  EXPECT_EQ(run.flash.left(63 * 2048), image.mid(8, 63 * 2048));
  EXPECT_EQ(run.flash.mid(63 * 2048), QByteArray(2048, char(0xFF))) << "page 63 is never written";

  // Progress: 0 and 0 while preparing, then 0..61 and 62 of 63.
  const auto progress = run.Events("progress");
  ASSERT_EQ(progress.size(), 65u);
  EXPECT_EQ(progress[0]["value"].toInt(), 0);
  EXPECT_EQ(progress[64]["value"].toInt(), 62);
  EXPECT_EQ(progress[64]["max"].toInt(), 63);

  // Of the program's own files only the kernel lock's empty one stays.
  EXPECT_THAT(QDir(run.dir).entryList(QDir::Files | QDir::Hidden),
              UnorderedElementsAre("trace.jsonl", "flash.bin", "kelvo-updater-sim.flock"));
  EXPECT_EQ(QFileInfo(run.dir + "/kelvo-updater-sim.flock").size(), 0);
}

TEST(SimProgram, WriteFailureInTheAscendingPassLeavesPageZeroAlone) {
  const SimRun run = RunSim({"--fault", "write:5:50", "--clicks", "find,flash"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const auto messages = run.Events("message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["text"].toString(), "Device write error! Data is corrupted!  Re-try update!");
  EXPECT_EQ(messages[0]["title"].toString(), "Write Failure!");
  EXPECT_EQ(Buttons(run.LastState()), QStringList{"Find Device"});
  EXPECT_EQ(run.flash.left(2048), QByteArray(2048, char(0xFF)));
  EXPECT_EQ(Writes(run, "5746000000").size(), 0u);
}

TEST(SimProgram, RefusedStartUpWithoutACable) {
  const SimRun run = RunSim({"--no-device", "--clicks", "find"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const auto messages = run.Events("message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["text"].toString(), "Serial Link interface not found!");
  EXPECT_EQ(messages[0]["title"].toString(), "USB Error!");
  EXPECT_TRUE(run.Events("shown").empty());
  EXPECT_TRUE(run.Events("state").empty());
  EXPECT_EQ(run.trace.front()["call"].toString(), "FT_OpenEx");
  EXPECT_EQ(run.trace.size(), 2u) << "both descriptions tried, nothing else";
}

TEST(SimProgram, BoardNotInUpdateMode) {
  const SimRun run = RunSim({"--reply", "505A0000"});
  ASSERT_EQ(run.exitCode, 0);
  const auto messages = run.Events("message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["text"].toString(), "Kelvo not in update mode! ");
  EXPECT_EQ(messages[0]["title"].toString(), "Kelvo Firmware Updater");
  EXPECT_TRUE(messages[0]["critical"].toBool());
  EXPECT_TRUE(messages[0]["systemModal"].toBool());
  EXPECT_EQ(run.trace.back()["call"].toString(), "FT_Close");
}

TEST(SimProgram, ClickOnAButtonThatIsNotThereEndsWithStatus3) {
  const SimRun run = RunSim({"--no-resource", "--clicks", "find,flash"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.Events("message").size(), 1u);
  EXPECT_EQ(run.Events("error").size(), 1u);
  EXPECT_EQ(run.Events("click").size(), 1u);
}

TEST(SimProgram, CloseDuringFlashIsRefusedThenGrantedAtTheEnd) {
  const SimRun run = RunSim({"--close-during-flash", "10", "--clicks", "find,flash"});
  ASSERT_EQ(run.exitCode, 0);
  const auto requests = run.Events("close-request");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0]["granted"].toBool());
  EXPECT_TRUE(requests[1]["granted"].toBool());
  EXPECT_EQ(run.LastState()["status"].toString(), "Flash Complete!");
  EXPECT_EQ(run.Events("closed").size(), 1u);
}

TEST(SimProgram, SecondFindDuringTheCheckIsIgnored) {
  const SimRun run = RunSim({"--double-find", "--clicks", "find"});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.Events("click").size(), 2u);
  EXPECT_EQ(Writes(run, "4749").size(), 2u);
  EXPECT_EQ(Buttons(run.LastState()), (QStringList{"Flash Device", "Abort Flash"}));
}

TEST(SimProgram, ScreenshotShowsTheWindowAfterTheLastClick) {
  QTemporaryDir dir;
  const QString png = dir.filePath("window.png");
  const SimRun run = RunSim({"--clicks", "find", "--screenshot", png});
  ASSERT_EQ(run.exitCode, 0);
  const QByteArray bytes = ReadAll(png);
  ASSERT_GT(bytes.size(), 1000);
  EXPECT_TRUE(bytes.startsWith("\x89PNG"));
}

TEST(SimProgram, BadCommandLinesAreRefusedWithOneLine) {
  const std::vector<QStringList> bad = {
      {"--bogus"},
      {"--fault", "write:5"},
      {"--fault", "verify:64:1"},
      {"--fault", "call:FT_Nothing:4"},
      {"--reply", "505A00"},
      {"--clicks", "find,jump"},
      {"--flash", "/nonexistent/flash.bin"},
      {"--resource", "/nonexistent/image.jpg"},
      {"--program-ms"},
      {"--flash", "/dev/zero"},
      {"--flash", "/"},
      {"--resource", "/dev/zero"},
      {"--resource", "/"},
      {"--trace", "/"},
      {"--trace", "/nonexistent/trace.jsonl"},
      {"--dump-flash", "/nonexistent/flash.bin"},
      {"--driver", "usb"},
      {"--driver", "libftdi", "--reply", "505A0012"},
      {"--reply", "505A\n0012"},
      {"--silent", "--reply", "505A0012"},
      {"--device", "A", "--no-device"},
      {"--no-resource", "--resource", KELVO_SCRAMBLED_IMAGE},
      {"--board-receive", "hold"},
      {"--fault", "short-echo:64"},
      {"--driver", "libftdi", "--board-receive", "drop"},
  };
  for (const QStringList& args : bad) {
    const SimRun run = RunSim(args);
    EXPECT_EQ(run.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_EQ(run.standardError.count('\n'), 1) << run.standardError.toStdString();
  }
}

// Every program answers --help and --version on stdout with status 0, and
// refuses a bad line with one line on stderr and status 2.
TEST(CommandLines, HelpVersionAndOneLineRefusals) {
  struct Case {
    QString program;
    QStringList args;
    int status;
    QString says;  // on stdout for status 0, else in the line on stderr
  };
  const QString sim = KELVO_SIM_PROGRAM, cable = KELVO_EMULATED_CABLE, flash = KELVO_FLASH;
  const std::vector<Case> cases = {
      {sim, {"--help"}, 0, "Usage: kelvo-updater-sim [OPTIONS]\n"},
      {sim, {"--clicks", "find", "--version"}, 0, "kelvo-updater-sim " KELVO_VERSION "\n"},
      {sim, {"--bogus"}, 2, "kelvo-updater-sim: unknown option '--bogus'"},
      {sim, {"--program-ms"}, 2, "--program-ms"},
      // The boards' page programming reads alike in the simulator and the
      // emulated cable.
      {sim, {"--program-ms", "1.5"}, 2, "--program-ms takes a whole number of milliseconds, not '1.5'"},
      {cable,
       {"--program-ms", "5ms", "--", "true"},
       2,
       "--program-ms takes a whole number of milliseconds, not '5ms'"},
      {cable,
       {"--board-receive", "drop", "--board-receive", "hold", "--", "true"},
       2,
       "--board-receive takes keep or drop, not 'hold'"},
      {sim, {"find\nflash"}, 2, "unexpected argument 'find\\nflash'"},
      {cable, {"--help"}, 0, "Usage: kelvo-emulated-cable [OPTIONS] -- COMMAND [ARGS...]\n"},
      {cable, {"--version"}, 0, "kelvo-emulated-cable " KELVO_VERSION "\n"},
      {cable, {"--bogus", "--", "true"}, 2, "kelvo-emulated-cable: unknown option '--bogus'"},
      {cable, {"--reply"}, 2, "--reply"},
      {cable, {"--fault", "write:1\n:1", "--", "true"}, 2, "write:1\\n:1"},
      {cable, {"--unpaced"}, 2, "no command given after --"},
      // After "--" every word is the command's, ours included.
      {cable, {"--unpaced", "--", sim, "--version"}, 0, "kelvo-updater-sim " KELVO_VERSION "\n"},
      {flash, {"--help"}, 0, "Usage: kelvo-flash [--list]"},
      {flash,
       {"--version"},
       0,
       KELVO_SAMPLE_EMBEDDED ? "\nembedded image 3.0 (sample firmware)\n"
                             : "kelvo-flash " KELVO_VERSION "\n"},
      {flash, {"--bogus"}, 2, "kelvo-flash: unknown option '--bogus'"},
      {flash, {"--trace"}, 2, "--trace"},
      {flash, {"--yes", "--image", "no\nsuch.jpg"}, 2, "no\\nsuch.jpg"},
      // An output that cannot be written is refused before any cable is
      // touched.
      {flash,
       {"--yes", "--trace", "/nonexistent/trace.jsonl"},
       2,
       "kelvo-flash: --trace: cannot write '/nonexistent/trace.jsonl': there is no folder"},
      // One that opens but takes no line is refused as well, found by writing.
      {flash,
       {"--yes", "--trace", "/dev/full"},
       2,
       "kelvo-flash: --trace: cannot write '/dev/full': No space"},
      {flash, {"--list"}, 3, "kelvo-flash: no cable: no FTDI device is connected"},
  };
  for (const Case& c : cases) {
    const SimRun run = ::Run(c.program, c.args, NewRunDir(), false);
    const std::string label = (QFileInfo(c.program).fileName() + " " + c.args.join(' ')).toStdString();
    EXPECT_EQ(run.exitCode, c.status) << label << ": " << run.standardError.toStdString();
    if (c.status == 0) {
      EXPECT_TRUE(run.standardOutput.contains(c.says)) << label << ": " << run.standardOutput.toStdString();
      EXPECT_EQ(run.standardError, "") << label;
    } else {
      EXPECT_EQ(run.standardOutput, "") << label;
      EXPECT_EQ(run.standardError.count('\n'), 1) << label << ": " << run.standardError.toStdString();
      EXPECT_TRUE(run.standardError.contains(c.says)) << label << ": " << run.standardError.toStdString();
    }
  }
  // kelvo-flash --version calls no driver, and leaves an earlier trace alone.
  const QString earlier = NewRunDir() + "/earlier.jsonl";
  QFile file(earlier);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("earlier trace\n");
  file.close();
  qputenv("KELVO_TRACE", earlier.toUtf8());
  EXPECT_EQ(::Run(flash, {"--version"}, NewRunDir(), false).exitCode, 0);
  qunsetenv("KELVO_TRACE");
  EXPECT_EQ(ReadAll(earlier), "earlier trace\n");
  // KELVO_TRACE into a folder that is not there: refused, by the window too.
  qputenv("KELVO_TRACE", "/nonexistent/trace.jsonl");
  const SimRun refusedFlash = ::Run(flash, {"--yes"}, NewRunDir(), false);
  const SimRun refusedWindow = ::Run(KELVO_UPDATER, {}, NewRunDir(), false);
  qunsetenv("KELVO_TRACE");
  for (const SimRun* refused : {&refusedFlash, &refusedWindow}) {
    EXPECT_EQ(refused->exitCode, 2);
    EXPECT_TRUE(refused->standardError.contains(": KELVO_TRACE: cannot write '/nonexistent/trace.jsonl'"))
        << refused->standardError.toStdString();
  }
  // The window with no display to show it on, none at all or one that is
  // not there: one line, and the status of a failure.
  for (const QStringList& without : {QStringList{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"},
                                     QStringList{"QT_QPA_PLATFORM", "WAYLAND_DISPLAY"}}) {
    qputenv("DISPLAY", ":4711");
    const SimRun headless = ::Run(KELVO_UPDATER, {}, NewRunDir(), false, without);
    qunsetenv("DISPLAY");
    EXPECT_EQ(headless.exitCode, 1) << headless.standardError.toStdString();
    EXPECT_EQ(headless.standardError.count('\n'), 1) << headless.standardError.toStdString();
    EXPECT_TRUE(headless.standardError.startsWith("kelvo-updater: no display to show the window on ("))
        << headless.standardError.toStdString();
  }
}

// What --help prints, the program's manual page says: every option it lists
// and every exit status its footer names.
TEST(CommandLines, HelpAndManualPageAgree) {
  const QString scramble = KELVO_SCRAMBLE;
  const std::vector<std::pair<QStringList, QString>> helps = {
      {{KELVO_SIM_PROGRAM, "--help"}, "kelvo-updater-sim"},
      {{KELVO_EMULATED_CABLE, "--help"}, "kelvo-emulated-cable"},
      {{KELVO_FLASH, "--help"}, "kelvo-flash"},
      {{scramble, "--help"}, "kelvo-scramble"},
      {{scramble, "scramble", "--help"}, "kelvo-scramble"},
  };
  const QRegularExpression option(R"(^ +(?:-\w,)?(--[a-z][a-z-]*))", QRegularExpression::MultilineOption);
  const QRegularExpression status(R"((?:^|[:;,]\s)(\d+)\s)");
  for (const auto& [command, name] : helps) {
    const std::string label = (command.join(' ') + " / " + name + ".1").toStdString();
    const SimRun run = ::Run(command.front(), command.mid(1), NewRunDir(), false);
    ASSERT_EQ(run.exitCode, 0) << label;
    // The page as it reads: roff's escaped hyphens and font changes undone.
    QString page = QString::fromUtf8(ReadAll(QString(KELVO_MAN_DIR "/") + name + ".1"));
    ASSERT_FALSE(page.isEmpty()) << label;
    page.replace("\\-", "-").remove(QRegularExpression(R"(\\f[BIRP])"));
    const QString help = run.standardOutput;
    int options = 0;
    for (const auto& found : option.globalMatch(help)) {
      ++options;
      const QString word = QRegularExpression::escape(found.captured(1));
      EXPECT_TRUE(page.contains(QRegularExpression("(^|[^\\w-])" + word + "($|[^\\w-])")))
          << label << ": " << found.captured(1).toStdString();
    }
    EXPECT_GE(options, 2) << label << ": " << help.toStdString();
    const QString exitStatus = "Exit status:";
    const qsizetype footer = help.indexOf(exitStatus);
    if (footer < 0) continue;
    const qsizetype section =
        page.indexOf(QRegularExpression(R"(^\.SH "?EXIT STATUS)", QRegularExpression::MultilineOption));
    ASSERT_GE(section, 0) << label;
    const QString statuses = page.mid(section, page.indexOf("\n.SH", section + 1) - section);
    for (const auto& found : status.globalMatch(help.mid(footer + exitStatus.size()))) {
      EXPECT_TRUE(statuses.contains(QRegularExpression("\\b" + found.captured(1) + "\\b")))
          << label << ": status " << found.captured(1).toStdString();
    }
  }
}

// Through the real USB stack: the same flash, the same board model.
TEST(EmulatedCable, WholeFlashLeavesTheImageOnTheBoardAfterTheUpdatersSetUp) {
  const SimRun run = RunOnCable({}, {"--clicks", "find,flash"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(run.LastState()["status"].toString(), "Flash Complete!");
  const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE);
  ASSERT_EQ(run.flash.size(), 131072);
  EXPECT_EQ(run.flash.left(63 * 2048), image.mid(8, 63 * 2048));

  ExpectBoardSetUp(run.cable, "KV000001");
  int purges = 0;
  for (const auto& e : run.cable) purges += e["event"] == "purge" ? 1 : 0;
  // Both sides at every purge of the updater.
  int tracedPurges = 0;
  for (const auto& line : run.trace) tracedPurges += line["call"] == "FT_Purge" ? 1 : 0;
  EXPECT_GT(tracedPurges, 0);
  EXPECT_EQ(purges, 2 * tracedPurges);
  EXPECT_EQ(run.cable.back()["event"].toString(), "close");
}

// The FT232R's own receive buffer, 256 bytes, at the line's pace: a page's
// echo comes back while the page is still being written, or all at once
// after it from a board that buffers the page first. Nothing may be lost.
TEST(EmulatedCable, WholeFlashOnTheChipsOwnBuffersLosesNoByte) {
  const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE);
  for (const QString echo : {"byte", "page"}) {
    const SimRun run =
        RunOnCable({"--rx-buffer", "256", "--board-echo", echo}, {"--clicks", "find,flash"}, Pace::Line);
    const std::string label = "--board-echo " + echo.toStdString();
    ASSERT_EQ(run.exitCode, 0) << label << run.standardError.toStdString();
    for (const auto& message : run.Events("message"))
      ADD_FAILURE() << label << ": " << message["title"].toString().toStdString();
    EXPECT_EQ(run.LastState()["status"].toString().toStdString(), "Flash Complete!") << label;
    ASSERT_EQ(run.flash.size(), 131072) << label;
    EXPECT_TRUE(run.flash.left(63 * 2048) == image.mid(8, 63 * 2048)) << label << ": pages 0-62 on the board";
    if (!TimingIsReal) continue;
    EXPECT_EQ(Writes(run, "5746").size(), 63u) << label << ": no page needed a second attempt";
    long long lost = 0;
    for (const auto& e : run.cable) lost += e["event"] == "overrun" ? e["lost"].toInteger() : 0;
    EXPECT_EQ(lost, 0) << label << ": bytes the chip lost";
    EXPECT_FALSE(std::any_of(run.trace.begin(), run.trace.end(),
                             [](const QJsonObject& line) { return line.contains("lineErrors"); }))
        << label << ": the driver counted no line error";
  }
}

TEST(EmulatedCable, CableChoiceAndRefusedCables) {
  struct Case {
    QStringList cableArgs;
    QString message;  // empty: the board is found
    QString openedSerial;
    QString diagnosis;   // on stderr when start-up refuses
    int openStatus = 0;  // of the first open, when none succeeds
  };
  const QString notFound = "Serial Link interface not found!";
  const std::vector<Case> cases = {
      {{"--cable", "FT232R USB UART"}, "", "KV000001", ""},
      {{"--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link"}, "", "KV000001", ""},
      {{"--cable", "FT232R USB UART:A", "--cable", "Corvane Serial Link:B"}, "", "B", ""},
      // Every string of the cable's events is JSON-escaped.
      {{"--cable", "Corvane Serial Link:KV\"01"}, "", "KV\"01", ""},
      {{"--deny"},
       notFound,
       "",
       "\"Corvane Serial Link\" is connected but could not be opened: permission denied",
       3},
      {{"--busy"}, notFound, "", "could not be opened: another program is using it", 3},
      {{"--cable", "Bench Meter:M1"}, notFound, "", "connected: \"Bench Meter\"", 2},
      {{"--silent"}, "Kelvo not in update mode! ", "KV000001", "the board did not answer \"GI\""},
      {{"--reply", "41420012"}, "Kelvo not in update mode! ", "KV000001", "was 41 42 00 12 (not a Kelvo"},
  };
  for (const Case& c : cases) {
    const SimRun run = RunOnCable(c.cableArgs, {"--clicks", "find"});
    const std::string label = c.cableArgs.join(' ').toStdString();
    ASSERT_EQ(run.exitCode, 0) << label << run.standardError.toStdString();
    QStringList opened;
    for (const auto& e : run.cable) {
      if (e["event"] == "open") opened << e["serial"].toString();
    }
    const auto messages = run.Events("message");
    if (c.message.isEmpty()) {
      EXPECT_TRUE(messages.empty()) << label;
      EXPECT_EQ(run.LastState()["device"].toString(), "Kelvo") << label;
      EXPECT_EQ(opened, QStringList{c.openedSerial}) << label;
    } else {
      ASSERT_EQ(messages.size(), 1u) << label;
      EXPECT_EQ(messages[0]["text"].toString(), c.message) << label;
      EXPECT_EQ(opened, c.openedSerial.isEmpty() ? QStringList{} : QStringList{c.openedSerial}) << label;
      if (c.openStatus != 0) {
        EXPECT_EQ(run.trace.front()["status"].toInt(), c.openStatus) << label;
      }
      EXPECT_TRUE(run.standardError.contains(c.diagnosis))
          << label << ": " << run.standardError.toStdString();
    }
  }
  const SimRun bare = ::Run(KELVO_SIM_PROGRAM, {"--driver", "libftdi", "--events", "-"}, NewRunDir());
  EXPECT_TRUE(bare.standardError.contains("no FTDI USB device is connected"))
      << bare.standardError.toStdString();
}

TEST(EmulatedCable, UnpluggedInTheMiddleFailsAsOnTheSimulatedLink) {
  const SimRun onCable = RunOnCable({"--fault", "unplug:40000"}, {"--clicks", "find,flash"});
  const SimRun simulated = RunSim({"--fault", "unplug:40000", "--clicks", "find,flash"});
  ASSERT_EQ(onCable.exitCode, 0) << onCable.standardError.toStdString();
  const auto messages = onCable.Events("message");
  ASSERT_EQ(messages.size(), 1u);
  ASSERT_EQ(simulated.Events("message").size(), 1u);
  EXPECT_EQ(messages[0]["text"], simulated.Events("message")[0]["text"]);
  EXPECT_EQ(messages[0]["title"], simulated.Events("message")[0]["title"]);
  EXPECT_NE(onCable.LastState()["status"].toString(), "Flash Complete!");
  EXPECT_EQ(onCable.trace.back()["status"].toInt(), 4) << "every call after the unplug is an I/O error";
}

// The faults that put the two sides out of step reach the board behind the
// real USB stack too: a lost and a short WF echo on a board that drops what
// arrives while it programs cost a retry each, with the same writes as on the
// simulated link, and page 63 stays as it was.
TEST(EmulatedCable, LostAndShortCommandEchoesCostARetryEach) {
  const QStringList board = {"--board-receive", "drop",   "--program-ms", "10",
                             "--fault",         "lose:5", "--fault",      "short-echo:9"};
  const SimRun onCable = RunOnCable(board, {"--clicks", "find,flash"});
  const SimRun simulated = RunSim(board + QStringList{"--clicks", "find,flash"});
  ASSERT_EQ(onCable.exitCode, 0) << onCable.standardError.toStdString();
  EXPECT_EQ(onCable.LastState()["status"].toString(), "Flash Complete!");
  const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE);
  ASSERT_EQ(onCable.flash.size(), 131072);
  EXPECT_EQ(onCable.flash.left(63 * 2048), image.mid(8, 63 * 2048));
  EXPECT_EQ(onCable.flash.mid(63 * 2048), QByteArray(2048, char(0xFF)));
  // Start-up's and the check's GI, then one after each failed write.
  EXPECT_EQ(Writes(onCable, "4749").size(), 4u);
  EXPECT_EQ(Writes(onCable, ""), Writes(simulated, ""));
}

// kelvo-flash on emulated cables: each board's outcome in its "result"
// line, the flash left on each board, and no cable opened when refused.
TEST(EmulatedCable, KelvoFlashOnSeveralCables) {
  const QString three[] = {"--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link",
                           "--cable", "FT232R USB UART"};
  const QStringList threeCables(std::begin(three), std::end(three));
  const QString damaged = NewRunDir() + "/plain.bin";
  QFile::copy(KELVO_PLAIN_IMAGE, damaged);
  struct Case {
    QStringList cableArgs;
    QStringList flashArgs;
    int status;
    QStringList outcomes;  // by serial KV000001, …; "" for a board never opened
    QString cause = "";    // the first board's diagnosis in the summary
    // The board cables a run on the updater's own choice leaves alone.
    QStringList leftAlone = {};
    QString trace = "";  // the trace file; "": one in the run's folder
  };
  const QStringList threeKelvo = {"--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link",
                                  "--cable", "Corvane Serial Link"};
  // Boards that hold the image, and boards that differ from it in page 7.
  const QString files = NewRunDir();
  QByteArray flash = ReadAll(KELVO_PLAIN_IMAGE).mid(8);
  WriteFile(files + "/image.bin", flash);
  flash[7 * 2048 + 100] = static_cast<char>(flash[7 * 2048 + 100] ^ 0x10);
  WriteFile(files + "/page7.bin", flash);
  const QString readFile = files + "/read.bin";
  const std::vector<Case> cases = {
      {threeCables, {"--all", "--yes", "--json"}, 0, {"complete", "complete", "complete"}},
      // The updater's own choice among three: the board flashed is the one
      // named, and the two others are named as left alone.
      {threeKelvo, {"--yes", "--json"}, 0, {"complete", "", ""}, "", {"KV000002", "KV000003"}},
      // A failed start page has an outcome and a status of its own.
      {{"--fault", "write:0:50"}, {"--yes", "--json"}, 7, {"start-page-at-risk"}},
      // Cables that one serial cannot tell apart, and the cause in the table.
      {{"--cable", "Corvane Serial Link:DUP", "--cable", "Corvane Serial Link:DUP"},
       {"--all", "--yes"},
       3,
       {"", ""},
       "duplicate-serial"},
      // A trace that takes no line: refused before any cable is opened.
      {{}, {"--yes", "--json"}, 2, {""}, "", {}, "/dev/full"},
      // Four boards at once, each cable with the chip's own 256-byte buffer
      // and a receive pump of its own.
      {threeCables + QStringList{"--cable", "Corvane Serial Link"},
       {"--all", "--yes", "--json"},
       0,
       {"complete", "complete", "complete", "complete"}},
      // Why a cable or its board could not be used, told apart.
      {{"--deny"}, {"--yes", "--json"}, 3, {"not-found"}, "denied"},
      {{"--busy"}, {"--yes", "--json"}, 3, {"not-found"}, "busy"},
      {{"--deny", "--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link"},
       {"--all", "--yes", "--json"},
       3,
       {"not-found", "not-found"},
       "denied"},
      {{"--cable", "Bench Meter:M1"}, {"--yes", "--json"}, 3, {}, "foreign"},
      // A cable pulled mid-batch is a USB failure, and the other board goes on.
      {{"--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link", "--fault",
        "KV000002@unplug:40000"},
       {"--all", "--yes", "--json"},
       6,
       {"complete", "usb-failure"}},
      {threeCables + QStringList{"--fault", "KV000002@write:9:50"},
       {"--all", "--yes", "--json"},
       1,
       {"complete", "write-failure", "complete"}},
      {{"--silent"}, {"--yes", "--json"}, 4, {"not-in-update-mode"}, "silent"},
      {{}, {"--all", "--json"}, 2, {""}},
      {{}, {"--yes", "--json", "--image", KELVO_SCRAMBLED_IMAGE}, 0, {"complete"}},
      {{}, {"--yes", "--json", "--image", damaged}, 2, {""}},
      // Read, never written: one board holds the image, one reads back
      // different, one holds another page 7; --read copies the whole flash.
      {{"--cable", "Corvane Serial Link", "--cable", "Corvane Serial Link", "--flash", files + "/image.bin",
        "--fault", "KV000002@verify:7:1"},
       {"--verify", "--all", "--json"},
       9,
       {"matches", "differs"}},
      {{"--flash", files + "/page7.bin"}, {"--verify", "--json"}, 9, {"differs"}},
      {{"--flash", files + "/page7.bin"}, {"--read", readFile, "--json"}, 0, {"read"}},
  };
  const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE).mid(8, 63 * 2048);
  for (const Case& c : cases) {
    // Four receive pumps on one emulated bus outrun a sanitized build's
    // two-minute limit; three cables there still check memory with several.
    if (!TimingIsReal && c.outcomes.size() > 3) continue;
    const QString dir = NewRunDir();
    const SimRun run =
        ::Run(KELVO_EMULATED_CABLE,
              c.cableArgs +
                  QStringList{"--unpaced", "--events", dir + "/cable.jsonl", "--dump-flash", dir, "--",
                              KELVO_FLASH, "--trace", c.trace.isEmpty() ? dir + "/trace.jsonl" : c.trace} +
                  c.flashArgs,
              dir, c.flashArgs.contains("--json"));
    const std::string label = (c.cableArgs + c.flashArgs).join(' ').toStdString();
    EXPECT_EQ(run.exitCode, c.status) << label << run.standardError.toStdString();
    const QByteArray cableEvents = ReadAll(dir + "/cable.jsonl");
    const bool sample = KELVO_SAMPLE_EMBEDDED && !c.flashArgs.contains("--image");
    if (c.status != 2) {
      // A sample build says so first.
      EXPECT_EQ(run.standardError.startsWith("kelvo-flash: this build carries the SAMPLE firmware"), sample)
          << label;
    }
    if (!c.flashArgs.contains("--json") && c.status != 2) {
      // The table is the result on stdout, with the cause of a cable not used.
      EXPECT_TRUE(run.standardOutput.startsWith("serial ")) << label << run.standardOutput.toStdString();
      EXPECT_TRUE(c.cause.isEmpty() || run.standardOutput.contains("(" + c.cause + ")")) << label;
    }
    if (c.status != 2 && c.flashArgs.contains("--json")) {
      ASSERT_EQ(run.Events("summary").size(), 1u) << label;
      const QJsonObject summary = run.Events("summary")[0];
      EXPECT_EQ(summary["status"].toInt(), c.status) << label;
      EXPECT_EQ(summary["program"].toString(), KELVO_VERSION) << label;
      EXPECT_EQ(summary["sample"].toBool(), sample) << label;
      QStringList leftAlone;
      for (const QJsonValue& serial : summary["leftAlone"].toArray()) leftAlone << serial.toString();
      EXPECT_EQ(leftAlone, c.leftAlone) << label;
      if (!c.leftAlone.isEmpty()) {
        EXPECT_TRUE(run.standardError.contains("left alone: 2 other Kelvo cables (" + c.leftAlone.join(", ")))
            << label;
      }
      const QJsonValue diagnosis = summary["boards"].toArray()[0].toObject()["diagnosis"];
      EXPECT_EQ(diagnosis.toObject()["cause"].toString(), c.cause) << label;
      if (!c.cause.isEmpty()) {
        EXPECT_TRUE(run.standardError.contains(diagnosis.toObject()["text"].toString())) << label;
      }
    }
    for (int i = 0; i < c.outcomes.size(); ++i) {
      const QString serial = QString("KV%1").arg(i + 1, 6, 10, QChar('0'));
      const auto results = run.Events("result");
      const auto mine = std::find_if(results.begin(), results.end(),
                                     [&](const QJsonObject& r) { return r["serial"].toString() == serial; });
      if (c.outcomes[i].isEmpty()) {
        EXPECT_EQ(mine, results.end()) << label;
        if (c.leftAlone.contains(serial)) {
          EXPECT_EQ(ReadAll(dir + "/" + serial + ".bin"), QByteArray(131072, char(0xFF))) << label;
        } else {
          EXPECT_FALSE(cableEvents.contains("\"open\"")) << label << ": nothing is opened before the checks";
        }
        continue;
      }
      ASSERT_NE(mine, results.end()) << label << " " << serial.toStdString();
      EXPECT_EQ((*mine)["outcome"].toString(), c.outcomes[i]) << label << " " << serial.toStdString();
      if (c.outcomes[i] == "complete") {
        EXPECT_EQ(ReadAll(dir + "/" + serial + ".bin").left(63 * 2048), image) << label;
        ExpectBoardSetUp(ReadJsonLines(cableEvents), serial);
        const QJsonObject lineErrors = (*mine)["lineErrors"].toObject();
        EXPECT_EQ(lineErrors.keys(), (QStringList{"break", "framing", "overrun", "parity"})) << label;
        if (TimingIsReal) {
          for (const char* key : {"break", "framing", "parity"})
            EXPECT_EQ(lineErrors[key].toInt(-1), 0) << label;
          // Several cables share the emulation's one worker thread, which a
          // loaded machine can keep from serving their transfers in time; what
          // an overrun costs there is retried and the flash verified above.
          // The whole flash on one cable holds the driver to losing nothing.
          if (c.outcomes.size() == 1) {
            EXPECT_EQ(lineErrors["overrun"].toInt(-1), 0) << label;
          }
          EXPECT_GE(lineErrors["overrun"].toInt(-1), 0) << label;
        }
        // Its driver's calls are in the trace under its serial.
        EXPECT_TRUE(std::any_of(run.trace.begin(), run.trace.end(), [&](const QJsonObject& t) {
          return t["serial"] == serial && t["call"] == "FT_Read";
        })) << label;
      }
      if (c.flashArgs.contains("--verify") || c.flashArgs.contains("--read")) {
        EXPECT_TRUE(Writes(run, "5746").empty()) << label << ": no page written";
        const QJsonValue differing = c.outcomes[i] == "differs"   ? QJsonValue(QJsonArray{7})
                                     : c.outcomes[i] == "matches" ? QJsonValue(QJsonArray{})
                                                                  : QJsonValue(QJsonValue::Undefined);
        EXPECT_EQ((*mine)["differing"], differing) << label;
      }
      if (c.outcomes[i] == "read") {
        EXPECT_EQ(ReadAll(readFile), ReadAll(dir + "/" + serial + ".bin")) << label;
        EXPECT_EQ(ReadAll(readFile).size(), 131072) << label;
      }
      if (c.outcomes[i] == "write-failure") {
        ASSERT_EQ(run.Events("message").size(), 1u) << label;
        EXPECT_EQ(run.Events("message")[0]["text"].toString(), kelvo::WriteFailureText) << label;
      }
    }
  }
  // No cable at all: nothing on the bus, listed or flashed, and --json
  // still ends with the summary that says why.
  EXPECT_EQ(::Run(KELVO_FLASH, {"--yes"}, NewRunDir(), false).exitCode, 3);
  const SimRun none = ::Run(KELVO_FLASH, {"--all", "--yes", "--json"}, NewRunDir());
  EXPECT_EQ(none.exitCode, 3);
  ASSERT_EQ(none.Events("summary").size(), 1u);
  EXPECT_EQ(none.Events("summary")[0]["diagnosis"].toObject()["cause"].toString(), "absent");
}

// A program run while the test watches its JSON lines as they come, and acts
// on them: signals, a closed output.
class LiveRun {
 public:
  LiveRun(const QString& program, const QStringList& args, const QString& dir,
          QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) {
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", dir);
    process_.setProcessEnvironment(env);
    process_.start(program, args);
    EXPECT_TRUE(process_.waitForStarted(10000));
  }
  ~LiveRun() {
    if (process_.state() != QProcess::NotRunning) process_.kill();
    process_.waitForFinished(10000);
  }

  // Reads lines until one satisfies `wanted`; false at the end of output.
  bool WaitFor(const std::function<bool(const QJsonObject&)>& wanted) {
    for (;;) {
      while (process_.canReadLine()) {
        const QJsonObject line = QJsonDocument::fromJson(process_.readLine()).object();
        lines.push_back(line);
        if (wanted(line)) return true;
      }
      if (!process_.waitForReadyRead(30000)) return false;
    }
  }
  // The first program under `process_` that runs `name` (the command under
  // kelvo-emulated-cable), or the process itself.
  pid_t Pid(const QString& name) const {
    const pid_t own = static_cast<pid_t>(process_.processId());
    const QList<QByteArray> children =
        ReadAll(QString("/proc/%1/task/%1/children").arg(own)).trimmed().split(' ');
    for (const QByteArray& child : children) {
      if (ReadAll("/proc/" + child + "/cmdline").contains(name.toUtf8()))
        return static_cast<pid_t>(child.toInt());
    }
    return own;
  }
  void CloseOutput() { process_.closeReadChannel(QProcess::StandardOutput); }
  // Waits for the end; the exit status, or -1 for a death by signal.
  int Finish() {
    EXPECT_TRUE(process_.waitForFinished(60000));
    while (process_.canReadLine()) lines.push_back(QJsonDocument::fromJson(process_.readLine()).object());
    error = QString::fromUtf8(process_.readAllStandardError());
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }

  std::vector<QJsonObject> lines;
  QString error;

 private:
  QProcess process_;
};

bool IsProgress(const QJsonObject& line, int atLeast) {
  return line["event"] == "progress" && line["max"].toInt() == 63 && line["value"].toInt() >= atLeast;
}

// A flash is not cut short by the terminal closing, a kill, a closed --json
// pipe, or a Ctrl-C as it ends: every board completes, and the summary and
// the status are the boards'.
TEST(EmulatedCable, KelvoFlashOutlastsSignalsAndAClosedOutput) {
  enum class Act { Hangup, Terminate, CloseOutput, InterruptAtTheEnd };
  for (const Act act : {Act::Hangup, Act::Terminate, Act::CloseOutput, Act::InterruptAtTheEnd}) {
    const QString dir = NewRunDir();
    // The emulated cable's libraries ignore SIGPIPE, which its command would
    // inherit; kelvo-flash gets it as a terminal's shell would give it.
    LiveRun run(KELVO_EMULATED_CABLE,
                {"--unpaced", "--program-ms", "30", "--cable", "Corvane Serial Link", "--cable",
                 "Corvane Serial Link", "--dump-flash", dir, "--", "env", "--default-signal=PIPE",
                 KELVO_FLASH, "--all", "--yes", "--json"},
                dir);
    const std::string label = std::to_string(static_cast<int>(act));
    const pid_t flash = [&] {
      EXPECT_TRUE(run.WaitFor([](const QJsonObject& line) { return IsProgress(line, 5); })) << label;
      return run.Pid("kelvo-flash");
    }();
    switch (act) {
      case Act::Hangup:
        kill(flash, SIGHUP);
        break;
      case Act::Terminate:
        kill(flash, SIGTERM);
        break;
      case Act::CloseOutput:
        run.CloseOutput();
        break;
      case Act::InterruptAtTheEnd: {
        // Once both boards have their result: the flash is over, the summary
        // on its way.
        int results = 0;
        EXPECT_TRUE(run.WaitFor([&](const QJsonObject& line) {
          return line["event"] == "result" && ++results == 2;
        })) << label;
        kill(flash, SIGINT);
        break;
      }
    }
    EXPECT_EQ(run.Finish(), 0) << label << run.error.toStdString();
    const QByteArray image = ReadAll(KELVO_PLAIN_IMAGE).mid(8, 63 * 2048);
    for (const QString serial : {"KV000001", "KV000002"}) {
      EXPECT_EQ(ReadAll(dir + "/" + serial + ".bin").left(63 * 2048), image) << label;
      // The summary on stderr whatever became of stdout.
      EXPECT_TRUE(QRegularExpression(serial + " +1\\.2 +3\\.0 +complete").match(run.error).hasMatch())
          << label;
    }
    if (act == Act::Hangup || act == Act::Terminate) {
      EXPECT_TRUE(run.error.contains("the flash goes on until every board is done")) << label;
    }
    if (act != Act::CloseOutput) {
      ASSERT_FALSE(run.lines.empty()) << label;
      EXPECT_EQ(run.lines.back()["event"].toString(), "summary") << label;
      EXPECT_EQ(run.lines.back()["status"].toInt(), 0) << label;
    }
    EXPECT_FALSE(run.error.contains("no board was flashed")) << label;
  }
}

// The window defers SIGTERM and SIGHUP during a flash and closes once it has
// ended; outside a flash they end it at once. A copy that finds another
// running cannot run its clicks and says so in its status.
TEST(EmulatedCable, WindowFinishesTheFlashBeforeASignalEndsIt) {
  const QString dir = NewRunDir();
  for (const int signal : {SIGTERM, SIGHUP}) {
    LiveRun run(KELVO_EMULATED_CABLE,
                {"--unpaced", "--program-ms", "30", "--dump-flash", dir, "--", KELVO_SIM_PROGRAM, "--driver",
                 "libftdi", "--clicks", "find,flash,ok", "--events", "-"},
                dir);
    ASSERT_TRUE(run.WaitFor([](const QJsonObject& line) { return IsProgress(line, 5); }));
    kill(run.Pid("kelvo-updater-sim"), signal);
    EXPECT_EQ(run.Finish(), 0) << run.error.toStdString();
    EXPECT_EQ(ReadAll(dir + "/KV000001.bin").left(63 * 2048), ReadAll(KELVO_PLAIN_IMAGE).mid(8, 63 * 2048));
    std::vector<QString> clicks, states;
    for (const QJsonObject& line : run.lines) {
      if (line["event"] == "click") clicks.push_back(line["button"].toString());
      if (line["event"] == "state") states.push_back(line["status"].toString());
    }
    EXPECT_THAT(clicks, ElementsAre("Find Device", "Flash Device")) << "the rest of the clicks do not run";
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), "Flash Complete!");
    EXPECT_TRUE(run.error.contains("the flash goes on until it has ended")) << run.error.toStdString();
  }

  // An idle window ends at once; a second copy meanwhile cannot run its clicks.
  LiveRun idle(KELVO_SIM_PROGRAM, {"--events", "-"}, dir);
  ASSERT_TRUE(idle.WaitFor([](const QJsonObject& line) { return line["event"] == "shown"; }));
  const SimRun second = ::Run(KELVO_SIM_PROGRAM, {"--clicks", "find", "--events", "-"}, dir);
  EXPECT_EQ(second.exitCode, 4) << second.standardError.toStdString();
  kill(idle.Pid("kelvo-updater-sim"), SIGTERM);
  EXPECT_EQ(idle.Finish(), -1) << "ended by the signal itself";
}

// Both front ends ask logind to hold off sleep and shutdown for the flash,
// and let go once it has ended.
TEST(EmulatedCable, FlashesHoldALogindInhibitor) {
  kelvo::test::PrivateSystemBus bus;
  ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
  ASSERT_TRUE(bus.StartLogind(KELVO_LOGIND_STANDIN));
  const QProcessEnvironment env = bus.Environment(QProcessEnvironment::systemEnvironment());
  const QStringList programs[] = {
      {KELVO_FLASH, "--yes", "--json"},
      {KELVO_SIM_PROGRAM, "--driver", "libftdi", "--clicks", "find,flash", "--events", "-"}};
  for (const QStringList& program : programs) {
    const QString dir = NewRunDir();
    LiveRun run(KELVO_EMULATED_CABLE, QStringList{"--unpaced", "--program-ms", "10", "--"} + program, dir,
                env);
    ASSERT_TRUE(run.WaitFor([](const QJsonObject& line) { return IsProgress(line, 10); }));
    EXPECT_TRUE(bus.NextLine().startsWith("inhibit sleep:shutdown:idle|Kelvo Firmware Updater|"));
    EXPECT_EQ(bus.NextLine(100), "") << "held while the flash goes on";
    EXPECT_EQ(run.Finish(), 0) << run.error.toStdString();
    EXPECT_EQ(bus.NextLine(), "released");
  }
}

}  // namespace
