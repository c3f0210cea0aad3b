#include "sim/EmulatedCableProgram.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "sim/Ft232rChip.h"
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
  std::vector<std::pair<std::string, std::optional<std::string>>> cables;
  std::size_t rxBufferBytes = Ft232rChip::RxBufferBytes;
  auto fail = [&](const std::string& message) {
    *error = message;
    return std::nullopt;
  };

  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--") break;
    const bool flag = option == "--silent" || option == "--deny" || option == "--busy" || option == "--unpaced";
    std::string value;
    if (!flag) {
      if (i + 1 >= args.size()) return fail(option + " needs a value");
      value = args[++i];
    }
    if (option == "--cable") {
      const std::size_t colon = value.rfind(':');
      if (colon == std::string::npos) {
        cables.emplace_back(value, std::nullopt);
      } else {
        cables.emplace_back(value.substr(0, colon), value.substr(colon + 1));
      }
      if (cables.back().first.empty()) return fail("--cable needs a description");
    } else if (option == "--reply") {
      const auto reply = ParseReply(value);
      if (!reply) return fail("--reply takes 8 hex digits, not '" + value + "'");
      board.identifyReply = reply;
    } else if (option == "--silent") {
      board.identifyReply.reset();
    } else if (option == "--flash") {
      std::string fileError;
      auto bytes = ReadInputFile(value, FlashBytes, &fileError);
      if (!bytes) return fail("--flash: " + fileError);
      if (bytes->size() != static_cast<std::size_t>(FlashBytes))
        return fail("flash file '" + value + "' must hold " + std::to_string(FlashBytes) + " bytes");
      board.flash = std::move(*bytes);
    } else if (option == "--program-ms") {
      const auto ms = ParseCount(value);
      if (!ms) return fail("--program-ms takes a whole number of milliseconds, not '" + value + "'");
      board.programMs = *ms;
    } else if (option == "--rx-buffer") {
      const auto bytes = ParseCount(value);
      if (!bytes) return fail("--rx-buffer takes a number of bytes (0: unlimited), not '" + value + "'");
      rxBufferBytes = static_cast<std::size_t>(*bytes);
    } else if (option == "--board-echo") {
      if (value != "byte" && value != "page") return fail("--board-echo takes byte or page, not '" + value + "'");
      board.echoWholePage = value == "page";
    } else if (option == "--fault") {
      const std::size_t at = value.find('@');
      CableFault entry;
      std::string faultText = value;
      if (at != std::string::npos) {
        entry.serial = value.substr(0, at);
        faultText = value.substr(at + 1);
      }
      std::string faultError;
      auto fault = ParseFault(faultText, &faultError);
      if (!fault) return fail("--fault " + value + ": " + faultError);
      if (fault->kind == Fault::Kind::Call) return fail("--fault " + value + ": call faults belong to the simulator");
      entry.fault = *fault;
      faults.push_back(entry);
    } else if (option == "--deny") {
      line.emulation.deny = true;
    } else if (option == "--busy") {
      line.emulation.busy = true;
    } else if (option == "--unpaced") {
      line.emulation.paced = false;
    } else if (option == "--dump-flash") {
      std::error_code ec;
      if (std::filesystem::exists(value, ec) && !std::filesystem::is_directory(value, ec))
        return fail("--dump-flash: '" + value + "' is not a directory");
      line.dumpFlashDir = value;
    } else if (option == "--events") {
      if (!IsWritableOutput(value, error)) return fail("--events: " + *error);
      line.eventsFile = value;
    } else {
      return fail("unknown option '" + option + "'");
    }
  }
  if (i >= args.size() || i + 1 >= args.size()) return fail("no command given after --");
  line.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());

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
        setup.unplugAfterBytes = std::min(setup.unplugAfterBytes.value_or(entry.fault.bytes), entry.fault.bytes);
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
  std::ofstream eventsFile;
  std::ostream* events = nullptr;
  if (line->eventsFile) {
    if (*line->eventsFile == "-") {
      events = &std::cout;
    } else {
      eventsFile.open(*line->eventsFile, std::ios::binary | std::ios::trunc);
      if (!eventsFile) {
        std::cerr << "kelvo-emulated-cable: cannot write events file '" << *line->eventsFile << "'\n";
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
