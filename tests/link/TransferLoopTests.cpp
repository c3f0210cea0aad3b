#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "link/LibFtdiDriver.h"

namespace kelvo::libftdi {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// A clock that moves only when the test says so, so timing is exact.
struct VirtualClock {
  Clock::time_point now{};
  std::vector<Clock::duration> sleeps;

  ReadClock Bind() {
    return ReadClock{[this] { return now; },
                     [this](Clock::duration pause) {
                       sleeps.push_back(pause);
                       now += pause;
                     }};
  }
};

// One scripted answer of the chip: how long the call blocks and what it
// brings (or a negative USB error).
struct Step {
  Clock::duration takes;
  std::string bytes;
  int error = 0;
};

// Plays the steps in order, then keeps answering `idle` forever. Stops a
// runaway loop after `callLimit` calls with an error the test notices.
struct ScriptedChip {
  ScriptedChip(VirtualClock& clock, std::vector<Step> steps) : clock(clock), steps(std::move(steps)) {}

  VirtualClock& clock;
  std::vector<Step> steps;
  Step idle{2ms, ""};
  int calls = 0;
  int callLimit = 100000;
  std::vector<int> asked;

  ChunkReader Reader() {
    return [this](std::uint8_t* destination, int size) {
      asked.push_back(size);
      if (++calls > callLimit) return -999;
      const Step& step = static_cast<std::size_t>(calls) <= steps.size() ? steps[calls - 1] : idle;
      clock.now += step.takes;
      if (step.error != 0) return step.error;
      const int n = std::min(size, static_cast<int>(step.bytes.size()));
      std::memcpy(destination, step.bytes.data(), static_cast<std::size_t>(n));
      return n;
    };
  }
};

std::string AsText(const std::uint8_t* bytes, std::uint32_t count) {
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

TEST(ReadWithDeadline, WholeReplyInOneCall) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{2ms, "PZ\x00\x12"s}}};
  std::array<std::uint8_t, 8> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 4, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 4u);
  EXPECT_EQ(AsText(buffer.data(), 4), "PZ\x00\x12"s);
  EXPECT_EQ(chip.calls, 1);
}

TEST(ReadWithDeadline, PiecesAreJoinedAndOnlyTheMissingBytesAsked) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{2ms, "O"}, {2ms, ""}, {2ms, "K"}}};
  std::array<std::uint8_t, 2> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 2, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 2u);
  EXPECT_EQ(AsText(buffer.data(), 2), "OK");
  EXPECT_EQ(chip.asked, (std::vector<int>{2, 1, 1}));
}

TEST(ReadWithDeadline, SilenceEndsAtTheTimeoutWithNothing) {
  VirtualClock clock;
  ScriptedChip chip{clock, {}};
  std::array<std::uint8_t, 20> buffer{};
  buffer.fill(0xAB);
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 20, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 0u);
  EXPECT_GE(clock.now - Clock::time_point{}, 250ms);
  EXPECT_LT(clock.now - Clock::time_point{}, 253ms);
  // Calls that block on the bus need no extra pause.
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xAB; }));
}

TEST(ReadWithDeadline, TimeoutCountsFromTheStartNotFromTheLastByte) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{100ms, "a"}, {100ms, "b"}, {100ms, "c"}, {100ms, "d"}}};
  std::array<std::uint8_t, 4> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 4, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 3u);
  EXPECT_EQ(AsText(buffer.data(), 3), "abc");
  EXPECT_EQ(chip.calls, 3);
}

TEST(ReadWithDeadline, ShortReplyThenSilenceKeepsWhatArrived) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{2ms, "PZ\x00"s}}};
  std::array<std::uint8_t, 4> buffer{' ', ' ', ' ', ' '};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 4, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 3u);
  EXPECT_EQ(AsText(buffer.data(), 4), "PZ\x00 "s);
}

TEST(ReadWithDeadline, UsbErrorReportsIoErrorWithBytesSoFar) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{2ms, "GI"}, {2ms, "", -4}, {2ms, "zz"}}};
  std::array<std::uint8_t, 5> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 5, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_IO_ERROR);
  EXPECT_EQ(result.count, 2u);
  EXPECT_EQ(AsText(buffer.data(), 2), "GI");
  EXPECT_EQ(chip.calls, 2);
}

TEST(ReadWithDeadline, StackThatNeverBlocksIsPacedNotSpun) {
  VirtualClock clock;
  ScriptedChip chip{clock, {}};
  chip.idle = Step{0ms, ""};
  chip.callLimit = 2000;
  std::array<std::uint8_t, 4> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 4, 250ms, clock.Bind());
  // Without the pause virtual time would never move and the call limit would
  // turn into an I/O error.
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 0u);
  ASSERT_FALSE(clock.sleeps.empty());
  EXPECT_TRUE(std::all_of(clock.sleeps.begin(), clock.sleeps.end(),
                          [](Clock::duration pause) { return pause > 0ms && pause <= IdleBackoff; }));
  EXPECT_LE(chip.calls, 252);
  EXPECT_EQ(clock.now - Clock::time_point{}, 250ms);
}

TEST(ReadWithDeadline, PauseNeverRunsPastTheDeadline) {
  VirtualClock clock;
  ScriptedChip chip{clock, {{249ms + 700us, ""}}};
  chip.idle = Step{0ms, ""};
  std::array<std::uint8_t, 1> buffer{};
  ReadWithDeadline(chip.Reader(), buffer.data(), 1, 250ms, clock.Bind());
  EXPECT_EQ(clock.now - Clock::time_point{}, 250ms);
}

TEST(ReadWithDeadline, ZeroTimeoutWaitsUntilTheBytesCome) {
  VirtualClock clock;
  std::vector<Step> steps(1000, Step{2ms, ""});
  steps.push_back(Step{2ms, "OK"});
  ScriptedChip chip{clock, steps};
  std::array<std::uint8_t, 2> buffer{};
  const Transfer result = ReadWithDeadline(chip.Reader(), buffer.data(), 2, 0ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 2u);
  EXPECT_EQ(AsText(buffer.data(), 2), "OK");
}

TEST(ReadWithDeadline, NothingAskedMakesNoCall) {
  VirtualClock clock;
  ScriptedChip chip{clock, {}};
  const Transfer result = ReadWithDeadline(chip.Reader(), nullptr, 0, 250ms, clock.Bind());
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(chip.calls, 0);
}

TEST(ReadWithDeadline, ReaderClaimingTooMuchIsNotTrusted) {
  VirtualClock clock;
  const ChunkReader liar = [](std::uint8_t* destination, int size) {
    std::memset(destination, 'x', static_cast<std::size_t>(size));
    return size + 10;
  };
  std::array<std::uint8_t, 3> buffer{};
  const Transfer result = ReadWithDeadline(liar, buffer.data(), 3, 250ms, clock.Bind());
  EXPECT_EQ(result.count, 3u);
}

// libftdi1 keeps one call going while each USB transfer brings a byte: a
// trickle of one byte per 1.5 ms makes a call last as long as it asks bytes.
TEST(ReadWithDeadline, TrickleCannotCarryOneCallPastTheDeadline) {
  VirtualClock clock;
  const ChunkReader trickle = [&clock](std::uint8_t* destination, int size) {
    clock.now += size * 1500us;
    std::memset(destination, 'x', static_cast<std::size_t>(size));
    return size;
  };
  std::vector<std::uint8_t> buffer(2048);
  const Transfer result = ReadWithDeadline(trickle, buffer.data(), 2048, 250ms, clock.Bind(), 2ms);
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_GT(result.count, 100u);
  EXPECT_LT(result.count, 2048u);
  // One latency interval past the deadline at most, not the 3 s of asking
  // for everything at once.
  EXPECT_LE(clock.now - Clock::time_point{}, 252ms);
}

// Takes at most `perCall` bytes per call, or fails at call `failAt`.
struct ScriptedSink {
  int perCall = 3;
  int failAt = 0;
  int calls = 0;
  std::string taken;

  ChunkWriter Writer() {
    return [this](const std::uint8_t* source, int size) {
      ++calls;
      if (calls == failAt) return -1;
      const int n = std::min(size, perCall);
      taken.append(reinterpret_cast<const char*>(source), static_cast<std::size_t>(n));
      return n;
    };
  }
};

TEST(WriteAll, KeepsWritingUntilEveryByteIsTaken) {
  ScriptedSink sink;
  const std::string command = "WF\x00\x04\x00"s;
  const Transfer result = WriteAll(sink.Writer(), reinterpret_cast<const std::uint8_t*>(command.data()), 5);
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(result.count, 5u);
  EXPECT_EQ(sink.taken, command);
  EXPECT_EQ(sink.calls, 2);
}

TEST(WriteAll, UsbErrorReportsIoErrorWithCountTaken) {
  ScriptedSink sink;
  sink.failAt = 2;
  const std::string page(2048, 'p');
  const Transfer result = WriteAll(sink.Writer(), reinterpret_cast<const std::uint8_t*>(page.data()), 2048);
  EXPECT_EQ(result.status, FT_IO_ERROR);
  EXPECT_EQ(result.count, 3u);
}

TEST(WriteAll, CallThatTakesNothingIsAnIoErrorNotAHang) {
  ScriptedSink sink;
  sink.perCall = 0;
  const std::string command = "GI";
  const Transfer result = WriteAll(sink.Writer(), reinterpret_cast<const std::uint8_t*>(command.data()), 2);
  EXPECT_EQ(result.status, FT_IO_ERROR);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(sink.calls, 1);
}

TEST(WriteAll, NothingToWriteMakesNoCall) {
  ScriptedSink sink;
  const Transfer result = WriteAll(sink.Writer(), nullptr, 0);
  EXPECT_EQ(result.status, FT_OK);
  EXPECT_EQ(sink.calls, 0);
}

}  // namespace
}  // namespace kelvo::libftdi
