#pragma once

#include <memory>
#include <string>

#include "core/FtdiDriver.h"

namespace kelvo {

// The real cable on Windows, through the cable vendor's D2XX driver
// (ftd2xx.dll), loaded when the driver object is made. Its calls are exactly
// the seam's, so each one is passed on as it is. The vendor's driver reads
// from the cable on its own all the time, so nothing here waits or buffers.
class D2xxDriver final : public FtdiDriver {
 public:
  // The vendor's file name. A bare name is looked for in the program's own
  // folder, then in the system's (never the current folder or PATH); a path
  // is loaded as it is.
  static constexpr char DefaultLibrary[] = "ftd2xx.dll";

  explicit D2xxDriver(const std::string& library = DefaultLibrary);
  ~D2xxDriver() override;
  D2xxDriver(const D2xxDriver&) = delete;
  D2xxDriver& operator=(const D2xxDriver&) = delete;

  // Why the cables cannot be reached, in one line that names the driver: the
  // DLL is missing or lacks a call. Empty once it is loaded. Without it,
  // FT_OpenEx finds no device and a handle is never valid.
  const std::string& LoadError() const { return loadError_; }
  // The last call that failed and its status; successes leave it alone.
  const std::string& LastError() const { return lastError_; }

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

 private:
  struct Calls;
  // Records `call` and `status` when the call failed; returns `status`.
  FT_STATUS Note(const char* call, FT_STATUS status);

  std::unique_ptr<Calls> calls_;  // null when the driver could not be loaded
  std::string loadError_;
  std::string lastError_;
};

}  // namespace kelvo
