#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/FtdiDriver.h"

namespace kelvo {

// Builds one trace line: {"t":…,"call":"…","args":[…],"status":…}, or with
// a cable's serial first, {"serial":"…","t":…, …}, when several cables write
// to one trace.
class TraceLine {
 public:
  TraceLine(double atMs, std::string_view call, const std::optional<std::string>& serial = std::nullopt);
  TraceLine& Number(long long value);
  TraceLine& String(std::string_view text);
  TraceLine& Hex(const std::uint8_t* bytes, std::size_t count);
  // `members`: more members of the line after the status, e.g. LineErrorsMember's.
  std::string Finish(std::uint32_t status, std::string_view members = {});

 private:
  void Separate();
  std::string text_;
  bool firstArg_ = true;
};

// `text` as a JSON string literal, quotes included. Text that is not valid
// UTF-8 is taken byte by byte as Latin-1 so the line stays valid JSON.
std::string JsonString(std::string_view text);

// "lineErrors":{"overrun":…,"parity":…,"framing":…,"break":…}, a member of a
// trace line or of kelvo-flash's result line.
std::string LineErrorsMember(const LineErrorCounts& counts);

}  // namespace kelvo
