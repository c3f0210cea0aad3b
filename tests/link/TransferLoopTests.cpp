#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "link/LibFtdiDriver.h"

namespace kelvo::libftdi {
namespace {

using namespace std::string_literals;

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
