#include "link/ReceivePump.h"

#include <libusb.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace kelvo {
namespace {

constexpr int StatusBytes = 2;
// The second status byte of every packet: the line's state.
constexpr std::uint8_t OverrunError = 0x02;
constexpr std::uint8_t ParityError = 0x04;
constexpr std::uint8_t FramingError = 0x08;
constexpr std::uint8_t BreakInterrupt = 0x10;

// A transfer ends in an error now and then (a noisy cable) and is submitted
// again; this many in a row, with none completing, is a device that no
// longer works.
constexpr int InErrorLimit = 256;
// libusb failing to handle events this many times in a row, a millisecond
// apart, ends the receive side rather than trying for ever.
constexpr int EventFailureLimit = 1000;
// 1 MiB of transfers at most: 256 of the usual 4096 bytes, fewer larger.
constexpr int PendingBytes = 1 << 20;
constexpr int MostTransfers = 256;
constexpr int FewestTransfers = 16;
// The fair scheduler's shortest slice (Linux 6.12 and later).
constexpr std::uint64_t ShortestSliceNs = 100'000;

// Where real-time priority is out of reach, an ordinary thread may still ask
// the fair scheduler for its shortest slice: it gets no more CPU than its
// share, but its wake-ups preempt a busy thread at once instead of waiting
// for that one's slice to end. The thread wakes hundreds of times a second
// for microseconds each. Older kernels ignore it.
void AskForShortSlice(std::int64_t threadId) {
  // The kernel's struct sched_attr, first version; glibc declares none.
  struct {
    std::uint32_t size;
    std::uint32_t sched_policy;
    std::uint64_t sched_flags;
    std::int32_t sched_nice;
    std::uint32_t sched_priority;
    std::uint64_t sched_runtime;
    std::uint64_t sched_deadline;
    std::uint64_t sched_period;
  } attributes{};
  attributes.size = sizeof attributes;
  attributes.sched_policy = SCHED_OTHER;
  // The nice value stays: a process started with `nice` keeps it (and one
  // may not lower it without the right).
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
  attributes.sched_nice = errno == 0 ? nice : 0;
  attributes.sched_runtime = ShortestSliceNs;
  syscall(SYS_sched_setattr, static_cast<pid_t>(threadId), &attributes, 0);
}

}  // namespace

ReceivePump::Transfers::~Transfers() {
  for (const Slot& slot : list) libusb_free_transfer(slot.transfer);
}

int ReceivePump::TransfersFor(int transferBytes) {
  return std::clamp(PendingBytes / std::max(transferBytes, 1), FewestTransfers, MostTransfers);
}

ReceivePump::ReceivePump(const Setup& setup) : setup_(setup) {}

ReceivePump::~ReceivePump() { Stop(); }

bool ReceivePump::Start() {
  try {
    ring_.assign(BufferBytes, 0);
    if (!Allocate(setup_.transferBytes)) throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    transfers_.reset();
    ring_ = {};
    failure_ = "no memory for the receive buffers";
    return false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    transfers_.reset();
    ring_ = {};
    failure_ = std::string("no thread for the receive side: ") + error.what();
    return false;
  }
  RaisePriority();
  SubmitAll();
  if (!Gone()) return true;
  Stop();
  return false;
}

void ReceivePump::RaisePriority() {
  std::int64_t threadId = 0;
  {
    std::unique_lock lock(mutex_);
    settled_.wait(lock, [this] { return threadId_ != 0; });
    threadId = threadId_;
  }
  // With every pending transfer used up, the chip's buffer lasts 20 ms at
  // 125000 baud. The thread waits in libusb and never spins, so the lowest
  // real-time priority costs the rest of the machine nothing.
  sched_param lowest{};
  lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
  const int refused = pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &lowest);
  if (refused == 0) {
    priority_ = {true, "SCHED_FIFO", ""};
    return;
  }
  const std::string direct = std::string("SCHED_FIFO: ") + std::strerror(refused);
  const std::string answer =
      setup_.askForRealtime ? setup_.askForRealtime(threadId, lowest.sched_priority) : "nobody else asked";
  if (answer.empty()) {
    priority_ = {true, "RealtimeKit", ""};
    return;
  }
  AskForShortSlice(threadId);
  priority_ = {false, "", direct + "; " + answer};
}

void ReceivePump::Stop() {
  if (!thread_.joinable()) return;
  // Only the thread delivers the cancellations, so it stops last.
  const bool drained = Drain();
  {
    const std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  quit_.notify_all();
  libusb_interrupt_event_handler(setup_.context);
  thread_.join();
  // A transfer whose callback never came may still be libusb's until the
  // device is closed: it is left allocated rather than freed under it.
  if (!drained) static_cast<void>(transfers_.release());
  transfers_.reset();
  ring_ = {};
}

void ReceivePump::Run() {
  pthread_setname_np(pthread_self(), "kelvo-receive");
  {
    const std::lock_guard lock(mutex_);
    threadId_ = gettid();
  }
  settled_.notify_all();
  int failures = 0;
  std::unique_lock lock(mutex_);
  while (!quitting_) {
    lock.unlock();
    // Parked, nothing comes: the thread wakes once a tick.
    timeval tick{1, 0};
    const int result = libusb_handle_events_timeout_completed(setup_.context, &tick, nullptr);
    failures = result < 0 && result != LIBUSB_ERROR_INTERRUPTED ? failures + 1 : 0;
    lock.lock();
    if (failures == 0) continue;
    if (failures < EventFailureLimit) {
      // A failure that repeats must not make the thread spin.
      quit_.wait_for(lock, std::chrono::milliseconds(1));
      continue;
    }
    EndLocked(std::string("handling USB events keeps failing: ") + libusb_error_name(result));
    quit_.wait(lock, [this] { return quitting_; });
  }
}

bool ReceivePump::Allocate(int transferBytes) {
  auto made = std::make_unique<Transfers>();
  const int count = TransfersFor(transferBytes);
  made->memory.assign(static_cast<std::size_t>(count) * static_cast<std::size_t>(transferBytes), 0);
  // Fixed from here on: each transfer's callback finds its slot by address.
  made->list.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    Slot& slot = made->list[static_cast<std::size_t>(i)];
    slot.pump = this;
    slot.transfer = libusb_alloc_transfer(0);
    if (slot.transfer == nullptr) return false;
    // No timeout: the chip answers every latency period by itself.
    libusb_fill_bulk_transfer(slot.transfer, setup_.device, setup_.endpoint,
                              made->memory.data() + static_cast<std::ptrdiff_t>(i) * transferBytes,
                              transferBytes, OnTransfer, &slot, 0);
  }
  setup_.transferBytes = transferBytes;
  transfers_ = std::move(made);
  return true;
}

void ReceivePump::SubmitAll() {
  {
    const std::lock_guard lock(mutex_);
    if (gone_) return;
    resubmit_ = true;
    parked_ = false;
    for (Slot& slot : transfers_->list) {
      slot.sequence = ++submitted_;
      slot.pending = true;
    }
    pending_ = static_cast<int>(transfers_->list.size());
  }
  for (Slot& slot : transfers_->list) Submit(slot);
}

void ReceivePump::Submit(Slot& slot) {
  // No lock around libusb here: its callbacks, in whichever thread handles
  // the events (a synchronous write's too), take mutex_.
  const int result = libusb_submit_transfer(slot.transfer);
  bool missedDrain = false;
  {
    const std::lock_guard lock(mutex_);
    if (result != 0) {
      slot.pending = false;
      --pending_;
      // One the host would not take sits out until the next resume; with
      // none left, nothing can be received.
      if (result == LIBUSB_ERROR_NO_DEVICE) {
        EndLocked("the cable has left the bus");
      } else if (pending_ == 0) {
        EndLocked(std::string("the device took no read transfer: ") + libusb_error_name(result));
      }
      settled_.notify_all();
      return;
    }
    missedDrain = !resubmit_;
  }
  // A drain began while this transfer was on its way out and found nothing
  // to cancel. Only a callback gets here then, and while it runs no other
  // callback can end this transfer.
  if (missedDrain) libusb_cancel_transfer(slot.transfer);
}

bool ReceivePump::Drain() {
  std::unique_lock lock(mutex_);
  resubmit_ = false;
  // No callback runs meanwhile: each takes mutex_ first, and libusb holds
  // none of its own locks while it calls one.
  for (Slot& slot : transfers_->list) {
    if (slot.pending) libusb_cancel_transfer(slot.transfer);
  }
  return settled_.wait_for(lock, DrainLimit, [this] { return pending_ == 0; });
}

void ReceivePump::ParkLocked() {
  resubmit_ = false;
  parked_ = true;
  for (Slot& slot : transfers_->list) {
    if (slot.pending) libusb_cancel_transfer(slot.transfer);
  }
}

void ReceivePump::EndLocked(const std::string& why) {
  if (!gone_) failure_ = why;
  gone_ = true;
  arrived_.notify_all();
  settled_.notify_all();
}

void ReceivePump::Resume() {
  {
    std::unique_lock lock(mutex_);
    lastCall_ = Clock::now();
    if (!parked_ || gone_) return;
    if (!settled_.wait_for(lock, DrainLimit, [this] { return pending_ == 0; })) {
      EndLocked("parked transfers never came back");
      return;
    }
  }
  SubmitAll();
}

void ReceivePump::OnTransfer(libusb_transfer* transfer) {
  Slot& slot = *static_cast<Slot*>(transfer->user_data);
  slot.pump->Completed(slot);
}

void ReceivePump::Completed(Slot& slot) {
  const libusb_transfer& transfer = *slot.transfer;
  {
    const std::lock_guard lock(mutex_);
    ++completions_;
    slot.pending = false;
    // A cancelled transfer may still bring what it had.
    if (slot.sequence > discardThrough_) Take(transfer.buffer, transfer.actual_length);
    switch (transfer.status) {
      case LIBUSB_TRANSFER_COMPLETED:
        inErrors_ = 0;
        break;
      case LIBUSB_TRANSFER_CANCELLED:
        break;
      case LIBUSB_TRANSFER_NO_DEVICE:
        EndLocked("the cable has left the bus");
        break;
      default:
        // A transaction error (or a stall, or a timeout): the chip still
        // holds what it did not send, so the transfer goes out again.
        if (++inErrors_ >= InErrorLimit) EndLocked("every read transfer fails");
        break;
    }
    if (resubmit_ && !gone_ && readers_ == 0 && Clock::now() - lastCall_ >= IdleAfter) ParkLocked();
    if (!resubmit_ || gone_) {
      --pending_;
      // The last use of this object: a waiting Stop may end it once the
      // lock is released.
      settled_.notify_all();
      return;
    }
    slot.sequence = ++submitted_;
    slot.pending = true;
  }
  Submit(slot);
}

void ReceivePump::Take(const std::uint8_t* bytes, int length) {
  const std::size_t before = ringSize_;
  for (int at = 0; at + StatusBytes <= length; at += setup_.packetBytes) {
    const std::uint8_t line = bytes[at + 1];
    errors_.overrun += (line & OverrunError) != 0 ? 1 : 0;
    errors_.parity += (line & ParityError) != 0 ? 1 : 0;
    errors_.framing += (line & FramingError) != 0 ? 1 : 0;
    errors_.breaks += (line & BreakInterrupt) != 0 ? 1 : 0;
    const std::size_t payload = static_cast<std::size_t>(std::min(length, at + setup_.packetBytes) - at) -
                                static_cast<std::size_t>(StatusBytes);
    const std::size_t kept = std::min(payload, ring_.size() - ringSize_);
    if (kept < payload) ++errors_.overrun;
    const std::uint8_t* from = bytes + at + StatusBytes;
    for (std::size_t i = 0; i < kept; ++i) ring_[(ringStart_ + ringSize_ + i) % ring_.size()] = from[i];
    ringSize_ += kept;
  }
  if (ringSize_ > before) arrived_.notify_all();
}

ReceivePump::Received ReceivePump::Read(std::uint8_t* destination, std::uint32_t count,
                                        std::chrono::milliseconds timeout) {
  Resume();
  std::unique_lock lock(mutex_);
  const auto ready = [&] { return ringSize_ >= count || gone_; };
  ++readers_;
  if (timeout.count() > 0) {
    arrived_.wait_for(lock, timeout, ready);
  } else {
    arrived_.wait(lock, ready);
  }
  --readers_;
  lastCall_ = Clock::now();
  const std::size_t taken = std::min<std::size_t>(count, ringSize_);
  for (std::size_t i = 0; i < taken; ++i) destination[i] = ring_[(ringStart_ + i) % ring_.size()];
  ringStart_ = ringSize_ == taken ? 0 : (ringStart_ + taken) % ring_.size();
  ringSize_ -= taken;
  return {static_cast<std::uint32_t>(taken), gone_};
}

bool ReceivePump::Purge(const std::function<bool()>& purgeChip) {
  Resume();
  const bool purged = purgeChip();
  const std::lock_guard lock(mutex_);
  // A bulk IN endpoint fills its transfers one at a time, in order. Bytes
  // from before the chip's purge can only be in the oldest pending transfer
  // that is still being filled, or in those ahead of it that have completed
  // and wait for their callback: cancelling one of those fails (not found),
  // so the cancelling goes on until one is still pending in the host. Those
  // behind it hold nothing, whatever their number.
  std::uint64_t through = discardThrough_;
  while (true) {
    Slot* oldest = nullptr;
    for (Slot& slot : transfers_->list) {
      if (slot.pending && slot.sequence > through && (oldest == nullptr || slot.sequence < oldest->sequence))
        oldest = &slot;
    }
    if (oldest == nullptr) break;
    through = oldest->sequence;
    if (libusb_cancel_transfer(oldest->transfer) != LIBUSB_ERROR_NOT_FOUND) break;
  }
  discardThrough_ = through;
  ringStart_ = 0;
  ringSize_ = 0;
  return purged;
}

bool ReceivePump::Resize(int transferBytes) {
  if (transferBytes == setup_.transferBytes) return !Gone();
  if (!Drain()) {
    const std::lock_guard lock(mutex_);
    EndLocked("cancelled transfers never came back");
    return false;
  }
  bool allocated = false;
  try {
    allocated = Allocate(transferBytes);
  } catch (const std::bad_alloc&) {
  }
  // The old transfers, idle, serve on when the new ones cannot be had.
  SubmitAll();
  return allocated && !Gone();
}

bool ReceivePump::Gone() const {
  const std::lock_guard lock(mutex_);
  return gone_;
}

std::string ReceivePump::Failure() const {
  const std::lock_guard lock(mutex_);
  return failure_;
}

bool ReceivePump::Parked() const {
  const std::lock_guard lock(mutex_);
  return parked_;
}

LineErrorCounts ReceivePump::Errors() const {
  const std::lock_guard lock(mutex_);
  return errors_;
}

std::uint64_t ReceivePump::Completions() const {
  const std::lock_guard lock(mutex_);
  return completions_;
}

}  // namespace kelvo
