#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "core/FtdiDriver.h"
#include "link/TraceJson.h"

namespace kelvo {

// Passes every call to another driver and reports it as one JSON trace line
// (call, arguments, status, ms since `start`), so a run on the real cable can
// be read and replayed like one on the simulated link. With a `serial`, every
// line names the cable, for a trace that several cables share; an empty one
// (a cable opened by description) becomes the serial that FT_GetDeviceInfo
// reads from the open handle. A call after
// which the device's line error counts differ from those last shown carries
// them all ("lineErrors").
class TracingDriver final : public FtdiDriver {
 public:
  using Sink = std::function<void(const std::string& line)>;
  TracingDriver(FtdiDriver& inner, Sink sink, std::optional<std::string> serial = std::nullopt,
                std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());

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
  LineErrorCounts LineErrors(FT_HANDLE handle) override { return inner_.LineErrors(handle); }

  // Milliseconds since `start`, the trace lines' "t".
  double NowMs() const;

 private:
  TraceLine Line(const char* call) const { return TraceLine(NowMs(), call, serial_); }
  FT_STATUS Numbers(const char* call, FT_HANDLE handle, FT_STATUS status,
                    std::initializer_list<long long> values);
  // The "lineErrors" member when the counts of `handle` changed since last
  // shown; empty otherwise.
  std::string ChangedLineErrors(FT_HANDLE handle);

  FtdiDriver& inner_;
  Sink sink_;
  std::optional<std::string> serial_;
  std::chrono::steady_clock::time_point start_;
  std::map<FT_HANDLE, LineErrorCounts> shownErrors_;
};

}  // namespace kelvo
