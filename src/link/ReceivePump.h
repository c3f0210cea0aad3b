#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/FtdiDriver.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace kelvo {

// Asks a service that may grant it (the desktop's RealtimeKit) to run thread
// `threadId` (the kernel's id) of this process at real-time priority
// `priority`; returns "" once granted, otherwise why not.
using RealtimeRequest = std::function<std::string(std::int64_t threadId, int priority)>;

// How a receive thread runs.
struct ReceivePriority {
  bool realTime = false;
  std::string how;      // "SCHED_FIFO", or "RealtimeKit" when granted through it
  std::string refused;  // why neither way gave it, when not realTime
};

// The receive side of one open FTDI device. An FT232R holds only 256 bytes
// from the line and loses what arrives while they wait, so from Start to
// Stop many bulk IN transfers are pending, also while the caller writes, and
// a thread of this object's own handles libusb's events. What they bring,
// less the two status bytes of every packet, waits here for Read.
//
// The chip ends the pending transfer every latency period, so each one
// pending covers that long while the thread is held off: 256 cover 512 ms at
// 2 ms, enough for an ordinary thread on a busy desktop to be held off and
// then catch up. Once no call has
// come for IdleAfter and no Read waits, the transfers are parked (cancelled)
// and the thread sleeps; the next call of any kind brings them back first.
class ReceivePump {
 public:
  struct Setup {
    libusb_context* context = nullptr;  // the device's own libusb context
    libusb_device_handle* device = nullptr;
    unsigned char endpoint = 0;  // bulk IN
    int packetBytes = 64;        // each packet starts with 2 status bytes
    int transferBytes = 4096;    // a multiple of packetBytes
    // Asked for the thread where the process may not take real-time
    // priority itself. Optional.
    RealtimeRequest askForRealtime;
  };
  explicit ReceivePump(const Setup& setup);
  ~ReceivePump();
  ReceivePump(const ReceivePump&) = delete;
  ReceivePump& operator=(const ReceivePump&) = delete;

  // Allocates the buffer and the transfers, starts the thread at the best
  // priority it can have and submits the transfers. False, with Failure()
  // saying why, when any of it fails; nothing is left running or allocated.
  bool Start();
  // Cancels every transfer, waits (at most DrainLimit) for their callbacks,
  // then stops and joins the thread. The device may be closed afterwards.
  void Stop();

  // Every call on the device comes here first: a parked pump submits its
  // transfers again before the call acts.
  void Resume();

  struct Received {
    std::uint32_t count = 0;
    bool gone = false;  // the device has left the bus (or its IN side failed)
  };
  // Takes up to `count` bytes: returns once they are all here, the device is
  // gone, or `timeout` has passed (0: no limit). Waits without spinning.
  Received Read(std::uint8_t* destination, std::uint32_t count, std::chrono::milliseconds timeout);
  // Nothing from before the call is delivered after it: `purgeChip` empties
  // the chip, then the transfer being filled is cancelled and its bytes, and
  // those of the transfers that completed ahead of it, are dropped with the
  // buffer's. A byte that arrives during the call may go too. Returns
  // purgeChip's answer.
  bool Purge(const std::function<bool()>& purgeChip);
  // Transfers of another size from now on (a multiple of the packet size);
  // false when the old ones could not be drained or the new ones allocated.
  bool Resize(int transferBytes);

  bool Gone() const;
  // Why Start failed, or why the receive side ended.
  std::string Failure() const;
  const ReceivePriority& Priority() const { return priority_; }
  LineErrorCounts Errors() const;
  // Transfers that have completed since Start, data or not: each is one
  // wake-up of the thread that handles the events.
  std::uint64_t Completions() const;
  bool Parked() const;

  // How many transfers of `transferBytes` are kept pending.
  static int TransfersFor(int transferBytes);
  // More than the host could fail to read in a minute at 125000 baud;
  // bytes past it are lost and counted as an overrun.
  static constexpr std::size_t BufferBytes = 1u << 20;
  static constexpr std::chrono::milliseconds IdleAfter{1000};
  // Cancelled transfers come back within microseconds; a device whose do
  // not within this has stopped answering.
  static constexpr std::chrono::milliseconds DrainLimit{2000};

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    ReceivePump* pump = nullptr;
    libusb_transfer* transfer = nullptr;
    std::uint64_t sequence = 0;  // when it was last submitted
    bool pending = false;        // submitted, its callback not yet run
  };
  // The transfers and their memory, made for one transfer size.
  struct Transfers {
    std::vector<Slot> list;  // not "slots": Qt keeps that word
    std::vector<std::uint8_t> memory;
    ~Transfers();
  };

  static void OnTransfer(libusb_transfer* transfer);
  void Completed(Slot& slot);
  bool Allocate(int transferBytes);
  void RaisePriority();
  void Run();
  void Submit(Slot& slot);
  void SubmitAll();
  // Cancels every pending transfer; true once all callbacks have come.
  bool Drain();
  // Callers hold mutex_.
  void Take(const std::uint8_t* bytes, int length);
  void ParkLocked();
  void EndLocked(const std::string& why);

  Setup setup_;
  std::unique_ptr<Transfers> transfers_;
  ReceivePriority priority_;

  mutable std::mutex mutex_;
  std::condition_variable arrived_;  // bytes came, or the device went
  std::condition_variable settled_;  // a transfer's callback has ended it; the thread has started
  std::condition_variable quit_;
  // The receive buffer, a ring allocated by Start.
  std::vector<std::uint8_t> ring_;
  std::size_t ringStart_ = 0;
  std::size_t ringSize_ = 0;
  int pending_ = 0;        // slots pending
  bool resubmit_ = false;  // completed transfers go out again
  bool parked_ = false;
  bool quitting_ = false;
  bool gone_ = false;
  std::string failure_;
  std::uint64_t submitted_ = 0;       // the last sequence number given
  std::uint64_t discardThrough_ = 0;  // transfers up to this one bring bytes from before a purge
  int readers_ = 0;                   // Reads waiting
  int inErrors_ = 0;                  // IN transfers failed since the last one completed
  Clock::time_point lastCall_ = Clock::now();
  std::int64_t threadId_ = 0;
  LineErrorCounts errors_;
  std::uint64_t completions_ = 0;

  std::thread thread_;
};

}  // namespace kelvo
