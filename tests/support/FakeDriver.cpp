#include "support/FakeDriver.h"

#include <algorithm>
#include <cstring>

namespace kelvo::test {

FT_STATUS FakeDriver::FT_OpenEx(const char* description, std::uint32_t, FT_HANDLE* stored) {
  openedDescriptions.emplace_back(description);
  const FT_STATUS result = StatusOf("FT_OpenEx");
  if (result == FT_OK) *stored = handle;
  return result;
}

FT_STATUS FakeDriver::FT_Write(FT_HANDLE, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  if (onBuffer) onBuffer(buffer, count);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  writes.emplace_back(bytes, bytes + count);
  const std::size_t index = writes.size() - 1;
  const FT_STATUS result = StatusOf("FT_Write", index < writeStatuses.size() ? writeStatuses[index] : FT_OK);
  *written = result == FT_OK ? count : 0;
  if (result != FT_OK) return result;
  if (echo) {
    std::vector<std::uint8_t> echoed(bytes, bytes + count);
    if (echoShortBy > 0 && index == echoShortOnWrite) echoed.resize(echoed.size() - echoShortBy);
    if (!echoed.empty()) arrivals.push_back({std::move(echoed)});
  }
  if (onWrite) onWrite(index, writes.back());
  return FT_OK;
}

FT_STATUS FakeDriver::FT_Read(FT_HANDLE, void* buffer, std::uint32_t count, std::uint32_t* delivered) {
  if (onBuffer) onBuffer(buffer, count);
  FT_STATUS result = StatusOf("FT_Read");
  std::uint32_t n = 0;
  if (onRead) {
    n = onRead(static_cast<std::uint8_t*>(buffer), count);
  } else if (!arrivals.empty()) {
    Arrival& next = arrivals.front();
    n = static_cast<std::uint32_t>(std::min<std::size_t>(count, next.bytes.size()));
    std::memcpy(buffer, next.bytes.data(), n);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
    if (next.status != FT_OK) result = next.status;
    if (next.bytes.empty()) arrivals.pop_front();
  }
  reads.push_back({count, n});
  *delivered = n;
  return result;
}

FT_STATUS FakeDriver::FT_Purge(FT_HANDLE, std::uint32_t mask) {
  purgeMasks.push_back(mask);
  arrivals.clear();
  return StatusOf("FT_Purge", purgeStatus);
}

}  // namespace kelvo::test
