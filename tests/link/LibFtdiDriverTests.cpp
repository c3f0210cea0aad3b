// These run the real driver against the real libftdi1 and libusb. The test
// machines have no FTDI cable attached, so every open finds nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>

#include "core/UpdaterState.h"
#include "link/LibFtdiDriver.h"
#include "link/LinkConnection.h"
#include "support/StateRig.h"

namespace kelvo {
namespace {

constexpr FT_HANDLE Untouched = 0xC0FFEE;

TEST(LibFtdiDriverOpen, BoardCableNotAttachedIsDeviceNotFound) {
  LibFtdiDriver driver;
  FT_HANDLE handle = Untouched;
  EXPECT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, Untouched);
  EXPECT_EQ(driver.OpenCount(), 0u);
  EXPECT_NE(driver.LastError().find("Corvane Serial Link"), std::string::npos);
}

TEST(LibFtdiDriverOpen, StockCableNotAttachedIsDeviceNotFound) {
  LibFtdiDriver driver;
  FT_HANDLE handle = Untouched;
  EXPECT_EQ(driver.FT_OpenEx("FT232R USB UART", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, Untouched);
  EXPECT_EQ(driver.OpenCount(), 0u);
}

TEST(LibFtdiDriverOpen, RepeatedOpensStayClean) {
  LibFtdiDriver driver;
  for (int i = 0; i < 5; ++i) {
    FT_HANDLE handle = Untouched;
    EXPECT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, Untouched);
  }
  EXPECT_EQ(driver.OpenCount(), 0u);
}

TEST(LibFtdiDriverOpen, OnlyOpenByDescriptionOrSerialIsSupported) {
  LibFtdiDriver driver;
  for (const std::uint32_t flags : {0u, 3u, 4u, 8u}) {
    FT_HANDLE handle = Untouched;
    EXPECT_EQ(driver.FT_OpenEx("Corvane Serial Link", flags, &handle), FT_INVALID_PARAMETER) << flags;
    EXPECT_EQ(handle, Untouched) << flags;
  }
  FT_HANDLE handle = Untouched;
  EXPECT_EQ(driver.FT_OpenEx("NO-SUCH-SERIAL", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, Untouched);
}

TEST(LibFtdiDriverOpen, MissingArgumentsAreInvalidParameters) {
  LibFtdiDriver driver;
  FT_HANDLE handle = Untouched;
  EXPECT_EQ(driver.FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &handle), FT_INVALID_PARAMETER);
  EXPECT_EQ(handle, Untouched);
  EXPECT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, nullptr), FT_INVALID_PARAMETER);
}

class LibFtdiDriverUnknownHandle : public ::testing::TestWithParam<FT_HANDLE> {
 protected:
  LibFtdiDriver driver;
};

TEST_P(LibFtdiDriverUnknownHandle, SetUpCallsAreRefused) {
  const FT_HANDLE h = GetParam();
  EXPECT_EQ(driver.FT_SetBaudRate(h, 125000), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetFlowControl(h, 0, 0, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetLatencyTimer(h, 2), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetUSBParameters(h, 4096, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetDataCharacteristics(h, 8, 0, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetChars(h, 0, 0, 0, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetTimeouts(h, 250, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_Close(h), FT_INVALID_HANDLE);
}

TEST_P(LibFtdiDriverUnknownHandle, HandleIsCheckedBeforeTheArguments) {
  const FT_HANDLE h = GetParam();
  EXPECT_EQ(driver.FT_SetBaudRate(h, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetFlowControl(h, 0x7777, 0, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetLatencyTimer(h, 0), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetUSBParameters(h, 1, 1), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_SetDataCharacteristics(h, 5, 9, 9), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.FT_Purge(h, 0), FT_INVALID_HANDLE);
}

TEST_P(LibFtdiDriverUnknownHandle, WriteTakesNothing) {
  const std::array<std::uint8_t, 2> command{'G', 'I'};
  std::uint32_t written = 77;
  EXPECT_EQ(driver.FT_Write(GetParam(), command.data(), 2, &written), FT_INVALID_HANDLE);
  EXPECT_EQ(written, 0u);
}

TEST_P(LibFtdiDriverUnknownHandle, ReadDeliversNothingAndLeavesTheBufferAlone) {
  std::array<std::uint8_t, 20> buffer{};
  buffer.fill(0xAB);
  std::uint32_t delivered = 77;
  EXPECT_EQ(driver.FT_Read(GetParam(), buffer.data(), 20, &delivered), FT_INVALID_HANDLE);
  EXPECT_EQ(delivered, 0u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xAB; }));
  EXPECT_FALSE(driver.LastError().empty());
}

INSTANTIATE_TEST_SUITE_P(ZeroAndStale, LibFtdiDriverUnknownHandle,
                         ::testing::Values(FT_HANDLE{0}, FT_HANDLE{12345}));

TEST(LibFtdiDriverLink, OpenLinkWithoutCableEndsClosedWithDeviceNotFound) {
  test::StateRig<LibFtdiDriver> rig;
  auto& [driver, window, state] = rig;
  state.LinkStatus = -1;
  OpenLink(state);
  EXPECT_EQ(state.LinkStatus, static_cast<std::int32_t>(FT_DEVICE_NOT_FOUND));
  EXPECT_EQ(state.LinkHandle, 0u);
  EXPECT_EQ(driver.OpenCount(), 0u);
  // No drain read happened: nothing was pumped and the reply is still blank.
  EXPECT_EQ(window.pumps, 0);
  EXPECT_TRUE(std::all_of(state.ReplyBuffer.begin(), state.ReplyBuffer.end(),
                          [](std::uint8_t c) { return c == ' '; }));

  CloseLink(state);
  EXPECT_EQ(state.LinkHandle, 0u);
  EXPECT_EQ(state.LinkStatus, static_cast<std::int32_t>(FT_DEVICE_NOT_FOUND));
}

}  // namespace
}  // namespace kelvo
