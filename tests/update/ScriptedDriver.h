#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "core/FtdiDriver.h"

namespace kelvo::test {

// A cable whose board is a script: it echoes what is written and then
// delivers what the test queued. Each queued arrival is delivered by one read
// call at most, so a test decides exactly how an answer is split; a read with
// nothing queued times out with nothing delivered.
class ScriptedDriver : public FtdiDriver {
 public:
  struct Arrival {
    std::vector<std::uint8_t> bytes;
    FT_STATUS status = FT_OK;
  };
  struct ReadCall {
    std::uint32_t asked;
    std::uint32_t delivered;
  };

  FT_STATUS FT_OpenEx(const char*, std::uint32_t, FT_HANDLE* handle) override {
    *handle = 1;
    return FT_OK;
  }
  FT_STATUS FT_Close(FT_HANDLE) override { return FT_OK; }
  FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return FT_OK; }
  FT_STATUS FT_SetFlowControl(FT_HANDLE, std::uint16_t, std::uint8_t, std::uint8_t) override { return FT_OK; }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE, std::uint8_t) override { return FT_OK; }
  FT_STATUS FT_SetUSBParameters(FT_HANDLE, std::uint32_t, std::uint32_t) override { return FT_OK; }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return FT_OK;
  }
  FT_STATUS FT_SetChars(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return FT_OK;
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE, std::uint32_t, std::uint32_t) override { return FT_OK; }

  FT_STATUS FT_Write(FT_HANDLE, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    writes.emplace_back(bytes, bytes + count);
    const std::size_t index = writes.size() - 1;
    if (index < writeStatuses.size() && writeStatuses[index] != FT_OK) return writeStatuses[index];
    *written = count;
    if (echo) {
      std::vector<std::uint8_t> echoed(bytes, bytes + count);
      if (echoShortBy > 0 && index == echoShortOnWrite) echoed.resize(echoed.size() - echoShortBy);
      if (!echoed.empty()) arrivals.push_back({std::move(echoed)});
    }
    if (onWrite) onWrite(index, writes.back());
    return FT_OK;
  }

  FT_STATUS FT_Read(FT_HANDLE, void* buffer, std::uint32_t count, std::uint32_t* delivered) override {
    *delivered = 0;
    FT_STATUS status = FT_OK;
    if (!arrivals.empty()) {
      Arrival& next = arrivals.front();
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, next.bytes.size()));
      std::memcpy(buffer, next.bytes.data(), n);
      next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
      status = next.status;
      if (next.bytes.empty()) arrivals.pop_front();
      *delivered = n;
    }
    reads.push_back({count, *delivered});
    return status;
  }

  FT_STATUS FT_Purge(FT_HANDLE, std::uint32_t mask) override {
    purgeMasks.push_back(mask);
    arrivals.clear();
    return purgeStatus;
  }

  // Queues what the board sends next.
  void Send(std::vector<std::uint8_t> bytes, FT_STATUS status = FT_OK) {
    arrivals.push_back({std::move(bytes), status});
  }

  bool echo = true;
  // The echo of write number `echoShortOnWrite` (from 0) lacks its last bytes.
  std::size_t echoShortOnWrite = 0;
  std::size_t echoShortBy = 0;
  // Status of each FT_Write call in turn; missing entries succeed.
  std::vector<FT_STATUS> writeStatuses;
  FT_STATUS purgeStatus = FT_OK;
  // Called after every accepted write with its index and bytes; the board
  // answers from here.
  std::function<void(std::size_t index, const std::vector<std::uint8_t>& bytes)> onWrite;

  std::deque<Arrival> arrivals;
  std::vector<std::vector<std::uint8_t>> writes;
  std::vector<ReadCall> reads;
  std::vector<std::uint32_t> purgeMasks;
};

}  // namespace kelvo::test
