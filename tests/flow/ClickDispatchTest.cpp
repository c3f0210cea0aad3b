#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flow/ClickDispatch.h"
#include "flow/FlowFixture.h"
#include "image/FirmwareImageLoader.h"

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

void ExpectIdle(const FakeWindow& window) {
  EXPECT_THAT(window.VisibleButtons(), ElementsAre("Find Device"));
  EXPECT_FALSE(window.progressVisible);
  EXPECT_EQ(window.statusText, "");
  EXPECT_EQ(window.deviceName, "");
}

void ExpectBoardHoldsImage(const Flow& flow, const std::vector<std::uint8_t>& image) {
  const auto& flash = flow.link.Flash();
  for (std::size_t page = 0; page < 63; ++page) {
    ASSERT_TRUE(std::equal(flash.begin() + page * 2048, flash.begin() + (page + 1) * 2048,
                           image.begin() + ImagePageOffset(page)))
        << "page " << page;
  }
}

TEST(ClickDispatch, WholeFlowFromFindToFlashCompleteAndBack) {
  Flow flow;
  flow.Start();
  ExpectIdle(flow.window);

  flow.window.Click(ButtonFindDevice);
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));

  flow.window.Click(ButtonFlashDevice);
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Ok!"));
  EXPECT_EQ(flow.window.statusText, "Flash Complete!");
  EXPECT_EQ(flow.window.deviceName, "Kelvo");
  EXPECT_FALSE(flow.window.progressVisible);
  EXPECT_THAT(flow.window.messages, IsEmpty());
  ExpectBoardHoldsImage(flow, MakeSampleImage());

  flow.window.Click(ButtonOk);
  ExpectIdle(flow.window);
}

TEST(ClickDispatch, AbortReturnsToIdleWithoutTouchingTheBoard) {
  Flow flow;
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  flow.window.Click(ButtonAbortFlash);
  ExpectIdle(flow.window);
  EXPECT_EQ(flow.Count("\"FT_Write\",\"args\":[\"5746"), 0) << "no WF may be sent";
}

TEST(ClickDispatch, FailedFlashReturnsToIdleAfterItsMessage) {
  Flow flow(WithFaults({"write:7:50"}));
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  flow.window.Click(ButtonFlashDevice);

  ASSERT_EQ(flow.window.messages.size(), 1u);
  EXPECT_EQ(flow.window.messages[0].title, "Write Failure!");
  ExpectIdle(flow.window);
  EXPECT_TRUE(flow.state.OperationFailed);
  // The operator can start again from the top.
  flow.window.Click(ButtonFindDevice);
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));
}

TEST(ClickDispatch, EveryClickStartsWithTheFailureFlagCleared) {
  Flow flow;
  flow.Start();
  flow.state.OperationFailed = true;  // left over from an earlier operation
  flow.window.Click(ButtonFindDevice);
  EXPECT_FALSE(flow.state.OperationFailed);
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));

  flow.state.OperationFailed = true;
  flow.window.Click(ButtonFlashDevice);
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Ok!"));
}

TEST(ClickDispatch, UnknownIndexDoesNothing) {
  Flow flow;
  flow.Start();
  const auto logSize = flow.window.log.size();
  flow.state.OperationFailed = true;
  Button_Click(flow.state, 7);
  Button_Click(flow.state, -1);
  EXPECT_EQ(flow.window.log.size(), logSize);
}

TEST(ClickDispatch, CloseDuringFlashIsRefusedAndTheFlashCompletes) {
  Flow flow;
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  int asked = 0;
  flow.window.onPump = [&] {
    if (asked == 0 && flow.state.FlashAddress == 20 * 1024) {
      ++asked;
      flow.window.UserClose();
    }
  };
  flow.window.Click(ButtonFlashDevice);

  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(flow.window.closed);
  EXPECT_EQ(flow.window.statusText, "Flash Complete!");
  ExpectBoardHoldsImage(flow, MakeSampleImage());
  // Once the flash has ended, closing works again and closes the link.
  flow.window.onPump = nullptr;
  flow.window.UserClose();
  EXPECT_TRUE(flow.window.closed);
  EXPECT_EQ(flow.state.LinkHandle, 0u);
}

TEST(ClickDispatch, CloseDuringDeviceCheckIsCarriedOutWhenTheCheckReturns) {
  Flow flow;
  flow.Start();
  flow.window.onPump = [&] {
    if (flow.state.Running == RunningOperation::DeviceCheck && flow.window.closeRequests == 0) {
      flow.window.UserClose();
      EXPECT_FALSE(flow.window.closed) << "the link is still in use";
    }
  };
  flow.window.Click(ButtonFindDevice);

  EXPECT_TRUE(flow.window.closed);
  EXPECT_EQ(flow.state.LinkHandle, 0u);
  EXPECT_THAT(flow.window.messages, IsEmpty()) << "the user's own close is no USB failure";
}

TEST(ClickDispatch, SecondFindClickDuringTheCheckIsIgnored) {
  Flow flow;
  flow.Start();
  int clicks = 0;
  flow.window.onPump = [&] {
    if (flow.state.Running == RunningOperation::DeviceCheck && clicks++ == 0) flow.window.Click(ButtonFindDevice);
  };
  flow.window.Click(ButtonFindDevice);

  EXPECT_EQ(flow.IdentifyCommands(), 2) << "one at start-up, one for the check";
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));
  EXPECT_THAT(flow.window.messages, IsEmpty());
}

}  // namespace
}  // namespace kelvo::test
