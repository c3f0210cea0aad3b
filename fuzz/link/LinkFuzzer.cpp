// Whatever the cable and the board hand back (bytes, counts, statuses), the
// link's transfers and the identification must stay inside their buffers and
// end with an outcome that follows from what arrived.
//
// Input: one byte stream, read from the front. Each operation takes an op
// byte and its arguments; each driver call the operation makes takes what it
// needs next from the same stream (a status byte, and for a read a count
// byte and the bytes delivered). Once the stream runs out, every call
// succeeds and every read delivers nothing, so each operation comes to an
// end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/UpdaterState.h"
#include "link/LinkConnection.h"
#include "link/LinkTransfers.h"
#include "protocol/DeviceIdentification.h"
#include "protocol/PageCommands.h"
#include "support/FakeDriver.h"
#include "support/StateRig.h"

namespace {

using kelvo::FT_STATUS;

class ByteSource {
 public:
  ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Take() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Take16() { return static_cast<std::uint16_t>(Take() << 8 | Take()); }
  std::uint32_t Take32() { return static_cast<std::uint32_t>(Take16()) << 16 | Take16(); }
  std::size_t Left() const { return size_ - at_; }
  bool Empty() const { return at_ >= size_; }
  // Up to `count` bytes, fewer when the stream runs out first.
  std::size_t TakeInto(std::uint8_t* out, std::size_t count) {
    const std::size_t n = std::min(count, Left());
    std::copy_n(data_ + at_, n, out);
    at_ += n;
    return n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

[[noreturn]] void Broken() { std::abort(); }

// Mostly success; otherwise the statuses a D2XX call can end with, and two
// that none does, which must be treated as failures all the same.
FT_STATUS StatusFrom(std::uint8_t b) {
  static constexpr FT_STATUS failures[] = {1, 2, 3, 4, 5, 6, 17, 18, 0x80000000u, 0xFFFFFFFFu};
  if (b < 0xD0) return kelvo::FT_OK;
  return failures[b % (sizeof failures / sizeof failures[0])];
}

// Within CommandBuffer, ReplyBuffer, PageBuffer or ReadBackBuffer, or the
// page filler that releases a board after a failed write.
bool Inside(const kelvo::UpdaterState& state, const void* buffer, std::uint32_t count) {
  if (count == 0) return true;
  if (buffer == nullptr) return false;
  const auto p = reinterpret_cast<std::uintptr_t>(buffer);
  const auto within = [&](const std::uint8_t* data, std::size_t size) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    return p >= begin && p <= begin + size && count <= begin + size - p;
  };
  return within(state.CommandBuffer.data(), state.CommandBuffer.size()) ||
         within(state.ReplyBuffer.data(), state.ReplyBuffer.size()) ||
         within(state.PageBuffer.data(), state.PageBuffer.size()) ||
         within(state.ReadBackBuffer.data(), state.ReadBackBuffer.size()) ||
         within(kelvo::PageFiller().data(), kelvo::PageFiller().size());
}

// Makes the fake cable play back the fuzzer's bytes: each call takes its
// status from the stream, and every buffer the updater hands it must lie
// inside the state record's own buffers.
//
// A read's count byte: 0 nothing (a timeout), 0xFF all that was asked, 0xFE
// all that was asked as zero bytes (a page read back equal to an all-zero
// PageBuffer), 0xFD a driver that claims one byte more than it was asked for;
// otherwise that many bytes, at most those asked for.
void Replay(kelvo::test::FakeDriver& driver, ByteSource& in, const kelvo::UpdaterState& state) {
  driver.handle = 0x4B10;
  driver.echo = false;
  driver.status = [&in](std::string_view) { return StatusFrom(in.Take()); };
  driver.onBuffer = [&state](const void* buffer, std::uint32_t count) {
    if (!Inside(state, buffer, count)) Broken();
  };
  driver.onRead = [&in](std::uint8_t* out, std::uint32_t count) -> std::uint32_t {
    const std::uint8_t how = in.Take();
    if (how == 0xFE) {
      std::fill_n(out, count, 0);
      return count;
    }
    if (how == 0xFD) return static_cast<std::uint32_t>(in.TakeInto(out, count)) + 1;
    const std::uint32_t want = how == 0xFF ? count : std::min<std::uint32_t>(how, count);
    return static_cast<std::uint32_t>(in.TakeInto(out, want));
  };
}

bool KnownDescription(const std::string& name) {
  return name == "Corvane Serial Link" || name == "FT232R USB UART";
}

bool KnownOutcome(std::int32_t status) { return status == 0 || status == 4 || status == 8; }

bool VersionInRange(const kelvo::FirmwareVersion& v) {
  return v.major >= 0 && v.major <= 15 && v.minor >= 0 && v.minor <= 15;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  // The page buffers as start-up sizes them (an op below may change that).
  // The image buffers stay empty: nothing here reads them, and allocating
  // their 640 KiB for every input made each run a hundred times slower.
  kelvo::test::FakeDriver driver;
  kelvo::test::FakeWindow window;
  kelvo::UpdaterState state(driver, window, window, kelvo::test::NoResources());
  state.PageBuffer.assign(kelvo::PageBufferSize, 0);
  state.ReadBackBuffer.assign(kelvo::PageBufferSize, 0);
  Replay(driver, in, state);
  state.PageInstructions = 512;

  // Each op consumes at least its op byte, so the loop ends with the input.
  while (!in.Empty()) {
    const std::size_t readsBefore = driver.reads.size();
    switch (in.Take() % 9) {
      case 0:
        if (state.LinkHandle == 0) {
          kelvo::OpenLink(state);
          if (!std::all_of(driver.openedDescriptions.begin(), driver.openedDescriptions.end(),
                           KnownDescription))
            Broken();
          // Open means configured: a handle is kept only with LinkStatus 0.
          if ((state.LinkHandle != 0) != (state.LinkStatus == 0)) Broken();
        }
        break;
      case 1:
        kelvo::CloseLink(state);
        if (state.LinkHandle != 0) Broken();
        break;
      case 2: {
        const bool flagBefore = state.UpdateModeFlag;
        const kelvo::FirmwareVersion versionBefore = state.DeviceVersion;
        kelvo::IdentifyDevice(state);
        if (!VersionInRange(state.DeviceVersion)) Broken();
        if (state.LinkStatus != 0 &&
            (state.UpdateModeFlag != flagBefore || !(state.DeviceVersion == versionBefore)))
          Broken();
        if (state.LinkStatus == 0) {
          const auto& r = state.ReplyBuffer;
          if (state.UpdateModeFlag != (r[2] == 3 && r[3] == 0xFF)) Broken();
          if (r[0] == 'P' && r[1] == 'Z' &&
              !(state.DeviceVersion == kelvo::FirmwareVersion{r[3] / 16, r[3] % 16}))
            Broken();
        }
        break;
      }
      case 3: {
        state.WriteLength = static_cast<std::int16_t>(in.Take16());
        in.TakeInto(state.CommandBuffer.data(), std::min<std::size_t>(in.Take(), state.CommandBuffer.size()));
        kelvo::SendCommand(state);
        break;
      }
      case 4: {
        state.ReadLength = static_cast<std::int16_t>(in.Take16());
        kelvo::ReadReply(state);
        if (!KnownOutcome(state.LinkStatus)) Broken();
        break;
      }
      case 5: {
        state.ReadLength = static_cast<std::int16_t>(in.Take16());
        kelvo::ReadPageData(state);
        if (!KnownOutcome(state.LinkStatus)) Broken();
        if (state.LinkStatus == 0) {
          const auto length = static_cast<std::size_t>(state.ReadLength);
          if (state.ReadLength < 0 || length > state.ReadBackBuffer.size() ||
              length > state.PageBuffer.size() ||
              !std::equal(state.ReadBackBuffer.begin(), state.ReadBackBuffer.begin() + state.ReadLength,
                          state.PageBuffer.begin()))
            Broken();
        }
        break;
      }
      case 6: {
        state.FlashAddress = static_cast<std::int32_t>(in.Take32());
        kelvo::WritePage(state);
        if (state.LinkStatus == 0 && (state.ReplyBuffer[0] != 'O' || state.ReplyBuffer[1] != 'K')) Broken();
        break;
      }
      case 7: {
        state.FlashAddress = static_cast<std::int32_t>(in.Take32());
        state.PageInstructions = static_cast<std::int16_t>(in.Take16());
        kelvo::ReadVerifyPage(state);
        if (state.LinkStatus == 0) {
          const auto length = static_cast<std::ptrdiff_t>(state.PageInstructions) * 4;
          if (length < 0 || length > static_cast<std::ptrdiff_t>(state.ReadBackBuffer.size()) ||
              length > static_cast<std::ptrdiff_t>(state.PageBuffer.size()) ||
              !std::equal(state.ReadBackBuffer.begin(), state.ReadBackBuffer.begin() + length,
                          state.PageBuffer.begin()))
            Broken();
        }
        break;
      }
      case 8: {
        // Buffers of other sizes than start-up's: the transfers must refuse
        // what does not fit rather than run past them.
        state.PageBuffer.assign(in.Take16() % 4200, 0);
        state.ReadBackBuffer.assign(in.Take16() % 4200, 0);
        break;
      }
    }
    // A read that ends with a call that brought nothing cannot loop forever:
    // every call either delivers a byte or ends the read.
    if (driver.reads.size() - readsBefore > 4200) Broken();
  }
  return 0;
}
