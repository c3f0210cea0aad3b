#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/FtdiDriver.h"

namespace kelvo::sim {

inline constexpr int FlashPageBytes = 2048;
inline constexpr int FlashPages = 64;
inline constexpr int FlashBytes = FlashPageBytes * FlashPages;  // 131072
inline constexpr int AddressUnitsPerPage = 1024;

// One fault from the simulator's command line, e.g. "write:5:3".
struct Fault {
  enum class Kind { Write, Verify, LateOk, Unplug, Call, Lose, ShortEcho, Cut };
  Kind kind = Kind::Write;
  int page = 0;          // Write, Verify, LateOk, Lose, ShortEcho, Cut
  int count = 0;         // Write, Verify: how many answers go wrong; Lose, ShortEcho: how many headers;
                         // Cut: how many of the command's first bytes reach the board (0 to 4)
  int milliseconds = 0;  // LateOk
  long long bytes = 0;   // Unplug: bytes written by the PC before the cable is gone
  std::string call;      // Call: driver function name, e.g. "FT_Purge"
  FT_STATUS status = 0;  // Call
  int nth = 1;           // Call: which call; Cut: which "WF" command for the page; counted from 1
};

// Parses one fault spec; nullopt with `error` set when it is malformed or a
// page is outside 0..63.
std::optional<Fault> ParseFault(std::string_view spec, std::string* error);

struct SimOptions;
// The serial number of attached device `index`.
std::string DeviceSerial(const SimOptions& options, std::size_t index);

struct SimOptions {
  // USB descriptions of the attached FTDI devices; empty: none attached.
  std::vector<std::string> devices = {"Corvane Serial Link"};
  // Their serial numbers, in the same order; a device past the end of this
  // list has KV000001, KV000002, … by its place.
  std::vector<std::string> serials;
  // The board's answer to "GI"; nullopt: the board answers nothing (the cable
  // still echoes).
  std::optional<std::array<std::uint8_t, 4>> identifyReply =
      std::array<std::uint8_t, 4>{0x50, 0x5A, 0x00, 0x12};
  // The board's flash before the run, FlashBytes long; empty: erased (0xFF).
  std::vector<std::uint8_t> flash;
  int programMs = 0;
  // What the board does with bytes that arrive while it programs a page:
  // keeps them for afterwards, or drops them.
  enum class BoardReceive { Keep, Drop };
  BoardReceive boardReceive = BoardReceive::Keep;
  // Real timing (125000 baud 8N1, 80 µs a byte each way, timeouts in real
  // time) instead of a virtual clock that jumps over every wait.
  bool realtime = false;
  std::vector<Fault> faults;
  // The board echoes a page's 2048 bytes itself, only once the whole page is
  // in (a board that buffers before it echoes); otherwise the line echoes
  // every byte as it goes out.
  bool echoWholePage = false;
};

// What the board did with a page, in order, for checks on the flash as a whole.
struct PageEvent {
  enum class Kind { Written, WriteRefused, ReadBack };
  Kind kind;
  int page;                        // flash page 0..63 addressed by the command
  bool exact = true;               // ReadBack: false when a verify fault spoiled the answer
  double atMs = 0;                 // on the simulation clock
  std::vector<std::uint8_t> data;  // Written: the bytes programmed
};

// An FTDI cable with a Kelvo board behind it. Every byte the PC writes comes
// back on the receive side (ahead of the board's answer); the board speaks
// "GI", "WF" and "RF".
class SimLink final : public FtdiDriver {
 public:
  explicit SimLink(SimOptions options);
  ~SimLink() override;

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

  // The board's flash now, FlashBytes long.
  const std::vector<std::uint8_t>& Flash() const;
  const std::vector<PageEvent>& PageEvents() const;
  // Milliseconds on the simulation clock since the link was made.
  double NowMs() const;
  // Receives one JSON line (without newline) per driver call.
  void SetTraceSink(std::function<void(const std::string& line)> sink);

  // The board sends `bytes` unasked, starting `afterMs` from now, 80 µs a
  // byte behind anything else it is sending (bytes waiting at open, a reply
  // in pieces, a late answer).
  void SendFromBoard(std::vector<std::uint8_t> bytes, double afterMs = 0);
  // The board's next answer to "GI" is replaced by these pieces (possibly
  // fewer than 4 bytes in all); each piece starts the given ms after the
  // previous one ended, the first after the command. Used to cut a reply
  // short or split it across reads.
  void ScheduleIdentifyAnswer(std::vector<std::pair<std::vector<std::uint8_t>, double>> pieces);
  // Line noise: the echo of the next `count` bytes the PC sends is lost on
  // the way back; the board still receives them.
  void LoseEchoes(int count);
  // The nth call of FT_Read (from 1, counting from now) returns `status`
  // together with whatever it delivers.
  void FailReadWithData(int nth, FT_STATUS status);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo::sim
