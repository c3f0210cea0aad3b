#include "link/LinkConnection.h"

#include <gtest/gtest.h>

#include "link/LinkTransfers.h"
#include "support/SimRig.h"

namespace kelvo::test {
namespace {

sim::SimOptions Devices(std::vector<std::string> devices) {
  sim::SimOptions options;
  options.devices = std::move(devices);
  return options;
}

const std::vector<std::string> SetupCalls = {
    R"({"call":"FT_SetBaudRate","args":[125000],"status":0})",
    R"({"call":"FT_SetFlowControl","args":[0,0,0],"status":0})",
    R"({"call":"FT_SetLatencyTimer","args":[2],"status":0})",
    R"({"call":"FT_SetUSBParameters","args":[4096,0],"status":0})",
    R"({"call":"FT_SetDataCharacteristics","args":[8,0,0],"status":0})",
    R"({"call":"FT_SetChars","args":[0,0,0,0],"status":0})",
    R"({"call":"FT_SetTimeouts","args":[250,0],"status":0})",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(OpenLink, OpensTheBoardsCableWithTheLineSettingsThenDrains) {
  SimRig rig;
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_NE(rig.state.LinkHandle, 0u);
  const auto expected =
      Concat(Concat({R"({"call":"FT_OpenEx","args":["Corvane Serial Link",2],"status":0})"}, SetupCalls),
             {R"({"call":"FT_Read","args":[20,0],"status":0})"});
  EXPECT_EQ(rig.Calls(), expected);
  // With nothing waiting, the drain costs one read timeout.
  EXPECT_DOUBLE_EQ(rig.link.NowMs(), 250.0);
  EXPECT_EQ(rig.window.pumps, 1);
}

TEST(OpenLink, FallsBackToTheGenericCableDescription) {
  SimRig rig(Devices({"FT232R USB UART"}));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_NE(rig.state.LinkHandle, 0u);
  const auto expected = Concat(Concat({R"({"call":"FT_OpenEx","args":["Corvane Serial Link",2],"status":2})",
                                       R"({"call":"FT_OpenEx","args":["FT232R USB UART",2],"status":0})"},
                                      SetupCalls),
                               {R"({"call":"FT_Read","args":[20,0],"status":0})"});
  EXPECT_EQ(rig.Calls(), expected);
}

TEST(OpenLink, PrefersTheBoardsCableWhenBothAreAttached) {
  SimRig rig(Devices({"FT232R USB UART", "Corvane Serial Link"}));
  OpenLink(rig.state);
  ASSERT_EQ(rig.state.LinkStatus, 0);
  ASSERT_EQ(rig.Calls()[0], R"({"call":"FT_OpenEx","args":["Corvane Serial Link",2],"status":0})");
  EXPECT_EQ(rig.Calls()[1], SetupCalls[0]);
  // The Corvane device is the one in use; the other is still free.
  FT_HANDLE other = 0;
  EXPECT_EQ(rig.link.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &other), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(rig.link.FT_OpenEx("FT232R USB UART", FT_OPEN_BY_DESCRIPTION, &other), FT_OK);
}

TEST(OpenLink, NoCableAttachedLeavesTheSecondOpensStatusAndClosesNothing) {
  SimRig rig(Devices({"USB Serial Converter"}));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, static_cast<std::int32_t>(FT_DEVICE_NOT_FOUND));
  EXPECT_EQ(rig.state.LinkHandle, 0u);
  EXPECT_EQ(rig.trace.size(), 2u);

  // The status reported is the second open's, not the first's.
  SimRig second(WithFaults({"call:FT_OpenEx:5:2"}, Devices({})));
  OpenLink(second.state);
  EXPECT_EQ(second.state.LinkStatus, 5);
  EXPECT_EQ(second.state.LinkHandle, 0u);
  EXPECT_EQ(second.Calls().size(), 2u);
}

// Each tested set-up step, failing with a status of its own.
class SetupStepFails : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(SetupStepFails, ClosesTheDeviceAndKeepsTheStepsStatus) {
  const auto [call, step] = GetParam();
  SimRig rig(WithFaults({std::string("call:") + call + ":17"}));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 17);
  EXPECT_EQ(rig.state.LinkHandle, 0u);

  const auto calls = rig.Calls();
  // Open, the steps up to the failing one, then the close and nothing else.
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(step) + 2);
  EXPECT_NE(calls[static_cast<std::size_t>(step)].find(std::string("\"call\":\"") + call + "\""),
            std::string::npos);
  EXPECT_NE(calls[static_cast<std::size_t>(step)].find("\"status\":17"), std::string::npos);
  EXPECT_EQ(calls.back(), R"({"call":"FT_Close","args":[],"status":0})");
  // The close went to the opened device: it can be opened again.
  FT_HANDLE again = 0;
  EXPECT_EQ(rig.link.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &again), FT_OK);
}

INSTANTIATE_TEST_SUITE_P(OpenLink, SetupStepFails,
                         ::testing::Values(std::pair{"FT_SetBaudRate", 1}, std::pair{"FT_SetFlowControl", 2},
                                           std::pair{"FT_SetLatencyTimer", 3},
                                           std::pair{"FT_SetDataCharacteristics", 5},
                                           std::pair{"FT_SetChars", 6}, std::pair{"FT_SetTimeouts", 7}));

TEST(OpenLink, AFailingUsbParametersCallIsForgotten) {
  SimRig rig(WithFaults({"call:FT_SetUSBParameters:4"}));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_NE(rig.state.LinkHandle, 0u);
  const auto calls = rig.Calls();
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(calls[4], R"({"call":"FT_SetUSBParameters","args":[4096,0],"status":4})");
  for (std::size_t step = 5; step <= 7; ++step) EXPECT_EQ(calls[step], SetupCalls[step - 1]);
}

TEST(OpenLink, DrainTakesAFewWaitingBytes) {
  SimRig rig;
  rig.link.SendFromBoard(Bytes("junk!"));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  const auto calls = rig.Calls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[8], R"({"call":"FT_Read","args":[20,5],"status":0})");
  EXPECT_EQ(calls[9], R"({"call":"FT_Read","args":[15,0],"status":0})");
  EXPECT_EQ(rig.Reply(6), "junk! ");
}

TEST(OpenLink, DrainTakesExactlyTwentyAndLeavesTheRest) {
  SimRig rig;
  rig.link.SendFromBoard(Bytes("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Calls().back(), R"({"call":"FT_Read","args":[20,20],"status":0})");
  EXPECT_EQ(rig.Reply(21), "ABCDEFGHIJKLMNOPQRST ");

  rig.state.ReadLength = 10;
  ReadReply(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Reply(10), "UVWXYZ0123");
}

TEST(OpenLink, AFailingDrainDoesNotFailTheOpen) {
  SimRig rig(WithFaults({"call:FT_Read:18"}));
  rig.link.SendFromBoard(Bytes("xy"));
  OpenLink(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_NE(rig.state.LinkHandle, 0u);
  EXPECT_EQ(rig.window.pumps, 0);
}

TEST(CloseLink, ClosesOnceAndNeverWithoutALink) {
  SimRig rig;
  CloseLink(rig.state);
  EXPECT_TRUE(rig.trace.empty());
  EXPECT_EQ(rig.state.LinkHandle, 0u);

  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.LinkStatus = 8;
  CloseLink(rig.state);
  CloseLink(rig.state);
  EXPECT_EQ(rig.Calls(), std::vector<std::string>{R"({"call":"FT_Close","args":[],"status":0})"});
  EXPECT_EQ(rig.state.LinkHandle, 0u);
  EXPECT_EQ(rig.state.LinkStatus, 8);  // closing reports nothing
}

TEST(CloseLink, IgnoresAFailingClose) {
  SimRig rig(WithFaults({"call:FT_Close:4"}));
  ASSERT_TRUE(rig.OpenQuietly());
  rig.state.LinkStatus = 0;
  CloseLink(rig.state);
  EXPECT_EQ(rig.state.LinkHandle, 0u);
  EXPECT_EQ(rig.state.LinkStatus, 0);
}

}  // namespace
}  // namespace kelvo::test
