#include "emulation/EmulatedCableProgram.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "emulation/Ft232rChip.h"
#include "sim/SimCommandLine.h"

namespace kelvo::sim {
namespace {

constexpr int ExitBadCommandLine = 2;
constexpr int ExitNoEmulation = 1;
constexpr int ExitNoCommand = 127;

volatile pid_t commandPid = 0;

std::string DefaultSerial(std::size_t index) {
  char serial[32];
  std::snprintf(serial, sizeof serial, "KV%06zu", index + 1);
  return serial;
}

// Root ignores file modes; a command that is to meet a node it may not open
// runs without the capabilities that let it.
void DropFileOverride() {
  if (geteuid() != 0) return;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) == 0) {
    for (auto& set : data) {
      set.inheritable &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    }
    syscall(SYS_capset, &header, data);
  }
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
  prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

}  // namespace

std::optional<EmulatedCableCommandLine> ParseEmulatedCableCommandLine(const std::vector<std::string>& args,
                                                                      std::string* error) {
  EmulatedCableCommandLine line;
  SimOptions board;
  struct CableFault {
    std::string serial;  // empty: every cable
    Fault fault;
  };
  std::vector<CableFault> faults;
  std::size_t rxBufferBytes = Ft232rChip::RxBufferBytes;
  std::vector<std::pair<std::string, std::optional<std::string>>> cables;
  auto fail = [&](const std::string& message) {
    *error = cmdline::OneLine(message);
    return std::nullopt;
  };

  CLI::App app(
      "Runs COMMAND with emulated FT232R cables, each with a simulated Kelvo board behind it,\n"
      "and exits with COMMAND's status.",
      "kelvo-emulated-cable");
  cmdline::Prepare(app, "kelvo-emulated-cable [OPTIONS] -- COMMAND [ARGS...]");
  // Options whose values need decoding are read back from their results.
  auto option = [&app](const char* name, const char* value, const char* description) {
    return app.add_option(name)->type_name(value)->description(description);
  };
  bool silent = false, unpaced = false;
  CLI::Option* cable =
      option("--cable", "DESC[:SERIAL]", "An FT232R with this USB product string (repeatable, in bus order)")
          ->allow_extra_args(false);
  CLI::Option* reply =
      option("--reply", "HEX8", "The 4 bytes each board answers to \"GI\" (default 505A0012)");
  app.add_flag("--silent", silent, "The boards answer nothing");
  CLI::Option* flash = option("--flash", "FILE", "Each board's flash before the run, 131072 bytes");
  CLI::Option* programMs =
      option("--program-ms", "MS", "The boards take MS ms to program a page (default 0)");
  CLI::Option* rxBuffer =
      option("--rx-buffer", "BYTES", "The chip's receive buffer (default 256, the FT232R's; 0: unlimited)");
  CLI::Option* boardEcho =
      option("--board-echo", "byte|page", "The boards echo each byte as it comes, or a page once it is in");
  CLI::Option* boardReceive =
      option("--board-receive", "keep|drop",
             "What the boards do with bytes that arrive while they program (default keep)");
  CLI::Option* fault = option("--fault", "[SERIAL@]FAULT",
                              "A board fault, for every board or that cable's (repeatable): write, verify, "
                              "late-ok, lose, short-echo, cut:PAGE:K[:NTH] or unplug; see the manual")
                           ->allow_extra_args(false);
  app.add_flag("--deny", line.emulation.deny,
               "The cables' device nodes cannot be opened (permission denied)");
  app.add_flag("--busy", line.emulation.busy, "The cables' interface is claimed by another program");
  app.add_flag("--unpaced", unpaced, "Bytes move as fast as they can (default: paced at 125000 baud)");
  CLI::Option* dumpFlash =
      option("--dump-flash", "DIR", "When COMMAND ends, write each board's flash to DIR/SERIAL.bin");
  CLI::Option* events = option("--events", "FILE", "Write the cables' events as JSON lines (- for stdout)");
  app.footer(
      "Exit status: COMMAND's; 1 the cables cannot be emulated, 2 a bad command line, 127 COMMAND cannot "
      "be run.");
  // Everything after the first "--" is the command, words that look like our
  // options included.
  const auto dashes = std::find(args.begin(), args.end(), "--");
  if (!cmdline::Parse(app, std::vector<std::string>(args.begin(), dashes), &line.answer, error))
    return std::nullopt;
  if (line.answer) return line;
  if (dashes == args.end() || dashes + 1 == args.end()) return fail("no command given after --");
  line.command.assign(dashes + 1, args.end());

  for (const std::string& value : cable->results()) {
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos) {
      cables.emplace_back(value, std::nullopt);
    } else {
      cables.emplace_back(value.substr(0, colon), value.substr(colon + 1));
    }
    if (cables.back().first.empty()) return fail("--cable needs a description");
  }
  // A repeated option takes its last value, and each value it was given must
  // be a valid one.
  for (const std::string& text : reply->results()) {
    board.identifyReply = ParseReply(text);
    if (!board.identifyReply) return fail("--reply takes 8 hex digits, not '" + text + "'");
  }
  if (silent && *reply) return fail("--silent and --reply exclude each other");
  if (silent) board.identifyReply.reset();
  for (const std::string& path : flash->results()) {
    std::string fileError;
    auto bytes = ReadInputFile(path, FlashBytes, &fileError);
    if (!bytes) return fail("--flash: " + fileError);
    if (bytes->size() != static_cast<std::size_t>(FlashBytes))
      return fail("flash file '" + path + "' must hold " + std::to_string(FlashBytes) + " bytes");
    board.flash = std::move(*bytes);
  }
  if (!ReadPageProgramming(*programMs, *boardReceive, board, error)) return fail(*error);
  for (const std::string& text : rxBuffer->results()) {
    const auto bytes = ParseCount(text);
    if (!bytes) return fail("--rx-buffer takes a number of bytes (0: unlimited), not '" + text + "'");
    rxBufferBytes = static_cast<std::size_t>(*bytes);
  }
  for (const std::string& text : boardEcho->results()) {
    if (text != "byte" && text != "page") return fail("--board-echo takes byte or page, not '" + text + "'");
    board.echoWholePage = text == "page";
  }
  for (const std::string& value : fault->results()) {
    const std::size_t at = value.find('@');
    CableFault entry;
    std::string faultText = value;
    if (at != std::string::npos) {
      entry.serial = value.substr(0, at);
      faultText = value.substr(at + 1);
    }
    std::string faultError;
    auto parsed = ParseFault(faultText, &faultError);
    if (!parsed) return fail("--fault " + value + ": " + faultError);
    if (parsed->kind == Fault::Kind::Call)
      return fail("--fault " + value + ": call faults belong to the simulator");
    entry.fault = *parsed;
    faults.push_back(entry);
  }
  line.emulation.paced = !unpaced;
  for (const std::string& dir : dumpFlash->results()) {
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) && !std::filesystem::is_directory(dir, ec))
      return fail("--dump-flash: '" + dir + "' is not a directory");
    line.dumpFlashDir = dir;
  }
  for (const std::string& path : events->results()) {
    if (!IsWritableOutput(path, error)) return fail("--events: " + *error);
    line.eventsFile = path;
  }

  if (cables.empty()) cables.emplace_back("Corvane Serial Link", std::nullopt);
  for (std::size_t k = 0; k < cables.size(); ++k) {
    CableSetup setup;
    setup.description = cables[k].first;
    setup.serial = cables[k].second.value_or(DefaultSerial(k));
    setup.board = board;
    setup.rxBufferBytes = rxBufferBytes;
    line.emulation.cables.push_back(setup);
  }
  for (const CableFault& entry : faults) {
    bool known = entry.serial.empty();
    for (CableSetup& setup : line.emulation.cables) {
      if (!entry.serial.empty() && setup.serial != entry.serial) continue;
      known = true;
      if (entry.fault.kind == Fault::Kind::Unplug) {
        setup.unplugAfterBytes =
            std::min(setup.unplugAfterBytes.value_or(entry.fault.bytes), entry.fault.bytes);
      } else {
        setup.board.faults.push_back(entry.fault);
      }
    }
    if (!known) return fail("--fault: no cable has the serial '" + entry.serial + "'");
  }
  return line;
}

int RunEmulatedCableProgram(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<EmulatedCableCommandLine> line = ParseEmulatedCableCommandLine(args, &error);
  if (!line) {
    std::cerr << "kelvo-emulated-cable: " << error << "\n";
    return ExitBadCommandLine;
  }
  if (line->answer) {
    std::cout << line->answer->text;
    return 0;
  }
  std::ofstream eventsFile;
  std::ostream* events = nullptr;
  if (line->eventsFile) {
    if (*line->eventsFile == "-") {
      events = &std::cout;
    } else {
      eventsFile.open(*line->eventsFile, std::ios::binary | std::ios::trunc);
      if (!eventsFile) {
        std::cerr << "kelvo-emulated-cable: "
                  << cmdline::OneLine("cannot write events file '" + *line->eventsFile + "'") << "\n";
        return ExitBadCommandLine;
      }
      events = &eventsFile;
    }
    line->emulation.events = [events](const std::string& text) { *events << text << '\n' << std::flush; };
  }

  // Timers on the emulation's thread fire closer to their moment.
  prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
  std::optional<EmulatedCables> cables;
  try {
    cables.emplace(line->emulation);
  } catch (const std::exception& e) {
    std::cerr << "kelvo-emulated-cable: " << e.what() << "\n";
    return ExitNoEmulation;
  }

  const auto environment = cables->Environment();
  const bool deny = line->emulation.deny;
  const pid_t child = fork();
  if (child == 0) {
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    if (deny) DropFileOverride();
    std::vector<char*> argvChild;
    for (std::string& word : line->command) argvChild.push_back(word.data());
    argvChild.push_back(nullptr);
    execvp(argvChild[0], argvChild.data());
    std::fprintf(stderr, "kelvo-emulated-cable: cannot run '%s'\n", argvChild[0]);
    _exit(ExitNoCommand);
  }
  if (child < 0) {
    std::cerr << "kelvo-emulated-cable: cannot start the command\n";
    return ExitNoEmulation;
  }
  // Ctrl-C reaches the command by itself; a termination is passed on. The
  // cables are served until the command has ended.
  std::signal(SIGINT, SIG_IGN);
  commandPid = child;
  for (const int sig : {SIGTERM, SIGHUP}) std::signal(sig, [](int received) { kill(commandPid, received); });
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  cables->Stop();

  if (line->dumpFlashDir) {
    std::error_code ec;
    std::filesystem::create_directories(*line->dumpFlashDir, ec);
    for (std::size_t k = 0; k < cables->Count(); ++k) {
      std::ofstream dump(std::filesystem::path(*line->dumpFlashDir) / (cables->Serial(k) + ".bin"),
                         std::ios::binary | std::ios::trunc);
      const auto& flash = cables->Board(k).Flash();
      dump.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : ExitNoEmulation;
}

}  // namespace kelvo::sim
