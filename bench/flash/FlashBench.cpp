// One whole flash of the sample image over the simulated cable in real time:
// 125000 baud, 80 µs a byte each way. Prints how close the run comes to the
// time the bytes alone need on the wire, and how much CPU it burns while it
// waits on the link.
//
// `kelvo-flash-bench --virtual N` instead runs N whole flashes in virtual time,
// as the tests and the fault campaign do, and prints the CPU time each costs:
// the simulator's own speed.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/SampleImage.h"
#include "link/LinkConnection.h"
#include "sim/SimLink.h"
#include "support/StateRig.h"
#include "update/FlashSequence.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr int PagesWritten = 63;
constexpr int PageBytes = 2048;
constexpr int HeaderBytes = 8;
// "WF" command 5, page data 2048, "OK" 2, "RF" command 7, page read 2048.
constexpr int WireBytesPerPage = 5 + PageBytes + 2 + 7 + PageBytes;
constexpr double SecondsPerByte = 80e-6;

}  // namespace

// N flashes on the virtual clock, a page taking 10 ms to program.
int VirtualFlashes(int count) {
  const std::vector<std::uint8_t> image = kelvo::MakeSampleImage();
  bool allComplete = true;
  const double cpuBefore = CpuSeconds();
  for (int i = 0; i < count; ++i) {
    kelvo::sim::SimOptions options;
    options.programMs = 10;
    kelvo::test::StateRig<kelvo::sim::SimLink> rig(options);
    kelvo::OpenLink(rig.state);
    rig.state.FirmwareImage = image;
    kelvo::FlashDevice(rig.state);
    allComplete = allComplete && !rig.state.OperationFailed;
  }
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("result              %s\n", allComplete ? "every flash complete" : "FAILED");
  std::printf("flashes             %d in virtual time\n", count);
  std::printf("cpu time            %.3f s, %.2f ms per flash\n", cpu, 1000.0 * cpu / count);
  return allComplete ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--virtual")
    return VirtualFlashes(std::max(1, std::atoi(argv[2])));
  kelvo::sim::SimOptions options;
  options.realtime = true;
  // Without a trace sink: formatting every call would cost CPU the updater does not spend.
  kelvo::test::StateRig<kelvo::sim::SimLink> rig(options);
  auto& [link, window, state] = rig;

  kelvo::OpenLink(state);
  if (state.LinkStatus != 0 || state.LinkHandle == 0) {
    std::fprintf(stderr, "could not open the simulated link (status %d)\n", state.LinkStatus);
    return 1;
  }
  state.FirmwareImage = kelvo::MakeSampleImage();

  const double cpuBefore = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  kelvo::FlashDevice(state);
  const auto end = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds() - cpuBefore;

  bool flashMatches = !state.OperationFailed;
  const std::vector<std::uint8_t>& flash = link.Flash();
  for (int page = 0; page < PagesWritten && flashMatches; ++page) {
    for (int i = 0; i < PageBytes; ++i) {
      if (flash[static_cast<std::size_t>(page * PageBytes + i)] !=
          state.FirmwareImage[static_cast<std::size_t>(HeaderBytes + page * PageBytes + i)]) {
        flashMatches = false;
        break;
      }
    }
  }

  const double elapsed = std::chrono::duration<double>(end - start).count();
  const double wireBound = PagesWritten * WireBytesPerPage * SecondsPerByte;
  std::printf("result              %s\n", flashMatches ? "flash complete, pages 0-62 verified" : "FAILED");
  for (const auto& message : window.messages)
    std::printf("message             %s: %s\n", message.title.c_str(), message.text.c_str());
  std::printf("elapsed             %.3f s\n", elapsed);
  std::printf("wire lower bound    %.3f s  (%d pages x %d bytes x 80 us)\n", wireBound, PagesWritten,
              WireBytesPerPage);
  std::printf("elapsed / bound     %.4f\n", elapsed / wireBound);
  std::printf("cpu time            %.3f s\n", cpu);
  std::printf("cpu / elapsed       %.2f %%\n", 100.0 * cpu / elapsed);
  return flashMatches ? 0 : 1;
}
