// The real driver, libftdi1 and libusb in this process against emulated
// FT232R cables, which umockdev's thread serves in this process too. CTest
// runs these under libumockdev-preload; without it they fail saying so.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulation/EmulatedCables.h"
#include "link/LibFtdiDriver.h"
#include "link/TracingDriver.h"
#include "support/WithoutRealtimeRight.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Threads (/proc/self/task) or open descriptors (/proc/self/fd).
auto Entries(const char* directory) {
  return std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator());
}

// Entries(directory) once it has settled: libusb's and umockdev's own
// threads open a descriptor for a moment now and then.
auto SettledEntries(const char* directory, decltype(Entries("")) expected) {
  auto entries = Entries(directory);
  for (int i = 0; i < 100 && entries != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    entries = Entries(directory);
  }
  return entries;
}

// The kernel's id of this process's thread called `name`; 0 if none is.
pid_t ThreadNamed(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == name) return std::stoi(task.path().filename().string());
  }
  return 0;
}

// How long the receive thread is held off, by a handler of SIGUSR1 that
// sleeps on it, as a busy machine's scheduler keeps an ordinary thread
// waiting.
std::atomic<long> heldOffNanoseconds = 0;

void HoldOffReceiveThread(std::chrono::milliseconds howLong) {
  struct sigaction hold {};
  hold.sa_handler = [](int) {
    timespec heldOff{0, heldOffNanoseconds.load()};
    nanosleep(&heldOff, nullptr);
  };
  sigaction(SIGUSR1, &hold, nullptr);
  heldOffNanoseconds = std::chrono::nanoseconds(howLong).count();
  syscall(SYS_tgkill, getpid(), ThreadNamed("kelvo-receive"), SIGUSR1);
}

// The next thread the test's own thread starts is refused, as it is to a
// process at its limit (RLIMIT_NPROC, which root is not held to).
thread_local bool refuseNextThread = false;

}  // namespace
}  // namespace kelvo

extern "C" int pthread_create(pthread_t* __restrict thread, const pthread_attr_t* __restrict attributes,
                              void* (*start)(void*), void* __restrict argument) noexcept {
  if (std::exchange(kelvo::refuseNextThread, false)) return EAGAIN;
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  return real(thread, attributes, start, argument);
}

namespace kelvo {
namespace {

class DriverOnEmulatedCable : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr)
        << "run under LD_PRELOAD=libumockdev-preload.so.0, as CTest does";
  }

  // One cable whose board's flash holds page k's byte i as k + i (mod 256).
  void Emulate(sim::CableSetup cable = {}, bool paced = true) {
    cable.board.flash.resize(sim::FlashBytes);
    for (std::size_t i = 0; i < cable.board.flash.size(); ++i) {
      cable.board.flash[i] = static_cast<std::uint8_t>(i / sim::FlashPageBytes + i);
    }
    sim::EmulationOptions options;
    options.cables = {cable};
    options.paced = paced;
    options.events = [this](const std::string& line) {
      const std::lock_guard lock(eventsLock);
      events.push_back(line);
    };
    emulation.emplace(options);
  }

  // Opened with the updater's line settings.
  FT_HANDLE Open() {
    FT_HANDLE handle = 0;
    EXPECT_EQ(calls->FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK)
        << driver.LastError();
    EXPECT_EQ(calls->FT_SetBaudRate(handle, 125000), FT_OK);
    EXPECT_EQ(calls->FT_SetLatencyTimer(handle, 2), FT_OK);
    EXPECT_EQ(calls->FT_SetTimeouts(handle, 250, 0), FT_OK);
    return handle;
  }

  FT_STATUS Write(FT_HANDLE handle, const Bytes& bytes) {
    std::uint32_t written = 0;
    return calls->FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
  }

  Bytes Read(FT_HANDLE handle, std::uint32_t count, FT_STATUS* status = nullptr) {
    Bytes bytes(count);
    std::uint32_t delivered = 0;
    const FT_STATUS s = calls->FT_Read(handle, bytes.data(), count, &delivered);
    if (status != nullptr) *status = s;
    bytes.resize(delivered);
    return bytes;
  }

  // "RF" for flash page `page`, 2048 bytes.
  static Bytes ReadCommand(int page) { return {'R', 'F', 0, static_cast<std::uint8_t>(page * 4), 0, 2, 0}; }
  Bytes Page(int page) const {
    const auto& flash = emulation->Board(0).Flash();
    return Bytes(flash.begin() + page * sim::FlashPageBytes,
                 flash.begin() + (page + 1) * sim::FlashPageBytes);
  }

  std::size_t EventCount(const std::string& kind) {
    const std::lock_guard lock(eventsLock);
    std::size_t count = 0;
    for (const auto& line : events)
      count += line.find("\"event\":\"" + kind + "\"") != std::string::npos ? 1 : 0;
    return count;
  }

  std::mutex eventsLock;
  std::vector<std::string> events;
  // Made before the driver and gone after it: the cable outlives every open.
  std::optional<sim::EmulatedCables> emulation;
  LibFtdiDriver driver;
  // The driver the helpers call: `driver` or a wrapper of it.
  FtdiDriver* calls = &driver;
};

TEST_F(DriverOnEmulatedCable, ReadReturnsOnTheCountOrAtTheTimeoutAndPurgeLeavesNothingFromBefore) {
  Emulate();
  const FT_HANDLE handle = Open();

  // A page read back arrives in the background while nobody reads.
  ASSERT_EQ(Write(handle, ReadCommand(5)), FT_OK);
  std::this_thread::sleep_for(250ms);
  FT_STATUS status = FT_OTHER_ERROR;
  Bytes answer = Read(handle, 7 + sim::FlashPageBytes, &status);
  EXPECT_EQ(status, FT_OK);
  ASSERT_EQ(answer.size(), 7u + sim::FlashPageBytes);
  EXPECT_EQ(Bytes(answer.begin() + 7, answer.end()), Page(5));

  // With the chip's default latency timer a streaming page fills the
  // pending transfer packet by packet. Part of it has come when the purge
  // falls: whatever is read after it is the rest of the page, with no byte
  // from before it and no gap.
  ASSERT_EQ(driver.FT_SetLatencyTimer(handle, 16), FT_OK);
  ASSERT_EQ(Write(handle, ReadCommand(6)), FT_OK);
  std::this_thread::sleep_for(60ms);
  ASSERT_EQ(driver.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  const auto start = std::chrono::steady_clock::now();
  const Bytes rest = Read(handle, 7 + sim::FlashPageBytes, &status);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms) << "fewer bytes than asked: the whole timeout";
  EXPECT_EQ(status, FT_OK);
  EXPECT_GT(rest.size(), 0u);
  ASSERT_LT(rest.size(), static_cast<std::size_t>(sim::FlashPageBytes));
  const Bytes page = Page(6);
  EXPECT_EQ(rest, Bytes(page.end() - static_cast<std::ptrdiff_t>(rest.size()), page.end()));

  // A page waiting whole in the receive buffer goes too: after "GI" only
  // its own echo and answer come, not a seventh byte.
  ASSERT_EQ(Write(handle, ReadCommand(7)), FT_OK);
  std::this_thread::sleep_for(250ms);
  ASSERT_EQ(driver.FT_Purge(handle, FT_PURGE_RX), FT_OK);
  ASSERT_EQ(Write(handle, {'G', 'I'}), FT_OK);
  EXPECT_EQ(Read(handle, 7, &status), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
  EXPECT_EQ(status, FT_OK);
  EXPECT_EQ(driver.LineErrors(handle), LineErrorCounts{});
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
  EXPECT_EQ(EventCount("overrun"), 0u);
}

// Bytes the chip loses for want of a pending transfer are counted from the
// status bytes and cost a short read, not the link: here the receive thread
// is held off for longer than its transfers and the chip's buffer cover
// (16 of 64 KiB and 20 ms: 52 ms) while two pages' echo (328 ms) streams in.
TEST_F(DriverOnEmulatedCable, OverrunIsCountedAndCostsBytesNotTheLink) {
  Emulate();
  std::vector<std::string> trace;
  TracingDriver traced(driver, [&trace](const std::string& line) { trace.push_back(line); });
  calls = &traced;
  const FT_HANDLE handle = Open();
  ASSERT_EQ(driver.FT_SetUSBParameters(handle, 65536, 0), FT_OK);
  HoldOffReceiveThread(300ms);
  ASSERT_EQ(Write(handle, Bytes(2 * sim::FlashPageBytes, 'x')), FT_OK);
  FT_STATUS status = FT_OTHER_ERROR;
  const Bytes echo = Read(handle, 2 * sim::FlashPageBytes, &status);
  EXPECT_EQ(status, FT_OK);
  EXPECT_LT(echo.size(), 2u * sim::FlashPageBytes);
  EXPECT_GE(echo.size(), sim::Ft232rChip::RxBufferBytes);
  EXPECT_GE(EventCount("overrun"), 1u);
  EXPECT_GE(driver.LineErrors(handle).overrun, 1u);
  EXPECT_EQ(driver.LineErrors(handle).framing + driver.LineErrors(handle).parity, 0u);
  // The link goes on.
  ASSERT_EQ(Write(handle, {'G', 'I'}), FT_OK);
  EXPECT_EQ(Read(handle, 6, &status), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
  EXPECT_EQ(status, FT_OK);
  EXPECT_EQ(traced.FT_Close(handle), FT_OK);
  // The trace shows the counts on the call after which they changed.
  const auto counted = std::find_if(trace.begin(), trace.end(), [](const std::string& line) {
    return line.find("\"lineErrors\":{\"overrun\":") != std::string::npos;
  });
  ASSERT_NE(counted, trace.end());
  EXPECT_EQ(counted->find("\"overrun\":0,"), std::string::npos) << counted->substr(counted->size() - 90);
}

TEST_F(DriverOnEmulatedCable, CablePulledDuringAWriteOrAReadFailsEveryLaterCall) {
  for (const bool duringRead : {false, true}) {
    const std::string label = duringRead ? "during a read" : "during a write";
    sim::CableSetup cable;
    if (!duringRead) cable.unplugAfterBytes = 1000;
    emulation.reset();
    Emulate(cable);
    const FT_HANDLE handle = Open();
    if (duringRead) {
      ASSERT_EQ(Write(handle, ReadCommand(1)), FT_OK) << label;
      const std::jthread pull([this] {
        std::this_thread::sleep_for(50ms);
        emulation->Unplug(0);
      });
      FT_STATUS status = FT_OK;
      const Bytes partial = Read(handle, 7 + sim::FlashPageBytes, &status);
      EXPECT_EQ(status, FT_IO_ERROR) << label;
      EXPECT_LT(partial.size(), 7u + sim::FlashPageBytes) << label;
    } else {
      EXPECT_EQ(Write(handle, Bytes(sim::FlashPageBytes, 'w')), FT_IO_ERROR) << label;
    }
    FT_STATUS status = FT_OK;
    EXPECT_EQ(Read(handle, 4, &status), Bytes{}) << label;
    EXPECT_EQ(status, FT_IO_ERROR) << label;
    EXPECT_EQ(Write(handle, {'G', 'I'}), FT_IO_ERROR) << label;
    EXPECT_EQ(driver.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_IO_ERROR) << label;
    EXPECT_EQ(driver.FT_SetLatencyTimer(handle, 2), FT_IO_ERROR) << label;
    driver.FT_Close(handle);
    EXPECT_EQ(driver.OpenCount(), 0u) << label;
    EXPECT_EQ(EventCount("unplug"), 1u) << label;
    events.clear();
  }

  // A transaction error is no pulled cable: the transfer goes out again and
  // the chip still has what it did not send.
  emulation.reset();
  Emulate();
  const FT_HANDLE handle = Open();
  ASSERT_EQ(Write(handle, ReadCommand(2)), FT_OK);
  emulation->FailInTransfers(0, 3);
  FT_STATUS status = FT_OTHER_ERROR;
  const Bytes answer = Read(handle, 7 + sim::FlashPageBytes, &status);
  EXPECT_EQ(status, FT_OK);
  ASSERT_EQ(answer.size(), 7u + sim::FlashPageBytes);
  EXPECT_EQ(Bytes(answer.begin() + 7, answer.end()), Page(2));
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
}

// An ordinary thread on a busy desktop may wait 150 ms for the CPU while a
// page streams in. Held off so (a signal handler that sleeps on it), the
// receive thread finds every byte in the transfers still pending.
TEST_F(DriverOnEmulatedCable, ReceiveThreadHeldOffMidPageLosesNothing) {
  Emulate();
  const FT_HANDLE handle = Open();
  ASSERT_NE(ThreadNamed("kelvo-receive"), 0);
  ASSERT_EQ(Write(handle, ReadCommand(9)), FT_OK);
  std::this_thread::sleep_for(30ms);
  HoldOffReceiveThread(150ms);
  FT_STATUS status = FT_OTHER_ERROR;
  const Bytes answer = Read(handle, 7 + sim::FlashPageBytes, &status);
  EXPECT_EQ(status, FT_OK);
  ASSERT_EQ(answer.size(), 7u + sim::FlashPageBytes);
  EXPECT_EQ(Bytes(answer.begin() + 7, answer.end()), Page(9));
  EXPECT_EQ(EventCount("overrun"), 0u);
  EXPECT_EQ(driver.LineErrors(handle).overrun, 0u);
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
}

// With nothing to do the receive side costs nothing: after a second without
// a call its transfers are parked and no transfer completes. Any call brings
// them back before it acts: a read finds what came before the parking, a
// purge still leaves nothing from before it, and a page then comes whole.
TEST_F(DriverOnEmulatedCable, IdleLinkParksItsTransfersAndTheNextCallResumesThem) {
  Emulate();
  const FT_HANDLE handle = Open();
  const auto parkedWithAnswerWaiting = [&] {
    EXPECT_EQ(Write(handle, {'G', 'I'}), FT_OK);
    std::this_thread::sleep_for(ReceivePump::IdleAfter + 300ms);
    const std::uint64_t parked = driver.InTransfersCompleted(handle);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(driver.InTransfersCompleted(handle), parked) << "parked, nothing completes";
    return parked;
  };
  const std::uint64_t parked = parkedWithAnswerWaiting();
  EXPECT_EQ(Read(handle, 6), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
  std::this_thread::sleep_for(50ms);
  EXPECT_GT(driver.InTransfersCompleted(handle), parked) << "resumed";

  parkedWithAnswerWaiting();
  ASSERT_EQ(driver.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  ASSERT_EQ(Write(handle, ReadCommand(3)), FT_OK);
  FT_STATUS status = FT_OTHER_ERROR;
  const Bytes answer = Read(handle, 7 + sim::FlashPageBytes, &status);
  EXPECT_EQ(status, FT_OK);
  ASSERT_EQ(answer.size(), 7u + sim::FlashPageBytes);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 7), ReadCommand(3)) << "nothing from before the purge";
  EXPECT_EQ(Bytes(answer.begin() + 7, answer.end()), Page(3));
  EXPECT_EQ(EventCount("overrun"), 0u);
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
}

// Where the process may not take real-time priority for the receive thread,
// the thread is named to the desktop's service once; its answer decides.
TEST_F(DriverOnEmulatedCable, WithoutTheRightTheReceiveThreadAsksForRealTimePriority) {
  Emulate();
  for (const std::string answer : {"", "RealtimeKit: not there"}) {
    std::vector<std::int64_t> asked;
    driver.AskForRealtimeWith([&](std::int64_t thread, int priority) {
      asked.push_back(thread);
      EXPECT_EQ(priority, 1);
      return answer;
    });
    FT_HANDLE handle = 0;
    {
      const test::WithoutRealtimeRight ordinary;
      handle = Open();
    }
    ASSERT_EQ(asked.size(), 1u) << answer;
    EXPECT_EQ(asked.front(), ThreadNamed("kelvo-receive"));
    const ReceivePriority priority = driver.ReceiveThreadPriority(handle);
    EXPECT_EQ(priority.realTime, answer.empty()) << answer;
    EXPECT_EQ(priority.how, answer.empty() ? "RealtimeKit" : "");
    EXPECT_TRUE(answer.empty() ? priority.refused.empty()
                               : priority.refused.find(answer) != std::string::npos)
        << priority.refused;
    // Refused, it takes the fair scheduler's shortest slice where there is one.
    std::ifstream scheduling("/proc/self/task/" + std::to_string(asked.front()) + "/sched");
    for (std::string line; std::getline(scheduling, line);) {
      if (line.starts_with("se.slice")) {
        EXPECT_EQ(line.ends_with(" 100000"), !answer.empty()) << line;
      }
    }
    EXPECT_EQ(driver.FT_Close(handle), FT_OK);
  }
}

// No thread for the receive side: the open fails with its reason, and the
// device, its transfers and descriptors are let go.
TEST_F(DriverOnEmulatedCable, NoThreadForTheReceiveSideFailsTheOpenAndKeepsNothing) {
  Emulate();
  // libusb's own thread lives while any context does: so the receive
  // thread is the only one the open starts.
  libusb_context* held = nullptr;
  ASSERT_EQ(libusb_init(&held), 0);
  driver.FT_Close(Open());
  const auto threads = Entries("/proc/self/task");
  const auto descriptors = Entries("/proc/self/fd");
  FT_HANDLE handle = 0;
  refuseNextThread = true;
  EXPECT_EQ(calls->FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_OPENED);
  EXPECT_FALSE(refuseNextThread) << "the open started no thread";
  refuseNextThread = false;
  EXPECT_EQ(handle, 0u);
  EXPECT_NE(driver.LastError().find("no thread"), std::string::npos) << driver.LastError();
  EXPECT_EQ(driver.OpenCount(), 0u);
  EXPECT_EQ(SettledEntries("/proc/self/task", threads), threads);
  EXPECT_EQ(SettledEntries("/proc/self/fd", descriptors), descriptors);
  const FT_HANDLE again = Open();
  EXPECT_EQ(Write(again, {'G', 'I'}), FT_OK);
  EXPECT_EQ(Read(again, 6), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
  EXPECT_EQ(driver.FT_Close(again), FT_OK);
  EXPECT_EQ(EventCount("open"), EventCount("close"));
  libusb_exit(held);
}

// Each open has its pump thread and transfers; each close leaves nothing.
TEST_F(DriverOnEmulatedCable, OpenAndCloseManyTimesLeavesNoThreadOrDescriptorBehind) {
  Emulate();
  const auto cycle = [this] {
    const FT_HANDLE handle = Open();
    EXPECT_EQ(Write(handle, {'G', 'I'}), FT_OK);
    EXPECT_EQ(Read(handle, 6), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
    EXPECT_EQ(driver.FT_Close(handle), FT_OK);
  };
  // The first open starts what stays: umockdev's and the emulation's own.
  cycle();
  const auto threads = Entries("/proc/self/task");
  const auto descriptors = Entries("/proc/self/fd");
  constexpr int Cycles = 20;
  for (int i = 0; i < Cycles; ++i) cycle();
  EXPECT_EQ(SettledEntries("/proc/self/task", threads), threads);
  EXPECT_EQ(SettledEntries("/proc/self/fd", descriptors), descriptors);
  EXPECT_EQ(EventCount("open"), Cycles + 1u);
  EXPECT_EQ(EventCount("close"), Cycles + 1u);
  EXPECT_EQ(driver.OpenCount(), 0u);
}

}  // namespace
}  // namespace kelvo
