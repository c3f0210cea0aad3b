#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flow/ClickDispatch.h"
#include "flow/DeviceCheck.h"
#include "flow/FlowFixture.h"

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

sim::SimOptions BoardAnswering(std::array<std::uint8_t, 4> reply) {
  sim::SimOptions options;
  options.identifyReply = reply;
  return options;
}

std::vector<std::uint8_t> SampleWithVersion(std::uint8_t versionByte) {
  std::vector<std::uint8_t> plain = MakeSampleImage();
  plain[3] = versionByte;
  return plain;
}

// Index in the window's log of the first entry that starts with `prefix`.
std::ptrdiff_t LogIndex(const FakeWindow& window, const std::string& prefix) {
  const auto it = std::find_if(window.log.begin(), window.log.end(),
                               [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
  return it == window.log.end() ? -1 : it - window.log.begin();
}

TEST(VersionText, ShowsMajorAsCharacterAndMinorWithLeadingBlank) {
  EXPECT_EQ(VersionText({1, 2}), "1. 2");
  EXPECT_EQ(VersionText({0, 0}), "0. 0");
  EXPECT_EQ(VersionText({3, 12}), "3. 12");
  // Majors past 9 run on into the characters after the digits.
  EXPECT_EQ(VersionText({10, 0}), ":. 0");
  EXPECT_EQ(VersionText({15, 15}), "?. 15");
}

TEST(DeviceCheck, ShowsBothVersionsAndOffersTheFlash) {
  Flow flow(BoardAnswering({'P', 'Z', 0, 0x12}), ResourceOf(ScrambledSample(SampleWithVersion(0x30))));
  flow.Start();
  flow.window.Click(ButtonFindDevice);

  EXPECT_EQ(flow.window.statusText, "Firmware: v1. 2  -  Upgrading to: v3. 0");
  EXPECT_EQ(flow.window.deviceName, "Kelvo");
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"));
  EXPECT_FALSE(flow.window.progressVisible);
  EXPECT_TRUE(flow.window.messages.empty());
  EXPECT_FALSE(flow.state.OperationFailed);
  // Identified at start-up and again by the check.
  EXPECT_EQ(flow.IdentifyCommands(), 2);
}

TEST(DeviceCheck, LargeVersionNumbersKeepTheirOddLook) {
  Flow flow(BoardAnswering({'P', 'Z', 0, 0xAC}), ResourceOf(ScrambledSample(SampleWithVersion(0xB5))));
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  EXPECT_EQ(flow.window.statusText, "Firmware: v:. 12  -  Upgrading to: v;. 5");
}

TEST(DeviceCheck, OffersTheFlashWhateverTheVersionsAre) {
  for (const std::uint8_t boardVersion : {std::uint8_t{0x30}, std::uint8_t{0x41}}) {
    Flow flow(BoardAnswering({'P', 'Z', 0, boardVersion}),
              ResourceOf(ScrambledSample(SampleWithVersion(0x30))));
    flow.Start();
    flow.window.Click(ButtonFindDevice);
    EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Flash Device", "Abort Flash"))
        << "board version byte " << int(boardVersion);
  }
}

TEST(DeviceCheck, UnsupportedImageIsReportedAndTheWindowReturnsToIdle) {
  std::vector<std::uint8_t> plain = MakeSampleImage();
  plain[4] = 1;
  Flow flow({}, ResourceOf(ScrambledSample(plain)));
  flow.Start();
  flow.window.Click(ButtonFindDevice);

  ASSERT_EQ(flow.window.messages.size(), 1u);
  EXPECT_EQ(flow.window.messages[0].text, "Device not currently supported for upgrading!");
  EXPECT_EQ(flow.window.messages[0].title, "Device not supported!");
  EXPECT_FALSE(flow.window.messages[0].style.critical);
  EXPECT_FALSE(flow.window.messages[0].style.systemModal);
  // "Kelvo" stands while the message is up, and is gone once back to idle.
  const auto kelvo = LogIndex(flow.window, "device Kelvo");
  const auto message = LogIndex(flow.window, "message Device not currently");
  ASSERT_GE(kelvo, 0);
  EXPECT_LT(kelvo, message);
  EXPECT_EQ(flow.window.deviceName, "");
  EXPECT_EQ(flow.window.statusText, "");
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Find Device"));
  EXPECT_TRUE(flow.state.OperationFailed);
}

TEST(DeviceCheck, MissingImageIsReportedAsUnsupported) {
  Flow flow({}, [](std::string_view, int) { return std::optional<std::vector<std::uint8_t>>(); });
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  ASSERT_EQ(flow.window.messages.size(), 1u);
  EXPECT_EQ(flow.window.messages[0].title, "Device not supported!");
  EXPECT_THAT(flow.window.VisibleButtons(), ElementsAre("Find Device"));
}

TEST(DeviceCheck, FailedFirstPurgeClosesTheWindowBeforeReporting) {
  // Start-up purges nothing, so the check's first purge is the first of the run.
  Flow flow(WithFaults({"call:FT_Purge:4:1"}));
  flow.Start();
  flow.window.Click(ButtonFindDevice);

  EXPECT_EQ(flow.IdentifyCommands(), 1) << "the board must not be asked again";
  ASSERT_EQ(flow.window.messages.size(), 1u);
  EXPECT_EQ(flow.window.messages[0].text, "USB Connection Failure!");
  EXPECT_EQ(flow.window.messages[0].title, "USB Error");
  EXPECT_FALSE(flow.window.messages[0].style.critical);
  EXPECT_TRUE(flow.window.closed);
  EXPECT_LT(LogIndex(flow.window, "closed"), LogIndex(flow.window, "message USB Connection Failure!"));
  EXPECT_EQ(flow.state.LinkHandle, 0u);
  EXPECT_EQ(flow.Count("\"FT_Close\""), 1);
  // Nothing after the message: the dispatch leaves a closed window alone.
  EXPECT_EQ(flow.window.log.back(), "message USB Connection Failure!");
}

TEST(DeviceCheck, FailedSecondPurgeAlsoEndsTheProgram) {
  Flow flow(WithFaults({"call:FT_Purge:4:2"}));
  flow.Start();
  flow.window.Click(ButtonFindDevice);
  EXPECT_EQ(flow.IdentifyCommands(), 2);
  ASSERT_EQ(flow.window.messages.size(), 1u);
  EXPECT_EQ(flow.window.messages[0].text, "USB Connection Failure!");
  EXPECT_TRUE(flow.window.closed);
}

TEST(DeviceCheck, BoardThatStopsAnsweringKeepsItsLastVersion) {
  Flow flow(BoardAnswering({'P', 'Z', 0, 0x23}));
  flow.Start();
  // The board goes quiet after start-up: every later read of its reply fails.
  flow.link.ScheduleIdentifyAnswer({});
  flow.window.Click(ButtonFindDevice);
  EXPECT_TRUE(flow.window.messages.empty());
  EXPECT_EQ(flow.window.statusText.rfind("Firmware: v2. 3  -  ", 0), 0u) << flow.window.statusText;
}

TEST(DeviceCheck, DoesNotApplyTheUpdateModeRule) {
  // Start-up treats the update-mode answer as 1.2; the check shows what the
  // reply decodes to.
  Flow flow(BoardAnswering({'P', 'Z', 3, 0xFF}));
  flow.Start();
  EXPECT_EQ(flow.state.DeviceVersion, (FirmwareVersion{1, 2}));
  flow.window.Click(ButtonFindDevice);
  EXPECT_EQ(flow.window.statusText.rfind("Firmware: v?. 15", 0), 0u) << flow.window.statusText;
}

}  // namespace
}  // namespace kelvo::test
