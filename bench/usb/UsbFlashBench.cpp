// One whole flash of the sample image through the real driver, libftdi1 and
// libusb, against an emulated FT232R paced at 125000 baud with its 64-byte
// packets, 2 ms latency timer and 256-byte receive buffer, after the link has
// been held open and idle for a while. The updater runs in a child process (the
// one libusb sees the emulated bus in), so its CPU time is its own; the
// emulation's CPU time, spent serving the USB requests, is this process's.
//   kelvo-usb-flash-bench [--rx-buffer BYTES] [--no-realtime] [--busy N] [--idle SECONDS]
// --no-realtime takes the right to real-time priority from the updater, as
// an ordinary user lacks it (for runs as root); --busy N keeps N threads
// spinning beside it.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/UpdaterState.h"
#include "emulation/EmulatedCables.h"
#include "image/SampleImage.h"
#include "link/LibFtdiDriver.h"
#include "link/LinkConnection.h"
#include "support/StateRig.h"
#include "support/WithoutRealtimeRight.h"
#include "update/FlashSequence.h"

namespace {

constexpr int PagesWritten = 63;
constexpr int PageBytes = 2048;
constexpr int HeaderBytes = 8;
// "WF" command 5, page data 2048, "OK" 2, "RF" command 7, page read 2048.
constexpr int WireBytesPerPage = 5 + PageBytes + 2 + 7 + PageBytes;
constexpr double SecondsPerByte = 80e-6;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// Whether a thread of this process runs at a real-time priority, as the
// receive pump's asks to where the system allows it (e.g. as root).
bool AThreadRunsRealTime() {
  constexpr int PolicyField = 41;  // of /proc/PID/task/TID/stat
  constexpr const char* Fifo = "1";
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream stat(task.path() / "stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks; field 3 follows it.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= PolicyField && fields >> field; ++i) {
    }
    if (field == Fifo) return true;
  }
  return false;
}

// Context switches of all the process's threads: each wait that ends is one.
long WakeUps() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Tells the parent a phase begins ("idle", "flash"), so that it can read the
// emulation's counts for it.
void Phase(const char* name) {
  std::printf("%s\n", name);
  std::fflush(stdout);
}

// The child: open the cable, idle (the link held open with nothing to do),
// flash; print "done elapsed cpu failed idle-cpu idle-completions
// flash-completions real-time idle-wake-ups retries".
int RunUpdater(bool noRealtime, double idleSeconds) {
  std::optional<kelvo::test::WithoutRealtimeRight> ordinary;
  if (noRealtime) ordinary.emplace();
  kelvo::test::StateRig<kelvo::LibFtdiDriver> rig;
  auto& [driver, window, state] = rig;
  kelvo::OpenLink(state);
  if (state.LinkStatus != 0 || state.LinkHandle == 0) {
    std::fprintf(stderr, "could not open the emulated cable (status %d): %s\n", state.LinkStatus,
                 driver.LastError().c_str());
    return 1;
  }
  // The first seconds after the open are not idle yet: a driver that parks
  // its transfers has not done so.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Phase("idle");
  const double idleCpuBefore = CpuSeconds(RUSAGE_SELF);
  const std::uint64_t idleCompletionsBefore = driver.InTransfersCompleted(state.LinkHandle);
  const long wakeUpsBefore = WakeUps();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  const long idleWakeUps = WakeUps() - wakeUpsBefore;
  const double idleCpu = CpuSeconds(RUSAGE_SELF) - idleCpuBefore;
  const std::uint64_t completionsBefore = driver.InTransfersCompleted(state.LinkHandle);
  const std::uint64_t idleCompletions = completionsBefore - idleCompletionsBefore;

  state.FirmwareImage = kelvo::MakeSampleImage();
  Phase("flash");
  const double cpuBefore = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  kelvo::FlashDevice(state);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
  const std::uint64_t completions = driver.InTransfersCompleted(state.LinkHandle) - completionsBefore;
  int retries = 0;
  for (const kelvo::PageRetries& page : state.Outcome.retries) retries += page.failures;
  std::printf("done %.6f %.6f %d %.6f %llu %llu %d %ld %d\n", elapsed, cpu, state.OperationFailed ? 1 : 0,
              idleCpu, static_cast<unsigned long long>(idleCompletions),
              static_cast<unsigned long long>(completions), AThreadRunsRealTime() ? 1 : 0, idleWakeUps,
              retries);
  for (const auto& message : window.messages)
    std::fprintf(stderr, "message: %s: %s\n", message.title.c_str(), message.text.c_str());
  return 0;
}

// N threads that never wait, in a process of their own so that their CPU
// time is nobody's; ended by the caller.
pid_t BusyLoops(int count) {
  const pid_t busy = fork();
  if (busy != 0) return busy;
  std::vector<std::thread> loops;
  for (int i = 0; i < count; ++i) {
    loops.emplace_back([] {
      std::atomic<unsigned long> spins = 0;
      while (true) spins.fetch_add(1, std::memory_order_relaxed);
    });
  }
  for (std::thread& loop : loops) loop.join();
  _exit(0);
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five;
  file >> one >> five;
  return one + " " + five;
}

}  // namespace

int main(int argc, char** argv) {
  bool noRealtime = false;
  double idleSeconds = 10;
  if (argc > 1 && std::strcmp(argv[1], "--updater") == 0)
    return RunUpdater(argc > 2 && std::strcmp(argv[2], "1") == 0,
                      argc > 3 ? std::atof(argv[3]) : idleSeconds);

  prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
  kelvo::sim::EmulationOptions options;
  options.cables.emplace_back();
  int busy = 0;
  for (int i = 1; i < argc; ++i) {
    const bool valued = i + 1 < argc;
    if (std::strcmp(argv[i], "--no-realtime") == 0) {
      noRealtime = true;
    } else if (valued && std::strcmp(argv[i], "--rx-buffer") == 0) {
      options.cables.front().rxBufferBytes = std::strtoul(argv[++i], nullptr, 10);
    } else if (valued && std::strcmp(argv[i], "--busy") == 0) {
      busy = std::atoi(argv[++i]);
    } else if (valued && std::strcmp(argv[i], "--idle") == 0) {
      idleSeconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--rx-buffer BYTES] [--no-realtime] [--busy N] [--idle SECONDS]\n",
                   argv[0]);
      return 2;
    }
  }
  kelvo::sim::EmulatedCables cables(options);
  const std::string loadBefore = LoadAverage();
  const pid_t loops = busy > 0 ? BusyLoops(busy) : 0;

  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  const double cpuBefore = CpuSeconds(RUSAGE_SELF);
  const pid_t child = fork();
  if (child == 0) {
    for (const auto& [name, value] : cables.Environment()) setenv(name.c_str(), value.c_str(), 1);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    const std::string idle = std::to_string(idleSeconds);
    execl("/proc/self/exe", argv[0], "--updater", noRealtime ? "1" : "0", idle.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  // The emulation's counts as each phase begins and as the flash ends.
  kelvo::sim::EmulatedCables::Statistics atIdle, atFlash, atEnd;
  std::string text;
  FILE* lines = fdopen(pipeFds[0], "r");
  char line[256];
  while (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
    if (std::strncmp(line, "idle", 4) == 0) atIdle = cables.Stats();
    if (std::strncmp(line, "flash", 5) == 0) atFlash = cables.Stats();
    if (std::strncmp(line, "done ", 5) == 0) {
      atEnd = cables.Stats();
      text = line + 5;
    }
  }
  if (lines != nullptr) fclose(lines);
  int status = 0;
  waitpid(child, &status, 0);
  if (loops > 0) {
    kill(loops, SIGKILL);
    waitpid(loops, nullptr, 0);
  }
  const std::string loadAfter = LoadAverage();
  cables.Stop();
  const double emulationCpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;

  double elapsed = 0;
  double cpu = 0;
  int failed = 1;
  double idleCpu = 0;
  unsigned long long idleCompletions = 0;
  unsigned long long completions = 0;
  int realTime = 0;
  long idleWakeUps = 0;
  int retries = 0;
  if (std::sscanf(text.c_str(), "%lf %lf %d %lf %llu %llu %d %ld %d", &elapsed, &cpu, &failed, &idleCpu,
                  &idleCompletions, &completions, &realTime, &idleWakeUps, &retries) != 9 ||
      elapsed <= 0) {
    std::fprintf(stderr, "the updater did not finish (status %d)\n", status);
    return 1;
  }
  bool flashMatches = failed == 0;
  const std::vector<std::uint8_t> image = kelvo::MakeSampleImage();
  const std::vector<std::uint8_t>& flash = cables.Board(0).Flash();
  for (int i = 0; i < PagesWritten * PageBytes && flashMatches; ++i) {
    flashMatches = flash[static_cast<std::size_t>(i)] == image[static_cast<std::size_t>(HeaderBytes + i)];
  }

  const auto stats = cables.Stats();
  const double wireBound = PagesWritten * WireBytesPerPage * SecondsPerByte;
  std::printf("result                  %s\n",
              flashMatches ? "flash complete, pages 0-62 verified" : "FAILED");
  std::printf("elapsed                 %.3f s\n", elapsed);
  std::printf("wire lower bound        %.3f s  (%d pages x %d bytes x 80 us)\n", wireBound, PagesWritten,
              WireBytesPerPage);
  std::printf("elapsed / bound         %.4f\n", elapsed / wireBound);
  std::printf("updater cpu             %.3f s  (%.2f %% of elapsed)\n", cpu, 100.0 * cpu / elapsed);
  std::printf("idle, link open         %.4f s cpu per idle second (%.0f s)\n", idleCpu / idleSeconds,
              idleSeconds);
  std::printf(
      "idle wake-ups           %.1f per second (the updater's threads; %.1f IN transfers completed, "
      "%.1f usb requests)\n",
      static_cast<double>(idleWakeUps) / idleSeconds, static_cast<double>(idleCompletions) / idleSeconds,
      static_cast<double>(atFlash.requests - atIdle.requests) / idleSeconds);
  std::printf("IN transfers per page   %.1f  (%llu completed during the flash)\n",
              static_cast<double>(completions) / PagesWritten, completions);
  std::printf("usb transfers per page  %.1f  (bulk, both directions; %lld in all)\n",
              static_cast<double>(stats.bulkTransfers) / PagesWritten, stats.bulkTransfers);
  std::printf("empty reads             %lld  (%lld answered within 1 ms)\n", stats.emptyReads,
              stats.quickEmptyReads);
  int attempts = 0;
  for (const auto& event : cables.Board(0).PageEvents())
    attempts += event.kind != kelvo::sim::PageEvent::Kind::ReadBack ? 1 : 0;
  std::printf("usb requests per page   %.1f  (%.1f of them cancellations; the flash's alone)\n",
              static_cast<double>(atEnd.requests - atFlash.requests) / PagesWritten,
              static_cast<double>(atEnd.discards - atFlash.discards) / PagesWritten);
  std::printf("retries                 %d\n", retries);
  std::printf("receive thread          %s%s\n", realTime != 0 ? "real-time priority" : "ordinary priority",
              noRealtime ? " (--no-realtime)" : "");
  std::printf("busy loops beside it    %d\n", busy);
  std::printf("load average            %s before, %s after\n", loadBefore.c_str(), loadAfter.c_str());
  std::printf("receive buffer          %s\n",
              options.cables.front().rxBufferBytes == 0
                  ? "unlimited"
                  : (std::to_string(options.cables.front().rxBufferBytes) + " bytes").c_str());
  std::printf("bytes lost (overrun)    %lld in %lld overruns, %.1f per page attempt (%d attempts)\n",
              stats.lostBytes, stats.overruns,
              attempts > 0 ? static_cast<double>(stats.lostBytes) / attempts : 0.0, attempts);
  std::printf("usb requests            %lld\n", stats.requests);
  std::printf("emulation cpu           %.3f s  (%.1f us per request)\n", emulationCpu,
              1e6 * emulationCpu / static_cast<double>(stats.requests));
  return flashMatches ? 0 : 1;
}
