#include "link/ReceivePump.h"

#include <libusb.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace kelvo {
namespace {

constexpr int StatusBytes = 2;
// The second status byte of every packet: the line's state.
constexpr std::uint8_t OverrunError = 0x02;
constexpr std::uint8_t ParityError = 0x04;
constexpr std::uint8_t FramingError = 0x08;
constexpr std::uint8_t BreakInterrupt = 0x10;

}  // namespace

ReceivePump::ReceivePump(const Setup& setup) : setup_(setup) {}

ReceivePump::~ReceivePump() { Stop(); }

bool ReceivePump::Start() {
  Allocate(setup_.transferBytes);
  if (transfers_.empty()) return false;
  quit_ = false;
  thread_ = std::thread([this] { Run(); });
  SubmitAll();
  if (!Gone()) return true;
  Stop();
  return false;
}

void ReceivePump::Stop() {
  if (!thread_.joinable()) return;
  // Only the thread delivers the cancellations, so it stops last.
  Drain();
  quit_ = true;
  libusb_interrupt_event_handler(setup_.context);
  thread_.join();
  Release();
}

void ReceivePump::Run() {
  // With every pending transfer used up, the chip's buffer lasts about 20 ms
  // at 125000 baud; a busy machine can keep an ordinary thread waiting longer
  // than that. Where the system allows it, this thread takes the lowest
  // real-time priority; it waits in libusb and never spins, so that costs
  // the rest of the machine nothing. Without the right it stays as it is.
  sched_param lowest{};
  lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest);
  while (!quit_) {
    timeval tick{1, 0};
    const int result = libusb_handle_events_timeout_completed(setup_.context, &tick, nullptr);
    // A failure that repeats must not make the thread spin.
    if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED && !quit_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void ReceivePump::Allocate(int transferBytes) {
  setup_.transferBytes = transferBytes;
  for (int i = 0; i < setup_.transfers; ++i) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) continue;
    std::vector<std::uint8_t>& buffer = buffers_.emplace_back(static_cast<std::size_t>(transferBytes));
    // No timeout: the chip answers every latency period by itself.
    libusb_fill_bulk_transfer(transfer, setup_.device, setup_.endpoint, buffer.data(), transferBytes,
                              OnTransfer, this, 0);
    transfers_.push_back(transfer);
  }
}

void ReceivePump::Release() {
  for (libusb_transfer* transfer : transfers_) libusb_free_transfer(transfer);
  transfers_.clear();
  buffers_.clear();
}

void ReceivePump::SubmitAll() {
  {
    const std::lock_guard lock(mutex_);
    if (gone_) return;
    resubmit_ = true;
    pending_ += static_cast<int>(transfers_.size());
  }
  for (libusb_transfer* transfer : transfers_) Submit(transfer);
}

void ReceivePump::Submit(libusb_transfer* transfer) {
  // No lock around libusb: its callbacks, in whichever thread handles the
  // events (a synchronous write's too), take mutex_.
  const int result = libusb_submit_transfer(transfer);
  bool missedDrain = false;
  {
    const std::lock_guard lock(mutex_);
    if (result != 0) {
      --pending_;
      gone_ = true;
      arrived_.notify_all();
      settled_.notify_all();
      return;
    }
    missedDrain = !resubmit_;
  }
  // A drain began while this transfer was on its way out and found nothing
  // to cancel. Only a callback gets here then, and while it runs no other
  // callback can end this transfer.
  if (missedDrain) libusb_cancel_transfer(transfer);
}

void ReceivePump::CancelAll() {
  {
    const std::lock_guard lock(mutex_);
    resubmit_ = false;
  }
  // A transfer that is not pending (any more) answers with an error.
  for (libusb_transfer* transfer : transfers_) libusb_cancel_transfer(transfer);
}

void ReceivePump::WaitDrained() {
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [this] { return pending_ == 0; });
}

void ReceivePump::Drain() {
  CancelAll();
  WaitDrained();
}

void ReceivePump::OnTransfer(libusb_transfer* transfer) {
  static_cast<ReceivePump*>(transfer->user_data)->Completed(transfer);
}

void ReceivePump::Completed(libusb_transfer* transfer) {
  {
    const std::lock_guard lock(mutex_);
    ++completions_;
    // A cancelled transfer may still bring what it had; a purge clears it.
    Take(transfer->buffer, transfer->actual_length);
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED && transfer->status != LIBUSB_TRANSFER_CANCELLED) {
      // The cable has gone (NO_DEVICE). An attached FT232R fails a bulk IN
      // in no other way, so any other failure ends the receive side too.
      gone_ = true;
      arrived_.notify_all();
    }
    if (!resubmit_ || gone_) {
      --pending_;
      // The last use of this object: a waiting Stop may end it once the
      // lock is released.
      settled_.notify_all();
      return;
    }
  }
  Submit(transfer);
}

void ReceivePump::Take(const std::uint8_t* bytes, int length) {
  const std::size_t before = buffer_.size();
  for (int at = 0; at + StatusBytes <= length; at += setup_.packetBytes) {
    const std::uint8_t line = bytes[at + 1];
    errors_.overrun += (line & OverrunError) != 0 ? 1 : 0;
    errors_.parity += (line & ParityError) != 0 ? 1 : 0;
    errors_.framing += (line & FramingError) != 0 ? 1 : 0;
    errors_.breaks += (line & BreakInterrupt) != 0 ? 1 : 0;
    const int end = std::min(length, at + setup_.packetBytes);
    const auto room = static_cast<int>(BufferLimit - buffer_.size());
    const int kept = std::min(end - at - StatusBytes, room);
    if (kept < end - at - StatusBytes) ++errors_.overrun;
    buffer_.insert(buffer_.end(), bytes + at + StatusBytes, bytes + at + StatusBytes + kept);
  }
  if (buffer_.size() > before) arrived_.notify_all();
}

ReceivePump::Received ReceivePump::Read(std::uint8_t* destination, std::uint32_t count,
                                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const auto ready = [&] { return buffer_.size() >= count || gone_; };
  if (timeout.count() > 0) {
    arrived_.wait_for(lock, timeout, ready);
  } else {
    arrived_.wait(lock, ready);
  }
  const auto taken = static_cast<std::uint32_t>(std::min<std::size_t>(count, buffer_.size()));
  std::copy_n(buffer_.begin(), taken, destination);
  buffer_.erase(buffer_.begin(), buffer_.begin() + taken);
  return {taken, gone_};
}

bool ReceivePump::Purge(const std::function<bool()>& purgeChip) {
  // The cancellations complete while the chip is purged; what the transfers
  // took meanwhile is cleared with the rest.
  CancelAll();
  const bool purged = purgeChip();
  WaitDrained();
  {
    const std::lock_guard lock(mutex_);
    buffer_.clear();
  }
  SubmitAll();
  return purged;
}

void ReceivePump::Resize(int transferBytes) {
  if (transferBytes == setup_.transferBytes) return;
  Drain();
  Release();
  Allocate(transferBytes);
  SubmitAll();
}

bool ReceivePump::Gone() const {
  const std::lock_guard lock(mutex_);
  return gone_;
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
