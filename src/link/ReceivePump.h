#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/FtdiDriver.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace kelvo {

// The receive side of one open FTDI device. An FT232R holds only 256 bytes
// from the line and loses what arrives while they wait, so from Start to
// Stop a few bulk IN transfers are always pending, also while the caller
// writes, and a thread of this object's own handles libusb's events. What
// they bring, less the two status bytes of every packet, waits here for Read.
class ReceivePump {
 public:
  struct Setup {
    libusb_context* context = nullptr;  // the device's own libusb context
    libusb_device_handle* device = nullptr;
    unsigned char endpoint = 0;  // bulk IN
    int packetBytes = 64;        // each packet starts with 2 status bytes
    int transferBytes = 4096;    // a multiple of packetBytes
    int transfers = 4;           // kept pending at all times
  };
  explicit ReceivePump(const Setup& setup);
  ~ReceivePump();
  ReceivePump(const ReceivePump&) = delete;
  ReceivePump& operator=(const ReceivePump&) = delete;

  // Submits the transfers and starts the thread; false when the device took
  // none of them (nothing is left running then).
  bool Start();
  // Cancels every transfer, waits for all their callbacks, then stops and
  // joins the thread. The device may be closed afterwards.
  void Stop();

  struct Received {
    std::uint32_t count = 0;
    bool gone = false;  // the device has left the bus (or its IN side failed)
  };
  // Takes up to `count` bytes: returns once they are all here, the device is
  // gone, or `timeout` has passed (0: no limit). Waits without spinning.
  Received Read(std::uint8_t* destination, std::uint32_t count, std::chrono::milliseconds timeout);
  // Nothing from before the call is delivered after it: the pending
  // transfers are cancelled and drained (while `purgeChip` empties the
  // chip), the buffer is cleared, and the transfers go out again. Returns
  // purgeChip's answer.
  bool Purge(const std::function<bool()>& purgeChip);
  // Transfers of another size from now on (a multiple of the packet size).
  void Resize(int transferBytes);

  bool Gone() const;
  LineErrorCounts Errors() const;
  // Transfers that have completed since Start, data or not: each is one
  // wake-up of the thread that handles the events.
  std::uint64_t Completions() const;

  // More than the host could fail to read in a minute at 125000 baud;
  // bytes past it are lost and counted as an overrun.
  static constexpr std::size_t BufferLimit = 1u << 20;

 private:
  static void OnTransfer(libusb_transfer* transfer);
  void Completed(libusb_transfer* transfer);
  // Callers hold mutex_.
  void Take(const std::uint8_t* bytes, int length);
  void Submit(libusb_transfer* transfer);
  void SubmitAll();
  void CancelAll();
  void WaitDrained();
  void Drain();
  void Allocate(int transferBytes);
  void Release();
  void Run();

  Setup setup_;
  std::vector<libusb_transfer*> transfers_;
  std::vector<std::vector<std::uint8_t>> buffers_;

  mutable std::mutex mutex_;
  std::condition_variable arrived_;  // bytes came, or the device went
  std::condition_variable settled_;  // a transfer's callback has ended it
  std::deque<std::uint8_t> buffer_;
  int pending_ = 0;        // submitted transfers whose callback has not ended them
  bool resubmit_ = false;  // completed transfers go out again
  bool gone_ = false;
  LineErrorCounts errors_;
  std::uint64_t completions_ = 0;

  std::atomic<bool> quit_ = false;
  std::thread thread_;
};

}  // namespace kelvo
