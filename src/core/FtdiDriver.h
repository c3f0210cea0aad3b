#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

// The handle of an open FTDI device; 0 means no device.
using FT_HANDLE = std::uintptr_t;
using FT_STATUS = std::uint32_t;

// D2XX status values.
inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

// D2XX constants.
inline constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2;
// FT_GetDeviceInfoDetail's string buffers, NUL included.
inline constexpr std::size_t FT_SERIAL_NUMBER_SIZE = 16;
inline constexpr std::size_t FT_DESCRIPTION_SIZE = 64;
// FT_GetDeviceInfoDetail's flags: another program has the device open.
inline constexpr std::uint32_t FT_FLAGS_OPENED = 1;
inline constexpr std::uint32_t FT_PURGE_RX = 1;
inline constexpr std::uint32_t FT_PURGE_TX = 2;
inline constexpr std::uint16_t FT_FLOW_NONE = 0x0000;
inline constexpr std::uint16_t FT_FLOW_RTS_CTS = 0x0100;
inline constexpr std::uint16_t FT_FLOW_DTR_DSR = 0x0200;
inline constexpr std::uint16_t FT_FLOW_XON_XOFF = 0x0400;
inline constexpr std::uint8_t FT_BITS_7 = 7;
inline constexpr std::uint8_t FT_BITS_8 = 8;
inline constexpr std::uint8_t FT_STOP_BITS_1 = 0;
inline constexpr std::uint8_t FT_STOP_BITS_2 = 2;
inline constexpr std::uint8_t FT_PARITY_NONE = 0;
// NONE, ODD, EVEN, MARK, SPACE: libftdi1 numbers them the same way.
inline constexpr std::uint8_t FT_PARITY_SPACE = 4;

// What the chip's status bytes reported on the receive side since the device
// was opened, one count per packet that carried the bit: bytes from the line
// lost because the chip's receive buffer was full (overrun), bytes received
// with a parity or framing error, and a break on the line.
struct LineErrorCounts {
  std::uint64_t overrun = 0;
  std::uint64_t parity = 0;
  std::uint64_t framing = 0;
  std::uint64_t breaks = 0;
  friend bool operator==(const LineErrorCounts&, const LineErrorCounts&) = default;
};

// Exactly the D2XX calls the updater makes, so the real cable and the
// simulated board are interchangeable behind it. Argument order follows D2XX.
class FtdiDriver {
 public:
  virtual ~FtdiDriver() = default;

  // `description` is NUL-terminated; on success the handle is stored in
  // `handle`, on failure nothing is stored.
  virtual FT_STATUS FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) = 0;
  virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
  virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) = 0;
  virtual FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                      std::uint8_t xoff) = 0;
  virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) = 0;
  virtual FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                        std::uint32_t outTransferSize) = 0;
  virtual FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                              std::uint8_t stopBits, std::uint8_t parity) = 0;
  virtual FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                                std::uint8_t errorChar, std::uint8_t errorCharEnabled) = 0;
  virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                   std::uint32_t writeTimeoutMs) = 0;
  // Takes `count` bytes for sending; `written` receives how many were taken.
  virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                             std::uint32_t* written) = 0;
  // Returns once `count` bytes have arrived or the read timeout has passed,
  // whichever is first; `delivered` receives how many were stored. Waits
  // without spinning the CPU.
  virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count,
                            std::uint32_t* delivered) = 0;
  // `mask` is FT_PURGE_RX, FT_PURGE_TX or both.
  virtual FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) = 0;

  // Listing the attached cables, for the command line that flashes several
  // boards. Drivers that only ever open by description need not offer it.
  // Takes a fresh snapshot of the attached devices; `count` receives its size.
  virtual FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* count) {
    if (count != nullptr) *count = 0;
    return FT_NOT_SUPPORTED;
  }
  // Entry `index` of the last snapshot. `serialNumber` takes up to
  // FT_SERIAL_NUMBER_SIZE and `description` up to FT_DESCRIPTION_SIZE bytes,
  // NUL-terminated; `handle` is the entry's handle if this driver holds it open.
  virtual FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                           std::uint32_t* id, std::uint32_t* locId, char* serialNumber,
                                           char* description, FT_HANDLE* handle) {
    (void)index, (void)flags, (void)type, (void)id, (void)locId, (void)serialNumber, (void)description,
        (void)handle;
    return FT_NOT_SUPPORTED;
  }

  // The device behind an open handle: its type, vendor << 16 | product id,
  // serial number (up to FT_SERIAL_NUMBER_SIZE bytes) and description (up to
  // FT_DESCRIPTION_SIZE bytes), NUL-terminated. Tells which of several
  // cables with one description an open by description took.
  virtual FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                     char* serialNumber, char* description) {
    (void)handle, (void)type, (void)id, (void)serialNumber, (void)description;
    return FT_NOT_SUPPORTED;
  }

  // Not a D2XX call: the line errors counted on an open device. A driver
  // that never sees the chip's status bytes counts none.
  virtual LineErrorCounts LineErrors(FT_HANDLE handle) {
    (void)handle;
    return {};
  }
};

}  // namespace kelvo
