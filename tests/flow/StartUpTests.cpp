// Start-up and shutdown over the recording window and the simulated cable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "link/LinkConnection.h"
#include "sim/SimLink.h"
#include "support/SimRig.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Reply = std::array<std::uint8_t, 4>;

class StartUp : public ::testing::Test {
 protected:
  // Builds the cable and the state once per case; options must be set first.
  UpdaterState& Start(sim::SimOptions options) {
    link.emplace(std::move(options));
    link->SetTraceSink([this](const std::string& line) { trace.push_back(line); });
    state.emplace(*link, window, window, test::NoResources());
    BindWindow(*state);
    return *state;
  }

  UpdaterState& Load(sim::SimOptions options) {
    UpdaterState& s = Start(std::move(options));
    Form_Load(s);
    return s;
  }

  static sim::SimOptions Board(std::optional<Reply> reply) {
    sim::SimOptions options;
    options.identifyReply = reply;
    return options;
  }

  int Calls(std::string_view name) const {
    const std::string key = "\"call\":\"" + std::string(name) + "\"";
    return static_cast<int>(std::count_if(trace.begin(), trace.end(), [&](const std::string& line) {
      return line.find(key) != std::string::npos;
    }));
  }

  static void ExpectNoBuffers(const UpdaterState& s) {
    EXPECT_TRUE(s.FirmwareImage.empty());
    EXPECT_TRUE(s.ScrambledImage.empty());
    EXPECT_TRUE(s.ReadBackBuffer.empty());
    EXPECT_TRUE(s.PageBuffer.empty());
    EXPECT_EQ(s.ImageResourceId, 0);
  }

  test::FakeWindow window;
  std::optional<sim::SimLink> link;
  std::optional<UpdaterState> state;
  std::vector<std::string> trace;
};

const std::vector<std::string> IdleSteps = {"show Find Device", "hide Flash Device", "hide Abort Flash",
                                            "hide Ok!",         "hide progress",     "status ",
                                            "device "};

TEST_F(StartUp, GoodBoardGivesTheIdleWindowAndZeroedBuffers) {
  UpdaterState& s = Load(Board(Reply{'P', 'Z', 0, 0x12}));

  std::vector<std::string> expected = {"title Kelvo Firmware Updater v2.3"};
  expected.insert(expected.end(), IdleSteps.begin(), IdleSteps.end());
  expected.push_back("shown");
  EXPECT_EQ(window.log, expected);
  EXPECT_THAT(window.VisibleButtons(), ElementsAre("Find Device"));
  EXPECT_FALSE(window.progressVisible);
  EXPECT_THAT(window.messages, IsEmpty());
  EXPECT_FALSE(window.programEnded);

  EXPECT_NE(s.LinkHandle, 0u);
  EXPECT_EQ(s.DeviceVersion, (FirmwareVersion{1, 2}));
  EXPECT_EQ(s.ImageResourceId, 100);
  EXPECT_EQ(s.FirmwareImage, std::vector<std::uint8_t>(131080, 0));
  EXPECT_EQ(s.ScrambledImage, std::vector<std::uint8_t>(524320, 0));
  EXPECT_EQ(s.ReadBackBuffer, std::vector<std::uint8_t>(2049, 0));
  EXPECT_EQ(s.PageBuffer, std::vector<std::uint8_t>(2049, 0));
}

TEST_F(StartUp, TitleCarriesTheVersionAsPlainNumbers) {
  window.versionMajor = 10;
  window.versionMinor = 0;
  Load(sim::SimOptions{});
  EXPECT_EQ(window.title, "Kelvo Firmware Updater v10.0");

  // A program carrying the sample image says so; the rest stays as it is.
  UpdaterState& s = Start(sim::SimOptions{});
  s.SampleFirmware = true;
  Form_Load(s);
  EXPECT_EQ(window.title, "Kelvo Firmware Updater v10.0 (sample firmware)");
}

TEST_F(StartUp, SecondInstanceIsRefusedBeforeAnythingElse) {
  window.anotherInstance = true;
  window.programFileName = "kelvo-updater";
  UpdaterState& s = Load(sim::SimOptions{});

  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "kelvo-updater already running! ");
  EXPECT_EQ(window.messages[0].title, "Kelvo Firmware Updater");
  EXPECT_TRUE(window.messages[0].style.critical);
  EXPECT_TRUE(window.messages[0].style.systemModal);
  EXPECT_THAT(window.log, ElementsAre("message kelvo-updater already running! ", "closed", "end"));
  EXPECT_TRUE(window.title.empty());
  EXPECT_EQ(Calls("FT_OpenEx"), 0);
  EXPECT_EQ(Calls("FT_Close"), 0);
  ExpectNoBuffers(s);
}

TEST_F(StartUp, MissingCableClosesTheWindowBeforeItsMessage) {
  sim::SimOptions noCable;
  noCable.devices.clear();
  UpdaterState& s = Load(noCable);

  EXPECT_THAT(window.log, ElementsAre("title Kelvo Firmware Updater v2.3", "closed",
                                      "message Serial Link interface not found!"));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].title, "USB Error!");
  EXPECT_FALSE(window.messages[0].style.critical);
  EXPECT_FALSE(window.messages[0].style.systemModal);
  // The program ends by having no window; nothing else runs.
  EXPECT_FALSE(window.programEnded);
  EXPECT_FALSE(window.shown);
  EXPECT_EQ(Calls("FT_Write"), 0);
  EXPECT_EQ(s.LinkHandle, 0u);
  ExpectNoBuffers(s);
  EXPECT_EQ(s.Outcome.kind, OutcomeKind::NotFound);
  EXPECT_EQ(Diagnose(s, nullptr).cause, Diagnosis::Cause::Absent);
}

TEST_F(StartUp, AnOpenLinkIsKeptAndNotOpenedAgain) {
  UpdaterState& s = Start(sim::SimOptions{});
  OpenLink(s);
  ASSERT_EQ(s.LinkStatus, 0);
  const FT_HANDLE handle = s.LinkHandle;
  Form_Load(s);

  EXPECT_EQ(Calls("FT_OpenEx"), 1);
  EXPECT_EQ(s.LinkHandle, handle);
  EXPECT_TRUE(window.shown);
}

// Boards whose answer yields no version outside update mode.
struct Refused {
  const char* name;
  std::optional<Reply> reply;
  // What both front ends then say of the board.
  Diagnosis::Cause cause;
  const char* answer;
};

void PrintTo(const Refused& board, std::ostream* out) { *out << board.name; }

class NotInUpdateMode : public StartUp, public ::testing::WithParamInterface<Refused> {};

TEST_P(NotInUpdateMode, IsRefusedAfterTheLinkWasOpenedAndClosesIt) {
  UpdaterState& s = Load(Board(GetParam().reply));

  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "Kelvo not in update mode! ");
  EXPECT_EQ(window.messages[0].title, "Kelvo Firmware Updater");
  EXPECT_TRUE(window.messages[0].style.critical);
  EXPECT_TRUE(window.messages[0].style.systemModal);
  EXPECT_THAT(window.log, ElementsAre("title Kelvo Firmware Updater v2.3",
                                      "message Kelvo not in update mode! ", "closed", "end"));
  EXPECT_FALSE(window.shown);
  EXPECT_EQ(Calls("FT_Close"), 1);
  EXPECT_EQ(s.LinkHandle, 0u);
  ExpectNoBuffers(s);

  // Recorded where the message is shown, with the answer as it was read.
  EXPECT_EQ(s.Outcome.kind, OutcomeKind::NotInUpdateMode);
  const Diagnosis why = Diagnose(s, nullptr);
  EXPECT_EQ(why.cause, GetParam().cause);
  EXPECT_EQ(why.answer, GetParam().answer);
  EXPECT_NE(why.line.find(GetParam().answer), std::string::npos) << why.line;
}

INSTANTIATE_TEST_SUITE_P(Boards, NotInUpdateMode,
                         ::testing::Values(Refused{"Version00", Reply{'P', 'Z', 0, 0x00},
                                                   Diagnosis::Cause::NoVersion, "50 5a 00 00"},
                                           Refused{"Silent", std::nullopt, Diagnosis::Cause::Silent, ""},
                                           Refused{"WrongSignature", Reply{'X', 'Y', 0, 0x12},
                                                   Diagnosis::Cause::NotKelvo, "58 59 00 12"},
                                           Refused{"MarkerWithoutFF", Reply{'P', 'Z', 3, 0x00},
                                                   Diagnosis::Cause::NoVersion, "50 5a 03 00"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Accepted {
  const char* name;
  Reply reply;
  FirmwareVersion version;
};

void PrintTo(const Accepted& board, std::ostream* out) { *out << board.name; }

class BoardAccepted : public StartUp, public ::testing::WithParamInterface<Accepted> {};

TEST_P(BoardAccepted, ShowsTheIdleWindow) {
  UpdaterState& s = Load(Board(GetParam().reply));

  EXPECT_THAT(window.messages, IsEmpty());
  EXPECT_TRUE(window.shown);
  EXPECT_EQ(s.DeviceVersion, GetParam().version);
  EXPECT_EQ(s.FirmwareImage.size(), 131080u);
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardAccepted,
                         ::testing::Values(
                             // The update-mode answer counts as 1.2 whatever it decodes to.
                             Accepted{"UpdateMode", Reply{'P', 'Z', 3, 0xFF}, {1, 2}},
                             Accepted{"UpdateModeWrongSignature", Reply{'X', 'Y', 3, 0xFF}, {1, 2}},
                             Accepted{"MajorOnly", Reply{'P', 'Z', 0, 0x30}, {3, 0}},
                             Accepted{"MinorOnly", Reply{'P', 'Z', 0, 0x01}, {0, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartUp, FailedIdentificationIsNotReportedByItself) {
  // The request cannot be sent; the version stays what it was.
  UpdaterState& s = Start(test::WithFaults({"call:FT_Write:4"}));
  s.DeviceVersion = {2, 1};
  Form_Load(s);

  EXPECT_NE(s.LinkStatus, 0);
  EXPECT_THAT(window.messages, IsEmpty());
  EXPECT_EQ(s.DeviceVersion, (FirmwareVersion{2, 1}));
  EXPECT_TRUE(window.shown);
}

TEST_F(StartUp, ClosingTheWindowClosesTheLinkOnce) {
  UpdaterState& s = Load(sim::SimOptions{});
  ASSERT_NE(s.LinkHandle, 0u);
  window.Close();

  EXPECT_TRUE(window.closed);
  EXPECT_EQ(s.LinkHandle, 0u);
  EXPECT_EQ(Calls("FT_Close"), 1);
  // A second unload finds no link and leaves the driver alone.
  Form_Unload(s);
  EXPECT_EQ(Calls("FT_Close"), 1);
}

TEST_F(StartUp, UnloadWithoutLinkTouchesNoDriver) {
  UpdaterState& s = Start(sim::SimOptions{});
  window.Close();
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(s.LinkHandle, 0u);
  EXPECT_THAT(trace, IsEmpty());
}

TEST_F(StartUp, UserCloseIsRefusedDuringAFlashAndDeferredDuringACheck) {
  UpdaterState& s = Load(sim::SimOptions{});

  s.Running = RunningOperation::Flash;
  window.UserClose();
  EXPECT_FALSE(window.closed);
  EXPECT_FALSE(s.CloseDeferred);
  EXPECT_NE(s.LinkHandle, 0u);

  s.Running = RunningOperation::DeviceCheck;
  window.UserClose();
  EXPECT_FALSE(window.closed);
  EXPECT_TRUE(s.CloseDeferred);
  EXPECT_EQ(Calls("FT_Close"), 0);

  s.Running = RunningOperation::None;
  window.UserClose();
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(Calls("FT_Close"), 1);
}

TEST_F(StartUp, TheProgramsOwnCloseIsGrantedEvenDuringAnOperation) {
  UpdaterState& s = Load(sim::SimOptions{});
  s.Running = RunningOperation::DeviceCheck;
  window.Close();
  EXPECT_TRUE(window.closed);
  EXPECT_FALSE(s.CloseDeferred);
  EXPECT_EQ(Calls("FT_Close"), 1);
}

}  // namespace
}  // namespace kelvo
