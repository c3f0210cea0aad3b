#include "link/TracingDriver.h"

namespace kelvo {

TracingDriver::TracingDriver(FtdiDriver& inner, Sink sink, std::optional<std::string> serial,
                             std::chrono::steady_clock::time_point start)
    : inner_(inner), sink_(std::move(sink)), serial_(std::move(serial)), start_(start) {}

double TracingDriver::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

std::string TracingDriver::ChangedLineErrors(FT_HANDLE handle) {
  const LineErrorCounts now = inner_.LineErrors(handle);
  const auto shown = shownErrors_.find(handle);
  if (now == (shown != shownErrors_.end() ? shown->second : LineErrorCounts{})) return {};
  shownErrors_[handle] = now;
  return LineErrorsMember(now);
}

FT_STATUS TracingDriver::Numbers(const char* call, FT_HANDLE handle, FT_STATUS status,
                                 std::initializer_list<long long> values) {
  TraceLine line = Line(call);
  for (const long long value : values) line.Number(value);
  sink_(line.Finish(status, ChangedLineErrors(handle)));
  return status;
}

FT_STATUS TracingDriver::FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) {
  const FT_STATUS status = inner_.FT_OpenEx(description, flags, handle);
  TraceLine line = Line("FT_OpenEx");
  line.String(description != nullptr ? description : "").Number(flags);
  sink_(line.Finish(status));
  return status;
}

FT_STATUS TracingDriver::FT_Close(FT_HANDLE handle) {
  // Read while the device is still open.
  const std::string errors = ChangedLineErrors(handle);
  const FT_STATUS status = inner_.FT_Close(handle);
  shownErrors_.erase(handle);
  sink_(Line("FT_Close").Finish(status, errors));
  return status;
}

FT_STATUS TracingDriver::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
  return Numbers("FT_SetBaudRate", handle, inner_.FT_SetBaudRate(handle, baudRate), {baudRate});
}

FT_STATUS TracingDriver::FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                           std::uint8_t xoff) {
  return Numbers("FT_SetFlowControl", handle, inner_.FT_SetFlowControl(handle, flowControl, xon, xoff),
                 {flowControl, xon, xoff});
}

FT_STATUS TracingDriver::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) {
  return Numbers("FT_SetLatencyTimer", handle, inner_.FT_SetLatencyTimer(handle, milliseconds),
                 {milliseconds});
}

FT_STATUS TracingDriver::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                             std::uint32_t outTransferSize) {
  return Numbers("FT_SetUSBParameters", handle,
                 inner_.FT_SetUSBParameters(handle, inTransferSize, outTransferSize),
                 {inTransferSize, outTransferSize});
}

FT_STATUS TracingDriver::FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                                   std::uint8_t stopBits, std::uint8_t parity) {
  return Numbers("FT_SetDataCharacteristics", handle,
                 inner_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity),
                 {wordLength, stopBits, parity});
}

FT_STATUS TracingDriver::FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                                     std::uint8_t errorChar, std::uint8_t errorCharEnabled) {
  return Numbers("FT_SetChars", handle,
                 inner_.FT_SetChars(handle, eventChar, eventCharEnabled, errorChar, errorCharEnabled),
                 {eventChar, eventCharEnabled, errorChar, errorCharEnabled});
}

FT_STATUS TracingDriver::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                        std::uint32_t writeTimeoutMs) {
  return Numbers("FT_SetTimeouts", handle, inner_.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs),
                 {readTimeoutMs, writeTimeoutMs});
}

FT_STATUS TracingDriver::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                                  std::uint32_t* written) {
  const FT_STATUS status = inner_.FT_Write(handle, buffer, count, written);
  TraceLine line = Line("FT_Write");
  line.Hex(static_cast<const std::uint8_t*>(buffer), buffer != nullptr ? count : 0).Number(count);
  sink_(line.Finish(status, ChangedLineErrors(handle)));
  return status;
}

FT_STATUS TracingDriver::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count,
                                 std::uint32_t* delivered) {
  std::uint32_t got = 0;
  const FT_STATUS status = inner_.FT_Read(handle, buffer, count, &got);
  if (delivered != nullptr) *delivered = got;
  return Numbers("FT_Read", handle, status, {count, got});
}

FT_STATUS TracingDriver::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
  return Numbers("FT_Purge", handle, inner_.FT_Purge(handle, mask), {mask});
}

FT_STATUS TracingDriver::FT_CreateDeviceInfoList(std::uint32_t* count) {
  std::uint32_t listed = 0;
  const FT_STATUS status = inner_.FT_CreateDeviceInfoList(&listed);
  if (count != nullptr) *count = listed;
  return Numbers("FT_CreateDeviceInfoList", 0, status, {listed});
}

FT_STATUS TracingDriver::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                                std::uint32_t* type, std::uint32_t* id, std::uint32_t* locId,
                                                char* serialNumber, char* description, FT_HANDLE* handle) {
  const FT_STATUS status =
      inner_.FT_GetDeviceInfoDetail(index, flags, type, id, locId, serialNumber, description, handle);
  TraceLine line = Line("FT_GetDeviceInfoDetail");
  line.Number(index);
  line.String(status == FT_OK && serialNumber != nullptr ? serialNumber : "");
  line.String(status == FT_OK && description != nullptr ? description : "");
  sink_(line.Finish(status));
  return status;
}

FT_STATUS TracingDriver::FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                          char* serialNumber, char* description) {
  const FT_STATUS status = inner_.FT_GetDeviceInfo(handle, type, id, serialNumber, description);
  const bool told = status == FT_OK && serialNumber != nullptr;
  // A cable opened by description is known by its serial from here on.
  if (told && serial_ && serial_->empty()) serial_ = serialNumber;
  TraceLine line = Line("FT_GetDeviceInfo");
  line.String(told ? serialNumber : "");
  line.String(status == FT_OK && description != nullptr ? description : "");
  sink_(line.Finish(status));
  return status;
}

}  // namespace kelvo
