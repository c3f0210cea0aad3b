#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/FtdiDriver.h"
#include "link/ReceivePump.h"

struct ftdi_context;
struct ftdi_device_list;
struct libusb_device;

namespace kelvo {

// The pieces of the cable driver that need no USB: argument checks, the
// mapping of D2XX values and libftdi1 results, and the write loop.
// They live apart so that a machine without a cable can still check them.
namespace libftdi {

// libftdi1's flow-control mode (SIO_*) for a D2XX FT_FLOW_* value; nullopt
// for a value D2XX does not define.
std::optional<int> FlowControlMode(std::uint16_t flowControl);

// A line setting in libftdi1's enum values (ftdi_bits_type,
// ftdi_stopbits_type, ftdi_parity_type).
struct LineProperty {
  int bits = 0;
  int stopBits = 0;
  int parity = 0;
  friend bool operator==(const LineProperty&, const LineProperty&) = default;
};
// nullopt for D2XX values that have no libftdi1 counterpart.
std::optional<LineProperty> LinePropertyFor(std::uint8_t wordLength, std::uint8_t stopBits,
                                            std::uint8_t parity);

// FT_OK, or FT_INVALID_BAUD_RATE for a rate that cannot be handed to libftdi1.
FT_STATUS CheckBaudRate(std::uint32_t baudRate);
// The D2XX status for a result of ftdi_set_baudrate.
FT_STATUS BaudRateStatus(int result);

// The latency timer takes 1 to 255 ms.
bool IsValidLatency(std::uint8_t milliseconds);

// FT_OK or FT_INVALID_PARAMETER. Transfer sizes are multiples of 64 bytes up
// to 64 KiB; an OUT size of 0 keeps the current one.
FT_STATUS CheckUsbParameters(std::uint32_t inTransferSize, std::uint32_t outTransferSize);

struct PurgeSides {
  bool rx = false;
  bool tx = false;
};
// nullopt for a mask that is not FT_PURGE_RX, FT_PURGE_TX or both.
std::optional<PurgeSides> PurgeSidesFor(std::uint32_t mask);

// The D2XX status for a result of ftdi_usb_find_all.
FT_STATUS FindAllStatus(int result);

// libftdi1's own default for USB transfer timeouts.
inline constexpr int DefaultUsbTimeoutMs = 5000;
// The USB timeout for writes under a D2XX write timeout (0: none).
int UsbWriteTimeoutMs(std::uint32_t writeTimeoutMs);

struct Transfer {
  FT_STATUS status = FT_OK;
  std::uint32_t count = 0;
};

// One libftdi1 write: takes up to `size` bytes and returns how many, or a
// negative USB error.
using ChunkWriter = std::function<int(const std::uint8_t* source, int size)>;

// A string the kernel read from a device at enumeration ("product",
// "serial"), found in sysfs by the device's bus and port path; nullopt if there
// is none. Lets a device that this user may not open still be recognised.
std::optional<std::string> SysfsString(libusb_device* device, const char* attribute);

// The devices of a libftdi1 list by bus and address: the order they were
// plugged in (libusb lists the newest first). Open by description takes the
// first match in this order, and listings show it.
std::vector<libusb_device*> InBusOrder(ftdi_device_list* list);

// Calls `writeSome` until all `count` bytes are taken. A USB error, or a call
// that takes nothing, is FT_IO_ERROR with the count taken before it.
Transfer WriteAll(const ChunkWriter& writeSome, const std::uint8_t* source, std::uint32_t count);

}  // namespace libftdi

// The real cable, through libftdi1. Each open device has its own libftdi1
// context and its own receive pump, which reads the cable from open to close;
// handles are small numbers never reused within one driver object.
class LibFtdiDriver final : public FtdiDriver {
 public:
  LibFtdiDriver();
  ~LibFtdiDriver() override;
  LibFtdiDriver(const LibFtdiDriver&) = delete;
  LibFtdiDriver& operator=(const LibFtdiDriver&) = delete;

  FT_STATUS FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override;
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                              std::uint8_t xoff) override;
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) override;
  FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) override;
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                      std::uint8_t parity) override;
  FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                        std::uint8_t errorChar, std::uint8_t errorCharEnabled) override;
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                           std::uint32_t writeTimeoutMs) override;
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                     std::uint32_t* written) override;
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* delivered) override;
  FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) override;
  FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* count) override;
  FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                   std::uint32_t* id, std::uint32_t* locId, char* serialNumber,
                                   char* description, FT_HANDLE* handle) override;
  FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id, char* serialNumber,
                             char* description) override;
  LineErrorCounts LineErrors(FT_HANDLE handle) override;

  // IN transfers completed on an open device since it was opened, data or
  // not; 0 for an unknown handle.
  std::uint64_t InTransfersCompleted(FT_HANDLE handle);
  // How the receive thread of an open device runs; not real-time for an
  // unknown handle.
  ReceivePriority ReceiveThreadPriority(FT_HANDLE handle) const;
  // Where the process may not take real-time priority for a receive thread
  // itself, devices opened from now on ask `request` for it.
  void AskForRealtimeWith(RealtimeRequest request) { askForRealtime_ = std::move(request); }

  // What went wrong in the last call that failed; successes leave it alone.
  const std::string& LastError() const { return lastError_; }
  // What the opens since the last successful one found, so that a start-up
  // without a cable can say why: which FTDI devices were on the bus, and
  // whether a matching cable was there but could not be opened.
  struct OpenReport {
    enum class Cause { None, Permission, Busy, Other };
    std::vector<std::string> seen;  // product strings of the FTDI devices listed by the last open
    std::string refused;            // the description of a cable that could not be opened
    Cause cause = Cause::None;
    std::string reason;  // libftdi1's words, and the system's
  };
  const OpenReport& LastOpen() const { return lastOpen_; }
  // How many devices this driver holds open.
  std::size_t OpenCount() const { return devices_.size(); }

  // Until FT_SetTimeouts says otherwise.
  static constexpr std::uint32_t DefaultReadTimeoutMs = 250;
  // The receive pump's transfers until FT_SetUSBParameters says otherwise
  // (libftdi1's own default).
  static constexpr int DefaultInTransferBytes = 4096;

 private:
  struct ContextCloser {
    void operator()(ftdi_context* context) const;
  };
  using ContextPtr = std::unique_ptr<ftdi_context, ContextCloser>;

  struct Device {
    ContextPtr context;
    // Declared after the context, so stopped before the device is closed.
    std::unique_ptr<ReceivePump> pump;
    std::uint32_t readTimeoutMs = DefaultReadTimeoutMs;
  };

  // One attached cable as FT_CreateDeviceInfoList saw it.
  struct Listed {
    std::string serial;
    std::string description;
    std::uint32_t id = 0;  // vendor << 16 | product
    std::uint32_t locId = 0;
  };

  Device* Find(FT_HANDLE handle);
  const Device* Find(FT_HANDLE handle) const;
  // Find, for a call on the device: a parked receive pump resumes first.
  Device* Use(FT_HANDLE handle);
  FT_STATUS OpenBySerial(const char* serial, FT_HANDLE* handle);
  // A matching device that ftdi_usb_open_dev refused (`result`, errno
  // `reason`): the error text and LastOpen() say why; the device is let go.
  void NoteRefusedOpen(ftdi_context* context, int result, int reason, const std::string& description);
  // Starts the receive pump of a device just opened and hands out its
  // handle; 0 (the device closed, the error text saying why) when the pump
  // cannot start.
  FT_HANDLE Keep(ContextPtr context);
  // Records libftdi1's text for the failure just seen and returns `status`.
  FT_STATUS Fail(FT_STATUS status, ftdi_context* context, const char* what);
  FT_STATUS Fail(FT_STATUS status, std::string text);

  std::map<FT_HANDLE, Device> devices_;
  std::vector<Listed> listed_;
  FT_HANDLE nextHandle_ = 1;
  std::string lastError_;
  OpenReport lastOpen_;
  RealtimeRequest askForRealtime_;
};

}  // namespace kelvo
