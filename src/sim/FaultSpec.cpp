#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <vector>

#include "sim/SimLink.h"

namespace kelvo::sim {
namespace {

constexpr std::array<std::string_view, 12> DriverCalls = {"FT_OpenEx",
                                                          "FT_Close",
                                                          "FT_SetBaudRate",
                                                          "FT_SetFlowControl",
                                                          "FT_SetLatencyTimer",
                                                          "FT_SetUSBParameters",
                                                          "FT_SetDataCharacteristics",
                                                          "FT_SetChars",
                                                          "FT_SetTimeouts",
                                                          "FT_Write",
                                                          "FT_Read",
                                                          "FT_Purge"};

std::vector<std::string_view> SplitFields(std::string_view spec) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = spec.find(':', start);
    fields.push_back(
        spec.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
    if (colon == std::string_view::npos) return fields;
    start = colon + 1;
  }
}

// Digits only: a sign or blank is as wrong as a word.
template <typename T>
bool ParseNumber(std::string_view text, T max, T* value) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  T parsed{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || parsed > max) return false;
  *value = parsed;
  return true;
}

std::optional<Fault> Fail(std::string_view spec, const std::string& why, std::string* error) {
  // The message must stay one line whatever the fault text holds.
  std::string shown(spec);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  if (error != nullptr) *error = "bad fault \"" + shown + "\": " + why;
  return std::nullopt;
}

}  // namespace

std::optional<Fault> ParseFault(std::string_view spec, std::string* error) {
  const std::vector<std::string_view> fields = SplitFields(spec);
  const std::string_view kind = fields[0];
  Fault fault;
  constexpr int IntMax = std::numeric_limits<int>::max();

  if (kind == "write" || kind == "verify" || kind == "late-ok") {
    if (fields.size() != 3) return Fail(spec, "expected " + std::string(kind) + ":PAGE:NUMBER", error);
    if (!ParseNumber(fields[1], FlashPages - 1, &fault.page))
      return Fail(spec, "page must be 0 to 63", error);
    int number = 0;
    if (!ParseNumber(fields[2], IntMax, &number)) {
      return Fail(spec, "expected a non-negative number after the page", error);
    }
    if (kind == "late-ok") {
      fault.kind = Fault::Kind::LateOk;
      fault.milliseconds = number;
    } else {
      fault.kind = kind == "write" ? Fault::Kind::Write : Fault::Kind::Verify;
      fault.count = number;
    }
    return fault;
  }
  if (kind == "lose" || kind == "short-echo") {
    if (fields.size() != 2 && fields.size() != 3)
      return Fail(spec, "expected " + std::string(kind) + ":PAGE[:N]", error);
    if (!ParseNumber(fields[1], FlashPages - 1, &fault.page))
      return Fail(spec, "page must be 0 to 63", error);
    fault.kind = kind == "lose" ? Fault::Kind::Lose : Fault::Kind::ShortEcho;
    fault.count = 1;
    if (fields.size() == 3 && !ParseNumber(fields[2], IntMax, &fault.count))
      return Fail(spec, "N must be a non-negative number", error);
    return fault;
  }
  if (kind == "cut") {
    if (fields.size() != 3 && fields.size() != 4) return Fail(spec, "expected cut:PAGE:K[:NTH]", error);
    if (!ParseNumber(fields[1], FlashPages - 1, &fault.page))
      return Fail(spec, "page must be 0 to 63", error);
    fault.kind = Fault::Kind::Cut;
    // A command of five bytes: all five reaching the board is no fault.
    if (!ParseNumber(fields[2], 4, &fault.count)) return Fail(spec, "K must be 0 to 4", error);
    if (fields.size() == 4 && (!ParseNumber(fields[3], IntMax, &fault.nth) || fault.nth < 1))
      return Fail(spec, "NTH must be a number from 1", error);
    return fault;
  }
  if (kind == "unplug") {
    if (fields.size() != 2) return Fail(spec, "expected unplug:BYTES", error);
    fault.kind = Fault::Kind::Unplug;
    if (!ParseNumber(fields[1], std::numeric_limits<long long>::max(), &fault.bytes)) {
      return Fail(spec, "BYTES must be a non-negative number", error);
    }
    return fault;
  }
  if (kind == "call") {
    if (fields.size() != 3 && fields.size() != 4) return Fail(spec, "expected call:NAME:STATUS[:NTH]", error);
    fault.kind = Fault::Kind::Call;
    bool known = false;
    for (const std::string_view name : DriverCalls) known = known || name == fields[1];
    if (!known) return Fail(spec, "unknown driver call \"" + std::string(fields[1]) + "\"", error);
    fault.call = std::string(fields[1]);
    if (!ParseNumber(fields[2], std::numeric_limits<FT_STATUS>::max(), &fault.status)) {
      return Fail(spec, "STATUS must be a non-negative number", error);
    }
    if (fields.size() == 4 && (!ParseNumber(fields[3], IntMax, &fault.nth) || fault.nth < 1)) {
      return Fail(spec, "NTH must be a number from 1", error);
    }
    return fault;
  }
  return Fail(spec, "unknown kind (expected write, verify, late-ok, lose, short-echo, cut, unplug or call)",
              error);
}

}  // namespace kelvo::sim
