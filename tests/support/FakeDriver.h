#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/FtdiDriver.h"

namespace kelvo::test {

// A cable whose board is a script. By default every call succeeds, the cable
// echoes what is written and then delivers what the test queued; each queued
// arrival is delivered by one read call at most, so a test decides exactly
// how an answer is split, and a read with nothing queued times out with
// nothing delivered. The hooks replace any part of that.
class FakeDriver : public FtdiDriver {
 public:
  struct Arrival {
    std::vector<std::uint8_t> bytes;
    FT_STATUS status = FT_OK;
  };
  struct ReadCall {
    std::uint32_t asked;
    std::uint32_t delivered;
  };

  FT_STATUS FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) override;
  FT_STATUS FT_Close(FT_HANDLE) override { return StatusOf("FT_Close"); }
  FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return StatusOf("FT_SetBaudRate"); }
  FT_STATUS FT_SetFlowControl(FT_HANDLE, std::uint16_t, std::uint8_t, std::uint8_t) override {
    return StatusOf("FT_SetFlowControl");
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE, std::uint8_t) override { return StatusOf("FT_SetLatencyTimer"); }
  FT_STATUS FT_SetUSBParameters(FT_HANDLE, std::uint32_t, std::uint32_t) override {
    return StatusOf("FT_SetUSBParameters");
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return StatusOf("FT_SetDataCharacteristics");
  }
  FT_STATUS FT_SetChars(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return StatusOf("FT_SetChars");
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE, std::uint32_t, std::uint32_t) override {
    return StatusOf("FT_SetTimeouts");
  }
  FT_STATUS FT_Write(FT_HANDLE, const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  FT_STATUS FT_Read(FT_HANDLE, void* buffer, std::uint32_t count, std::uint32_t* delivered) override;
  FT_STATUS FT_Purge(FT_HANDLE, std::uint32_t mask) override;

  // Queues what the board sends next.
  void Send(std::vector<std::uint8_t> bytes, FT_STATUS status = FT_OK) {
    arrivals.push_back({std::move(bytes), status});
  }

  // What a successful FT_OpenEx stores.
  FT_HANDLE handle = 1;
  bool echo = true;
  // The echo of write number `echoShortOnWrite` (from 0) lacks its last bytes.
  std::size_t echoShortOnWrite = 0;
  std::size_t echoShortBy = 0;
  // Status of each FT_Write call in turn; missing entries succeed.
  std::vector<FT_STATUS> writeStatuses;
  FT_STATUS purgeStatus = FT_OK;

  // Decides the status of every call, by its D2XX name, in place of the
  // settings above.
  std::function<FT_STATUS(std::string_view call)> status;
  // Sees every buffer handed to FT_Write and FT_Read, before anything else.
  std::function<void(const void* buffer, std::uint32_t count)> onBuffer;
  // Called after every accepted write with its index and bytes; the board
  // answers from here.
  std::function<void(std::size_t index, const std::vector<std::uint8_t>& bytes)> onWrite;
  // Fills a read in place of the queued arrivals; returns the count the
  // driver reports delivered, which a lying cable may make larger.
  std::function<std::uint32_t(std::uint8_t* buffer, std::uint32_t count)> onRead;

  std::deque<Arrival> arrivals;
  std::vector<std::string> openedDescriptions;
  std::vector<std::vector<std::uint8_t>> writes;
  std::vector<ReadCall> reads;
  std::vector<std::uint32_t> purgeMasks;

 private:
  FT_STATUS StatusOf(std::string_view call, FT_STATUS otherwise = FT_OK) {
    return status ? status(call) : otherwise;
  }
};

}  // namespace kelvo::test
