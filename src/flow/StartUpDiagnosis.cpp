#include "flow/StartUpDiagnosis.h"

#include <algorithm>
#include <cstdio>

#include "core/UpdaterState.h"
#include "link/LinkConnection.h"

namespace kelvo {
namespace {

constexpr std::size_t IdentifyReplyLength = 4;

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char digits[4];
    std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += digits;
  }
  return text;
}

#ifdef _WIN32
// The vendor's driver says less than libftdi1: whether it is there at all,
// and the status of the call that failed.
std::string CableLine(const UpdaterState& state, const D2xxDriver& cable) {
  if (!cable.LoadError().empty()) return cable.LoadError();
  const std::string wanted = Quoted(LinkDescriptions[0]) + " or " + Quoted(LinkDescriptions[1]);
  return "no cable described " + wanted + " could be opened and set up (status " +
         std::to_string(state.LinkStatus) + (cable.LastError().empty() ? "" : ", " + cable.LastError()) + ")";
}
#else
std::string CableLine(const UpdaterState& state, const LibFtdiDriver& cable) {
  const LibFtdiDriver::OpenReport& report = cable.LastOpen();
  const std::string wanted = Quoted(LinkDescriptions[0]) + " or " + Quoted(LinkDescriptions[1]);
  if (!report.refused.empty()) {
    std::string line = "the cable " + Quoted(report.refused) + " is connected but could not be opened: ";
    switch (report.cause) {
      case LibFtdiDriver::OpenReport::Cause::Permission:
        line +=
            "permission denied (is the package's udev rule installed, and the user logged in at this seat?)";
        break;
      case LibFtdiDriver::OpenReport::Cause::Busy:
        line += "another program is using it";
        break;
      case LibFtdiDriver::OpenReport::Cause::Other:
      case LibFtdiDriver::OpenReport::Cause::None:
        line += "the USB system refused";
        break;
    }
    return line + " [" + report.reason + "]";
  }
  if (report.seen.empty())
    return "no FTDI USB device is connected (looked for a cable described " + wanted + ")";
  const bool matched = std::any_of(report.seen.begin(), report.seen.end(), [](const std::string& seen) {
    return seen == LinkDescriptions[0] || seen == LinkDescriptions[1];
  });
  if (matched) {
    return "the cable opened but could not be set up (status " + std::to_string(state.LinkStatus) + ": " +
           cable.LastError() + ")";
  }
  std::string seen;
  for (const std::string& product : report.seen) seen += (seen.empty() ? "" : ", ") + Quoted(product);
  return "no FTDI device is described " + wanted + "; connected: " + seen;
}
#endif

std::string BoardLine(const UpdaterState& state) {
  const std::uint8_t* reply = state.ReplyBuffer.data();
  const bool nothing =
      std::all_of(reply, reply + IdentifyReplyLength, [](std::uint8_t b) { return b == ' '; });
  if (state.LinkStatus != 0 && nothing)
    return "the board did not answer \"GI\" (is it powered and in update mode?)";
  std::string line =
      "the board is not in update mode: its answer to \"GI\" was " + Hex(reply, IdentifyReplyLength);
  if (state.LinkStatus != 0)
    line += " (incomplete, blank-filled; status " + std::to_string(state.LinkStatus) + ")";
  else if (reply[0] != 'P' || reply[1] != 'Z')
    line += " (not a Kelvo: the signature is not \"PZ\")";
  else
    line += " (a Kelvo reporting firmware 0.0)";
  return line;
}

}  // namespace

std::string StartUpRefusalLine(const UpdaterState& state, bool programEnded, const CableDriver& cable) {
  return programEnded ? BoardLine(state) : CableLine(state, cable);
}

}  // namespace kelvo
