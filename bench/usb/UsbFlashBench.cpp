// One whole flash of the sample image through the real driver, libftdi1 and
// libusb, against an emulated FT232R paced at 125000 baud with its 64-byte
// packets, 2 ms latency timer and 256-byte receive buffer, after the link has
// been held open and idle for a while. The updater runs in a child process (the
// one libusb sees the emulated bus in), so its CPU time is its own; the
// emulation's CPU time, spent serving the USB requests, is this process's.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "core/UpdaterState.h"
#include "emulation/EmulatedCables.h"
#include "image/SampleImage.h"
#include "link/LibFtdiDriver.h"
#include "link/LinkConnection.h"
#include "support/StateRig.h"
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

// The link held open with nothing to do: the receive side still takes the
// chip's status packet every latency period.
constexpr double IdleSeconds = 10;

// The child: open the cable, idle, flash; print "elapsed cpu failed
// idle-cpu idle-completions flash-completions real-time".
int RunUpdater() {
  kelvo::test::StateRig<kelvo::LibFtdiDriver> rig;
  auto& [driver, window, state] = rig;
  kelvo::OpenLink(state);
  if (state.LinkStatus != 0 || state.LinkHandle == 0) {
    std::fprintf(stderr, "could not open the emulated cable (status %d): %s\n", state.LinkStatus,
                 driver.LastError().c_str());
    return 1;
  }
  const double idleCpuBefore = CpuSeconds(RUSAGE_SELF);
  const std::uint64_t idleCompletionsBefore = driver.InTransfersCompleted(state.LinkHandle);
  std::this_thread::sleep_for(std::chrono::duration<double>(IdleSeconds));
  const double idleCpu = CpuSeconds(RUSAGE_SELF) - idleCpuBefore;
  const std::uint64_t completionsBefore = driver.InTransfersCompleted(state.LinkHandle);
  const std::uint64_t idleCompletions = completionsBefore - idleCompletionsBefore;

  state.FirmwareImage = kelvo::MakeSampleImage();
  const double cpuBefore = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  kelvo::FlashDevice(state);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
  const std::uint64_t completions = driver.InTransfersCompleted(state.LinkHandle) - completionsBefore;
  std::printf("%.6f %.6f %d %.6f %llu %llu %d\n", elapsed, cpu, state.OperationFailed ? 1 : 0, idleCpu,
              static_cast<unsigned long long>(idleCompletions), static_cast<unsigned long long>(completions),
              AThreadRunsRealTime() ? 1 : 0);
  for (const auto& message : window.messages)
    std::fprintf(stderr, "message: %s: %s\n", message.title.c_str(), message.text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--updater") == 0) return RunUpdater();

  prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
  kelvo::sim::EmulationOptions options;
  options.cables.emplace_back();
  // --rx-buffer BYTES: the chip's receive buffer (0: unlimited).
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc || std::strcmp(argv[i], "--rx-buffer") != 0) {
      std::fprintf(stderr, "usage: %s [--rx-buffer BYTES]\n", argv[0]);
      return 2;
    }
    options.cables.front().rxBufferBytes = std::strtoul(argv[i + 1], nullptr, 10);
  }
  kelvo::sim::EmulatedCables cables(options);

  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  const double cpuBefore = CpuSeconds(RUSAGE_SELF);
  const pid_t child = fork();
  if (child == 0) {
    for (const auto& [name, value] : cables.Environment()) setenv(name.c_str(), value.c_str(), 1);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    execl("/proc/self/exe", argv[0], "--updater", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  char text[128] = {};
  std::size_t got = 0;
  while (got < sizeof text - 1) {
    const ssize_t n = read(pipeFds[0], text + got, sizeof text - 1 - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  int status = 0;
  waitpid(child, &status, 0);
  cables.Stop();
  const double emulationCpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;

  double elapsed = 0;
  double cpu = 0;
  int failed = 1;
  double idleCpu = 0;
  unsigned long long idleCompletions = 0;
  unsigned long long completions = 0;
  int realTime = 0;
  if (std::sscanf(text, "%lf %lf %d %lf %llu %llu %d", &elapsed, &cpu, &failed, &idleCpu, &idleCompletions,
                  &completions, &realTime) != 7 ||
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
  std::printf("idle, link open         %.3f s cpu per idle second\n", idleCpu / IdleSeconds);
  std::printf("idle wake-ups           %.0f per second (IN transfers completed)\n",
              static_cast<double>(idleCompletions) / IdleSeconds);
  std::printf("IN transfers per page   %.1f  (%llu completed during the flash)\n",
              static_cast<double>(completions) / PagesWritten, completions);
  std::printf("usb transfers per page  %.1f  (bulk, both directions; %lld in all)\n",
              static_cast<double>(stats.bulkTransfers) / PagesWritten, stats.bulkTransfers);
  std::printf("empty reads             %lld  (%lld answered within 1 ms)\n", stats.emptyReads,
              stats.quickEmptyReads);
  int attempts = 0;
  for (const auto& event : cables.Board(0).PageEvents())
    attempts += event.kind != kelvo::sim::PageEvent::Kind::ReadBack ? 1 : 0;
  std::printf("receive thread          %s\n", realTime != 0 ? "real-time priority" : "ordinary priority");
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
