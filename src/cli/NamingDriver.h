#pragma once

#include <array>
#include <functional>
#include <string>

#include "core/FtdiDriver.h"

namespace kelvo::cli {

// The driver of a board whose cable is opened by description, as the window
// opens it: passes every call on, and once an open succeeds tells `named`
// the serial read from the handle it stored. With several cables of one
// description the driver takes one of them, and only the handle says which.
class NamingDriver final : public FtdiDriver {
 public:
  NamingDriver(FtdiDriver& inner, std::function<void(const std::string& serial)> named)
      : inner_(inner), named_(std::move(named)) {}

  FT_STATUS FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) override {
    const FT_STATUS status = inner_.FT_OpenEx(description, flags, handle);
    std::array<char, FT_SERIAL_NUMBER_SIZE> serial{};
    if (status == FT_OK && handle != nullptr &&
        inner_.FT_GetDeviceInfo(*handle, nullptr, nullptr, serial.data(), nullptr) == FT_OK && serial[0] != 0)
      named_(serial.data());
    return status;
  }
  FT_STATUS FT_Close(FT_HANDLE handle) override { return inner_.FT_Close(handle); }
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override {
    return inner_.FT_SetBaudRate(handle, baudRate);
  }
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                              std::uint8_t xoff) override {
    return inner_.FT_SetFlowControl(handle, flowControl, xon, xoff);
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) override {
    return inner_.FT_SetLatencyTimer(handle, milliseconds);
  }
  FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) override {
    return inner_.FT_SetUSBParameters(handle, inTransferSize, outTransferSize);
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                      std::uint8_t parity) override {
    return inner_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
  }
  FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                        std::uint8_t errorChar, std::uint8_t errorCharEnabled) override {
    return inner_.FT_SetChars(handle, eventChar, eventCharEnabled, errorChar, errorCharEnabled);
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                           std::uint32_t writeTimeoutMs) override {
    return inner_.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs);
  }
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                     std::uint32_t* written) override {
    return inner_.FT_Write(handle, buffer, count, written);
  }
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* delivered) override {
    return inner_.FT_Read(handle, buffer, count, delivered);
  }
  FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) override { return inner_.FT_Purge(handle, mask); }
  LineErrorCounts LineErrors(FT_HANDLE handle) override { return inner_.LineErrors(handle); }

 private:
  FtdiDriver& inner_;
  std::function<void(const std::string&)> named_;
};

}  // namespace kelvo::cli
