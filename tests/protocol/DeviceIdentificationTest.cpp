#include "protocol/DeviceIdentification.h"

#include <gtest/gtest.h>

#include "link/LinkTransfers.h"
#include "support/SimRig.h"

namespace kelvo::test {
namespace {

using Reply = std::array<std::uint8_t, 4>;

struct Case {
  const char* name;
  Reply reply;
  bool updateMode;
  FirmwareVersion version;  // expected, starting from 4.5
};

class IdentifyReply : public ::testing::TestWithParam<Case> {};

TEST_P(IdentifyReply, SetsUpdateModeAndVersionFromTheBoardsAnswer) {
  const Case& c = GetParam();
  sim::SimOptions options;
  options.identifyReply = c.reply;
  SimRig rig(options);
  ASSERT_TRUE(rig.OpenQuietly());
  // Earlier answers must not leak into this one.
  rig.state.UpdateModeFlag = !c.updateMode;
  rig.state.DeviceVersion = {4, 5};
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.UpdateModeFlag, c.updateMode);
  EXPECT_EQ(rig.state.DeviceVersion, c.version);
}

INSTANTIATE_TEST_SUITE_P(
    IdentifyDevice, IdentifyReply,
    ::testing::Values(Case{"Version", {'P', 'Z', 0x00, 0x23}, false, {2, 3}},
                      Case{"UpdateMode", {'P', 'Z', 0x03, 0xFF}, true, {15, 15}},
                      Case{"MarkerWithoutFullVersionByte", {'P', 'Z', 0x03, 0x23}, false, {2, 3}},
                      Case{"UpdateModeWithoutSignature", {'Q', 'X', 0x03, 0xFF}, true, {4, 5}},
                      Case{"LowerCaseSignature", {'p', 'z', 0x00, 0x23}, false, {4, 5}},
                      Case{"HalfSignature", {'P', 'z', 0x00, 0x23}, false, {4, 5}},
                      Case{"VersionZero", {'P', 'Z', 0x00, 0x00}, false, {0, 0}},
                      Case{"NibblesNotDecimal", {'P', 'Z', 0x07, 0xA9}, false, {10, 9}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(IdentifyDevice, AsksWithGiAndReadsEchoThenFourBytes) {
  SimRig rig;
  ASSERT_TRUE(rig.OpenQuietly());
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{1, 2}));
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{R"({"call":"FT_Write","args":["4749",2],"status":0})",
                                                   R"({"call":"FT_Read","args":[2,2],"status":0})",
                                                   R"({"call":"FT_Read","args":[4,4],"status":0})"}));
}

TEST(IdentifyDevice, SilentBoardFailsAndKeepsEarlierResults) {
  sim::SimOptions options;
  options.identifyReply = std::nullopt;
  SimRig rig(options);
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.UpdateModeFlag = true;
  rig.state.DeviceVersion = {3, 7};
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_TRUE(rig.state.UpdateModeFlag);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{3, 7}));
}

TEST(IdentifyDevice, ReplyCutShortKeepsEarlierResults) {
  SimRig rig;
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.UpdateModeFlag = true;
  rig.state.DeviceVersion = {3, 7};
  rig.link.ScheduleIdentifyAnswer({{{'P', 'Z', 0x00}, 0}});
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_TRUE(rig.state.UpdateModeFlag);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{3, 7}));
}

TEST(IdentifyDevice, ReplySplitAcrossReadsIsDecoded) {
  SimRig rig;
  ASSERT_TRUE(rig.OpenQuietly());
  rig.link.ScheduleIdentifyAnswer({{{'P', 'Z'}, 0}, {{0x03, 0xFF}, 300}});
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_TRUE(rig.state.UpdateModeFlag);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{15, 15}));
  EXPECT_EQ(rig.trace.size(), 4u);  // write, echo, two reads of the reply
}

TEST(IdentifyDevice, AnswerAfterTheTimeoutCountsAsNone) {
  SimRig rig;
  ASSERT_TRUE(rig.OpenQuietly());
  rig.link.ScheduleIdentifyAnswer({{{'P', 'Z', 0x00, 0x23}, 300}});
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{0, 0}));
}

TEST(IdentifyDevice, ShortEchoNeverReadsTheReply) {
  sim::SimOptions options;
  options.identifyReply = std::nullopt;
  SimRig rig(options);
  ASSERT_TRUE(rig.OpenQuietly());
  rig.link.LoseEchoes(1);
  rig.state.UpdateModeFlag = true;
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_TRUE(rig.state.UpdateModeFlag);
  for (const std::string& call : rig.Calls()) EXPECT_EQ(call.find("\"args\":[4,"), std::string::npos) << call;
}

TEST(IdentifyDevice, RefusedWriteKeepsTheDriversStatus) {
  SimRig rig(WithFaults({"call:FT_Write:1"}));
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.DeviceVersion = {3, 7};
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 1);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{3, 7}));
  EXPECT_EQ(rig.trace.size(), 1u);
}

TEST(IdentifyDevice, CablePulledMidCommandReportsTheIoError) {
  SimRig rig(WithFaults({"unplug:1"}));
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.UpdateModeFlag = true;
  IdentifyDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, static_cast<std::int32_t>(FT_IO_ERROR));
  EXPECT_TRUE(rig.state.UpdateModeFlag);
  IdentifyDevice(rig.state);  // and it stays gone
  EXPECT_EQ(rig.state.LinkStatus, static_cast<std::int32_t>(FT_IO_ERROR));
}

// The probe between write attempts answers only whether the board listens:
// it purges, asks "GI", leaves the versions alone, and fails while a board
// that drops what arrives during programming is still programming a page.
TEST(ProbeDevice, AnsweredOnlyByABoardThatWaitsForACommand) {
  sim::SimOptions options;
  options.identifyReply = std::array<std::uint8_t, 4>{'P', 'Z', 0x00, 0x23};
  options.programMs = 400;
  options.boardReceive = sim::SimOptions::BoardReceive::Drop;
  SimRig rig(options);
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.DeviceVersion = {3, 7};
  ProbeDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.DeviceVersion, (FirmwareVersion{3, 7}));
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{R"({"call":"FT_Purge","args":[3],"status":0})",
                                                   R"({"call":"FT_Write","args":["4749",2],"status":0})",
                                                   R"({"call":"FT_Read","args":[2,2],"status":0})",
                                                   R"({"call":"FT_Read","args":[4,4],"status":0})"}));

  std::vector<std::uint8_t> page = {'W', 'F', 0x00, 0x04, 0x00};
  page.resize(5 + 2048, 0x11);
  std::uint32_t written = 0;
  ASSERT_EQ(
      rig.link.FT_Write(rig.state.LinkHandle, page.data(), static_cast<std::uint32_t>(page.size()), &written),
      FT_OK);
  rig.state.ReadLength = static_cast<std::int32_t>(page.size());
  ReadReply(rig.state);  // the echo: the board is now programming for 400 ms
  ProbeDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  rig.state.ReadLength = 2;
  ReadReply(rig.state);  // the page's "OK", once programmed
  ASSERT_EQ(rig.Reply(2), "OK");
  ProbeDevice(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
}

// Four bytes count as an answer only when start-up would take them for a
// Kelvo it may flash; nothing more is read here.
TEST(ProbeDevice, CountsOnlyAKelvoAnswer) {
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"OKPZ", LinkStatusTransferFailed},  // a late OK and half an answer
      {std::string("PZ\0\0", 4), LinkStatusTransferFailed},
      {"KV\x03\xFF", 0},  // the update-mode answer without the signature
      {std::string("PZ\0\x12PZ\0\x12", 8), 0},
  };
  for (const auto& [sent, status] : cases) {
    SimRig rig;
    ASSERT_TRUE(rig.OpenQuietly());
    rig.link.ScheduleIdentifyAnswer({{Bytes(sent), 0}});
    ProbeDevice(rig.state);
    EXPECT_EQ(rig.state.LinkStatus, status) << sent;
    EXPECT_EQ(rig.Calls().size(), 4u) << sent;
  }
}

}  // namespace
}  // namespace kelvo::test
