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
    if (flow.state.Running == RunningOperation::DeviceCheck && clicks++ == 0)
      flow.window.Click(ButtonFindDevice);
  };
  flow.window.Click(ButtonFindDevice);

  EXPECT_EQ(flow.IdentifyCommands(), 2) << "one at start-up, one for the check";
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));
  EXPECT_THAT(flow.window.messages, IsEmpty());
}

// What ended each operation is recorded as a value where its message is
// shown; the front ends read that, never the message's words.
TEST(ClickDispatch, EachOperationRecordsWhatEndedIt) {
  struct Case {
    std::vector<std::string> faults;
    OutcomeKind kind;
    int page;     // where the flash ended, -1 for none
    int attempt;  // 50 when a page's budget ran out
    bool startPageAtRisk;
    std::vector<PageRetries> retries;
  };
  const std::vector<Case> cases = {
      {{}, OutcomeKind::Complete, -1, 0, false, {}},
      {{"write:4:3"}, OutcomeKind::Complete, 4, 4, false, {{4, 3}}},
      {{"write:5:30", "verify:5:20"}, OutcomeKind::VerifyFailure, 5, 50, false, {{5, 50}}},
      {{"write:9:50"}, OutcomeKind::WriteFailure, 9, 50, false, {{9, 50}}},
      {{"verify:0:50"}, OutcomeKind::VerifyFailure, 0, 50, true, {{0, 50}}},
      // The cable leaves the bus in page 25 (each page costs the PC 2060
      // bytes): the driver's own failure.
      {{"unplug:50000"}, OutcomeKind::UsbFailure, 25, 50, false, {{25, 50}}},
  };
  for (const Case& c : cases) {
    const std::string label = c.faults.empty() ? "none" : c.faults.front();
    Flow flow(WithFaults(c.faults));
    flow.Start();
    flow.window.Click(ButtonFindDevice);
    EXPECT_EQ(flow.state.Outcome.kind, OutcomeKind::Ready) << label;
    EXPECT_EQ(flow.state.Outcome.imageVersion, flow.state.ImageVersion) << label;
    flow.window.Click(ButtonFlashDevice);

    const OperationOutcome& ended = flow.state.Outcome;
    EXPECT_EQ(ended.kind, c.kind) << label;
    EXPECT_EQ(ended.page, c.page) << label;
    EXPECT_EQ(ended.attempt, c.attempt) << label;
    EXPECT_EQ(ended.startPageAtRisk, c.startPageAtRisk) << label;
    EXPECT_EQ(ended.retries, c.retries) << label;
    EXPECT_EQ(ended.linkStatus, flow.state.LinkStatus) << label;
    EXPECT_EQ(ended.deviceVersion, (FirmwareVersion{1, 2})) << label;
    // The window is told as it always was.
    EXPECT_EQ(flow.window.messages.size(), c.kind == OutcomeKind::Complete ? 0u : 1u) << label;
    if (c.kind == OutcomeKind::UsbFailure) {
      EXPECT_EQ(flow.window.messages[0].title, "Write Failure!");
    }
  }
  Flow unsupported(sim::SimOptions{}, NoResources());
  unsupported.Start();
  unsupported.window.Click(ButtonFindDevice);
  EXPECT_EQ(unsupported.state.Outcome.kind, OutcomeKind::ImageUnsupported);
  // Every click starts from a clear record.
  unsupported.window.Click(ButtonFindDevice);
  EXPECT_EQ(unsupported.state.Outcome.retries.size(), 0u);
  Flow purgeFails(WithFaults({"call:FT_Purge:4:1"}));
  purgeFails.Start();
  purgeFails.window.Click(ButtonFindDevice);
  EXPECT_EQ(purgeFails.state.Outcome.kind, OutcomeKind::UsbFailure);
  EXPECT_EQ(purgeFails.state.Outcome.page, -1);
}

// The front ends keep the session from ending a flash while their guard is
// on: it goes on before the first byte of the flash and off after the last.
TEST(ClickDispatch, FlashGuardSpansTheWholeFlashAndNothingElse) {
  Flow flow;
  std::vector<std::string> guard;
  flow.state.FlashGuard = [&](bool on) {
    guard.push_back((on ? "on after " : "off after ") + std::to_string(flow.link.PageEvents().size()) +
                    " page events, running " + std::to_string(static_cast<int>(flow.state.Running)));
  };
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  flow.window.Click(ButtonAbortFlash);
  EXPECT_THAT(guard, IsEmpty());
  flow.window.Click(ButtonFindDevice);
  flow.window.Click(ButtonFlashDevice);
  EXPECT_THAT(guard,
              ElementsAre("on after 0 page events, running 0", "off after 126 page events, running 0"));
}

}  // namespace
}  // namespace kelvo::test
