#include <ftdi.h>
#include <gtest/gtest.h>

#include <climits>

#include "link/LibFtdiDriver.h"

namespace kelvo::libftdi {
namespace {

TEST(FlowControlMode, MapsEveryD2xxModeToLibFtdi) {
  EXPECT_EQ(FlowControlMode(0x0000), SIO_DISABLE_FLOW_CTRL);
  EXPECT_EQ(FlowControlMode(0x0100), SIO_RTS_CTS_HS);
  EXPECT_EQ(FlowControlMode(0x0200), SIO_DTR_DSR_HS);
  EXPECT_EQ(FlowControlMode(0x0400), SIO_XON_XOFF_HS);
}

TEST(FlowControlMode, RejectsUndefinedAndCombinedModes) {
  EXPECT_FALSE(FlowControlMode(0x0001).has_value());
  EXPECT_FALSE(FlowControlMode(0x0300).has_value());
  EXPECT_FALSE(FlowControlMode(0x0800).has_value());
  EXPECT_FALSE(FlowControlMode(0xFFFF).has_value());
}

TEST(LinePropertyFor, BoardSettingIsEightNoneOne) {
  const auto line = LinePropertyFor(8, 0, 0);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, (LineProperty{BITS_8, STOP_BIT_1, NONE}));
}

TEST(LinePropertyFor, MapsOtherSupportedSettings) {
  EXPECT_EQ(LinePropertyFor(7, 2, 1), (LineProperty{BITS_7, STOP_BIT_2, ODD}));
  EXPECT_EQ(LinePropertyFor(8, 0, 2), (LineProperty{BITS_8, STOP_BIT_1, EVEN}));
  EXPECT_EQ(LinePropertyFor(8, 0, 3), (LineProperty{BITS_8, STOP_BIT_1, MARK}));
  EXPECT_EQ(LinePropertyFor(8, 0, 4), (LineProperty{BITS_8, STOP_BIT_1, SPACE}));
}

TEST(LinePropertyFor, RejectsValuesWithoutCounterpart) {
  EXPECT_FALSE(LinePropertyFor(6, 0, 0).has_value());
  EXPECT_FALSE(LinePropertyFor(9, 0, 0).has_value());
  EXPECT_FALSE(LinePropertyFor(8, 1, 0).has_value());
  EXPECT_FALSE(LinePropertyFor(8, 3, 0).has_value());
  EXPECT_FALSE(LinePropertyFor(8, 0, 5).has_value());
}

TEST(BaudRate, ChecksWhatLibFtdiCanTake) {
  EXPECT_EQ(CheckBaudRate(125000), FT_OK);
  EXPECT_EQ(CheckBaudRate(3000000), FT_OK);
  EXPECT_EQ(CheckBaudRate(0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(CheckBaudRate(static_cast<std::uint32_t>(INT_MAX) + 1), FT_INVALID_BAUD_RATE);
}

TEST(BaudRate, MapsLibFtdiResults) {
  EXPECT_EQ(BaudRateStatus(0), FT_OK);
  EXPECT_EQ(BaudRateStatus(-1), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(BaudRateStatus(-2), FT_IO_ERROR);
  EXPECT_EQ(BaudRateStatus(-3), FT_IO_ERROR);
}

TEST(Latency, AcceptsOneTo255) {
  EXPECT_FALSE(IsValidLatency(0));
  EXPECT_TRUE(IsValidLatency(1));
  EXPECT_TRUE(IsValidLatency(2));
  EXPECT_TRUE(IsValidLatency(255));
}

TEST(UsbParameters, AcceptsPacketMultiplesAndKeepsOutWhenZero) {
  EXPECT_EQ(CheckUsbParameters(4096, 0), FT_OK);
  EXPECT_EQ(CheckUsbParameters(64, 64), FT_OK);
  EXPECT_EQ(CheckUsbParameters(65536, 4096), FT_OK);
}

TEST(UsbParameters, RejectsOtherSizes) {
  EXPECT_EQ(CheckUsbParameters(0, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(CheckUsbParameters(100, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(CheckUsbParameters(65536 + 64, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(CheckUsbParameters(4096, 100), FT_INVALID_PARAMETER);
  EXPECT_EQ(CheckUsbParameters(4096, 32), FT_INVALID_PARAMETER);
}

TEST(PurgeSidesFor, MapsEachMask) {
  const auto rx = PurgeSidesFor(FT_PURGE_RX);
  ASSERT_TRUE(rx.has_value());
  EXPECT_TRUE(rx->rx);
  EXPECT_FALSE(rx->tx);
  const auto tx = PurgeSidesFor(FT_PURGE_TX);
  ASSERT_TRUE(tx.has_value());
  EXPECT_FALSE(tx->rx);
  EXPECT_TRUE(tx->tx);
  const auto both = PurgeSidesFor(FT_PURGE_RX | FT_PURGE_TX);
  ASSERT_TRUE(both.has_value());
  EXPECT_TRUE(both->rx);
  EXPECT_TRUE(both->tx);
}

TEST(PurgeSidesFor, RejectsEmptyAndUnknownBits) {
  EXPECT_FALSE(PurgeSidesFor(0).has_value());
  EXPECT_FALSE(PurgeSidesFor(4).has_value());
  EXPECT_FALSE(PurgeSidesFor(7).has_value());
}

TEST(FindAllStatus, MapsListingResults) {
  EXPECT_EQ(FindAllStatus(0), FT_OK);
  EXPECT_EQ(FindAllStatus(3), FT_OK);
  EXPECT_EQ(FindAllStatus(-3), FT_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(FindAllStatus(-5), FT_IO_ERROR);
  EXPECT_EQ(FindAllStatus(-6), FT_IO_ERROR);
}

TEST(UsbTimeouts, UnlimitedWriteGetsLibFtdiDefault) {
  EXPECT_EQ(UsbWriteTimeoutMs(0), DefaultUsbTimeoutMs);
  EXPECT_EQ(UsbWriteTimeoutMs(300), 300);
  EXPECT_EQ(UsbWriteTimeoutMs(UINT32_MAX), INT_MAX);
}

}  // namespace
}  // namespace kelvo::libftdi
