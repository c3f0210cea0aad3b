#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/FtdiDriver.h"

namespace kelvo::test {

// One driver call as the updater made it and as the cable answered it.
struct DriverCall {
  enum class Kind { OpenEx, Close, Setting, Write, Read, Purge };
  Kind kind;
  std::string name;  // the D2XX function's name
  FT_STATUS status = FT_OK;
  // Write: the bytes handed to the driver. Read: the bytes delivered.
  std::vector<std::uint8_t> bytes;
  std::uint32_t count = 0;     // Write, Read: the count passed
  FT_HANDLE handleStored = 0;  // OpenEx: what the driver stored, 0 if nothing
};

// Passes every call through to another driver and keeps a copy of what went
// each way, bytes included, so a test can judge each exchange on the wire
// independently of what the updater concluded from it.
class RecordingDriver final : public FtdiDriver {
 public:
  explicit RecordingDriver(FtdiDriver& inner) : inner_(inner) {}

  FT_STATUS FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) override {
    FT_HANDLE stored = 0;
    const FT_STATUS status = inner_.FT_OpenEx(description, flags, &stored);
    // The driver stores nothing on failure; the caller's handle is left alone
    // exactly when the inner driver left `stored` alone.
    if (stored != 0 && handle != nullptr) *handle = stored;
    calls.push_back({DriverCall::Kind::OpenEx, "FT_OpenEx", status, {}, 0, stored});
    return status;
  }
  FT_STATUS FT_Close(FT_HANDLE handle) override {
    return Note(DriverCall::Kind::Close, "FT_Close", inner_.FT_Close(handle));
  }
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override {
    return Setting("FT_SetBaudRate", inner_.FT_SetBaudRate(handle, baudRate));
  }
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                              std::uint8_t xoff) override {
    return Setting("FT_SetFlowControl", inner_.FT_SetFlowControl(handle, flowControl, xon, xoff));
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) override {
    return Setting("FT_SetLatencyTimer", inner_.FT_SetLatencyTimer(handle, milliseconds));
  }
  FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) override {
    return Setting("FT_SetUSBParameters",
                   inner_.FT_SetUSBParameters(handle, inTransferSize, outTransferSize));
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                      std::uint8_t parity) override {
    return Setting("FT_SetDataCharacteristics",
                   inner_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity));
  }
  FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                        std::uint8_t errorChar, std::uint8_t errorCharEnabled) override {
    return Setting("FT_SetChars",
                   inner_.FT_SetChars(handle, eventChar, eventCharEnabled, errorChar, errorCharEnabled));
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                           std::uint32_t writeTimeoutMs) override {
    return Setting("FT_SetTimeouts", inner_.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs));
  }
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                     std::uint32_t* written) override {
    DriverCall call{DriverCall::Kind::Write, "FT_Write", FT_OK, {}, count, 0};
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (bytes != nullptr) call.bytes.assign(bytes, bytes + count);
    call.status = inner_.FT_Write(handle, buffer, count, written);
    calls.push_back(std::move(call));
    return calls.back().status;
  }
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* delivered) override {
    std::uint32_t got = 0;
    const FT_STATUS status = inner_.FT_Read(handle, buffer, count, &got);
    if (delivered != nullptr) *delivered = got;
    DriverCall call{DriverCall::Kind::Read, "FT_Read", status, {}, count, 0};
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (bytes != nullptr) call.bytes.assign(bytes, bytes + std::min(got, count));
    calls.push_back(std::move(call));
    return status;
  }
  FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) override {
    return Note(DriverCall::Kind::Purge, "FT_Purge", inner_.FT_Purge(handle, mask));
  }

  std::vector<DriverCall> calls;

 private:
  FT_STATUS Note(DriverCall::Kind kind, const char* name, FT_STATUS status) {
    calls.push_back({kind, name, status, {}, 0, 0});
    return status;
  }
  FT_STATUS Setting(const char* name, FT_STATUS status) {
    return Note(DriverCall::Kind::Setting, name, status);
  }

  FtdiDriver& inner_;
};

}  // namespace kelvo::test
