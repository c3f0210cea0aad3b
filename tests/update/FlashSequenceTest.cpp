#include "update/FlashSequence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/LinkConnection.h"
#include "support/SimRig.h"

namespace kelvo {
namespace {

using sim::PageEvent;
using ::testing::ElementsAreArray;
using Bytes = std::vector<std::uint8_t>;

constexpr int PageBytes = 2048;
constexpr int HeaderBytes = 8;
constexpr std::uint8_t FlashBefore = 0x5A;

const std::string AscendingWriteText = "Device write error! Data is corrupted!  Re-try update!";
const std::string AscendingVerifyText = "Device verify error!  Data is corrupted!  Re-try update!";
const std::string PageZeroWriteText =
    "Step 3 - Device write error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!";
const std::string PageZeroVerifyText =
    "Device verify error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!";

// Header "FW" with version 3.1, then 64 pages that differ from each other,
// from the board's flash before the run and from an erased page.
Bytes MakeImage() {
  Bytes image(HeaderBytes + 64 * PageBytes, 0);
  image[0] = 'F';
  image[1] = 'W';
  image[2] = 0x31;
  for (int page = 0; page < 64; ++page) {
    for (int i = 0; i < PageBytes; ++i) {
      image[static_cast<std::size_t>(HeaderBytes + page * PageBytes + i)] =
          static_cast<std::uint8_t>(i == 0 ? page : (i * 13 + page * 29 + i / 256) % 251);
    }
  }
  return image;
}

// A board behind the simulated cable, an open link and a loaded image: the
// state the device check leaves for the flash.
struct FlashRig : test::SimRig {
  explicit FlashRig(const std::vector<const char*>& faults = {}, int programMs = 0, bool answersGi = true)
      : SimRig(Options(faults, programMs, answersGi)) {
    OpenLink(state);
    window.onPump = [this] { window.log.push_back("pump"); };
    link.SetTraceSink([this](const std::string& line) {
      if (line.find("\"FT_Purge\"") != std::string::npos) window.log.push_back("purge");
    });
    state.FirmwareImage = MakeImage();
    window.log.clear();
  }

  static sim::SimOptions Options(const std::vector<const char*>& faults, int programMs, bool answersGi) {
    sim::SimOptions options;
    options.programMs = programMs;
    if (!answersGi) options.identifyReply.reset();
    options.flash.assign(sim::FlashBytes, FlashBefore);
    return test::WithFaults({faults.begin(), faults.end()}, std::move(options));
  }

  Bytes BoardPage(int page) const {
    const auto begin = link.Flash().begin() + page * PageBytes;
    return Bytes(begin, begin + PageBytes);
  }
  Bytes ImagePage(int page) const {
    const auto begin = state.FirmwareImage.begin() + HeaderBytes + page * PageBytes;
    return Bytes(begin, begin + PageBytes);
  }
  int Count(PageEvent::Kind kind, int page) const {
    return static_cast<int>(
        std::count_if(link.PageEvents().begin(), link.PageEvents().end(),
                      [&](const PageEvent& e) { return e.kind == kind && e.page == page; }));
  }
  int Written(int page) const { return Count(PageEvent::Kind::Written, page); }
  bool HoldsImage() const {
    for (int page = 0; page <= 62; ++page) {
      if (BoardPage(page) != ImagePage(page)) return false;
    }
    return true;
  }
  bool Touched(int page) const {
    return std::any_of(link.PageEvents().begin(), link.PageEvents().end(),
                       [&](const PageEvent& e) { return e.page == page; });
  }
};

// --- A run that succeeds ------------------------------------------------------

TEST(FlashSequenceSuccess, BoardHoldsPages0To62AndPage63IsUntouched) {
  FlashRig rig;
  ASSERT_EQ(rig.state.LinkStatus, 0);
  FlashDevice(rig.state);

  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_TRUE(rig.window.messages.empty());
  for (int page = 0; page <= 62; ++page)
    EXPECT_EQ(rig.BoardPage(page), rig.ImagePage(page)) << "page " << page;
  EXPECT_EQ(rig.BoardPage(63), Bytes(PageBytes, FlashBefore));
  EXPECT_FALSE(rig.Touched(63));
}

TEST(FlashSequenceSuccess, PagesGoUpFrom1To62ThenPage0EachWrittenOnceAndVerified) {
  FlashRig rig;
  FlashDevice(rig.state);

  std::vector<int> order;
  std::vector<PageEvent::Kind> kinds;
  for (const PageEvent& e : rig.link.PageEvents()) {
    order.push_back(e.page);
    kinds.push_back(e.kind);
  }
  std::vector<int> expectedOrder;
  std::vector<PageEvent::Kind> expectedKinds;
  for (int page = 1; page <= 63; ++page) {
    expectedOrder.insert(expectedOrder.end(), 2, page % 63);
    expectedKinds.push_back(PageEvent::Kind::Written);
    expectedKinds.push_back(PageEvent::Kind::ReadBack);
  }
  EXPECT_EQ(order, expectedOrder);
  EXPECT_EQ(kinds, expectedKinds);
}

TEST(FlashSequenceSuccess, ProgressRunsFrom0To62AgainstMaximum63) {
  FlashRig rig;
  FlashDevice(rig.state);

  std::vector<int> expected = {0, 0};
  for (int value = 0; value <= 62; ++value) expected.push_back(value);
  EXPECT_THAT(rig.window.progressValues, ElementsAreArray(expected));
  EXPECT_EQ(rig.window.progressMaximum, 63);
  EXPECT_TRUE(rig.window.progressVisible);
  EXPECT_EQ(rig.window.statusText, "Flashing device...");
  EXPECT_FALSE(rig.window.buttonVisible[ButtonFlashDevice]);
  EXPECT_FALSE(rig.window.buttonVisible[ButtonAbortFlash]);
}

TEST(FlashSequenceSuccess, PreparesWindowAndLinkInOrderAndPumpsAfterEveryProgressStep) {
  FlashRig rig;
  FlashDevice(rig.state);

  const std::vector<std::string> preparation = {"hide Flash Device",
                                                "hide Abort Flash",
                                                "show progress",
                                                "progress 0",
                                                "status Flashing device...",
                                                "purge",
                                                "progress max 63",
                                                "progress 0",
                                                "purge",
                                                "progress 0",
                                                "pump",
                                                "purge"};  // the last purge is page 1's write
  ASSERT_GE(rig.window.log.size(), preparation.size());
  EXPECT_EQ(std::vector<std::string>(rig.window.log.begin(), rig.window.log.begin() + preparation.size()),
            preparation);

  // Events are first let through only once the buttons are gone, and the
  // window gets a turn right after each of the 63 page steps.
  int pageSteps = 0;
  for (std::size_t i = 10; i < rig.window.log.size(); ++i) {
    if (rig.window.log[i].rfind("progress ", 0) == 0) {
      ++pageSteps;
      ASSERT_LT(i + 1, rig.window.log.size());
      EXPECT_EQ(rig.window.log[i + 1], "pump") << "after " << rig.window.log[i];
    }
  }
  EXPECT_EQ(pageSteps, 62);  // page steps 1..62 after the first one checked above
}

TEST(FlashSequenceSuccess, FailedPreparationPurgeDoesNotMatter) {
  FlashRig rig({"call:FT_Purge:1:1", "call:FT_Purge:1:2"});
  FlashDevice(rig.state);
  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_TRUE(rig.window.messages.empty());
  EXPECT_EQ(rig.BoardPage(0), rig.ImagePage(0));
}

// --- The shared budget of 50 failures a page ------------------------------------

TEST(FlashSequenceBudget, FortyNineFailedWritesThenSuccessIsAccepted) {
  FlashRig rig({"write:5:49"});
  FlashDevice(rig.state);
  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_TRUE(rig.window.messages.empty());
  EXPECT_EQ(rig.Count(PageEvent::Kind::WriteRefused, 5), 49);
  EXPECT_EQ(rig.Written(5), 1);
  EXPECT_EQ(rig.BoardPage(5), rig.ImagePage(5));
  EXPECT_EQ(rig.BoardPage(0), rig.ImagePage(0));
}

TEST(FlashSequenceBudget, FailedWriteIsRetriedFromAFreshCopyOfTheImage) {
  // Spoil PageBuffer while page 5's first write is on its way; the board
  // refuses that write, and the retry must send the image's bytes, not the
  // spoiled ones (the verify alone would not notice: it compares with
  // PageBuffer).
  FlashRig rig({"write:5:1"});
  bool spoiled = false;
  rig.window.onPump = [&] {
    // Page 5 of the image starts with the byte 5: the copy has been made.
    if (!spoiled && rig.state.FlashAddress == 5 * 1024 && rig.state.PageBuffer[0] == 5) {
      std::fill(rig.state.PageBuffer.begin(), rig.state.PageBuffer.begin() + PageBytes, 0xEE);
      spoiled = true;
    }
  };
  FlashDevice(rig.state);
  EXPECT_TRUE(spoiled);
  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_EQ(rig.BoardPage(5), rig.ImagePage(5));
}

TEST(FlashSequenceBudget, FortyNineFailedVerifiesThenSuccessWritesThePageOnce) {
  FlashRig rig({"verify:7:49"});
  FlashDevice(rig.state);
  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_TRUE(rig.window.messages.empty());
  EXPECT_EQ(rig.Written(7), 1);
  // 50 read-backs while the page is on, and one more when the whole flash is
  // confirmed because it had failures.
  EXPECT_EQ(rig.Count(PageEvent::Kind::ReadBack, 7), 51);
}

TEST(FlashSequenceBudget, WritesAndVerifiesDrawOnOneBudget) {
  {
    FlashRig rig({"write:5:25", "verify:5:24"});
    FlashDevice(rig.state);
    EXPECT_FALSE(rig.state.OperationFailed) << "49 failures in all must be tolerated";
  }
  {
    FlashRig rig({"write:5:30", "verify:5:20"});
    FlashDevice(rig.state);
    EXPECT_TRUE(rig.state.OperationFailed);
    ASSERT_EQ(rig.window.messages.size(), 1u);
    EXPECT_EQ(rig.window.messages[0].text, AscendingVerifyText);
    EXPECT_EQ(rig.window.messages[0].title, "Verify Failure!");
    EXPECT_EQ(rig.Written(5), 1);
  }
}

TEST(FlashSequenceBudget, BudgetStartsAfreshOnEveryPage) {
  FlashRig rig({"write:5:49", "verify:6:49", "write:0:49"});
  FlashDevice(rig.state);
  EXPECT_FALSE(rig.state.OperationFailed);
  EXPECT_TRUE(rig.window.messages.empty());
  for (int page = 0; page <= 62; ++page)
    EXPECT_EQ(rig.BoardPage(page), rig.ImagePage(page)) << "page " << page;
}

// --- Failures and their messages ------------------------------------------------

TEST(FlashSequenceFailure, ExhaustedWriteInAscendingPassStopsThereAndNeverWritesPage0) {
  FlashRig rig({"write:9:50"});
  FlashDevice(rig.state);

  EXPECT_TRUE(rig.state.OperationFailed);
  EXPECT_NE(rig.state.LinkStatus, 0);
  ASSERT_EQ(rig.window.messages.size(), 1u);
  EXPECT_EQ(rig.window.messages[0].text, AscendingWriteText);
  EXPECT_EQ(rig.window.messages[0].title, "Write Failure!");
  EXPECT_FALSE(rig.window.messages[0].style.critical);
  EXPECT_FALSE(rig.window.messages[0].style.systemModal);
  EXPECT_EQ(rig.Count(PageEvent::Kind::WriteRefused, 9), 50);

  // Earlier pages stay written; nothing after the failing page is touched.
  for (int page = 1; page <= 8; ++page)
    EXPECT_EQ(rig.BoardPage(page), rig.ImagePage(page)) << "page " << page;
  for (int page = 10; page <= 63; ++page) EXPECT_FALSE(rig.Touched(page)) << "page " << page;
  EXPECT_FALSE(rig.Touched(0));
  EXPECT_EQ(rig.BoardPage(0), Bytes(PageBytes, FlashBefore));
  EXPECT_EQ(rig.window.progressValues.back(), 8);
}

TEST(FlashSequenceFailure, ExhaustedVerifyInAscendingPassNeverWritesPage0) {
  FlashRig rig({"verify:62:50"});
  FlashDevice(rig.state);

  EXPECT_TRUE(rig.state.OperationFailed);
  ASSERT_EQ(rig.window.messages.size(), 1u);
  EXPECT_EQ(rig.window.messages[0].text, AscendingVerifyText);
  EXPECT_EQ(rig.window.messages[0].title, "Verify Failure!");
  EXPECT_EQ(rig.Written(62), 1);
  EXPECT_FALSE(rig.Touched(0));
}

TEST(FlashSequenceFailure, FailureOnPage0WarnsNotToPowerOff) {
  struct Case {
    const char* fault;
    const std::string& text;
    const char* title;
  };
  for (const Case& c : {Case{"write:0:50", PageZeroWriteText, "Write Failure!"},
                        Case{"verify:0:50", PageZeroVerifyText, "Verify Failure!"}}) {
    FlashRig rig({c.fault});
    FlashDevice(rig.state);

    EXPECT_TRUE(rig.state.OperationFailed) << c.fault;
    ASSERT_EQ(rig.window.messages.size(), 1u) << c.fault;
    EXPECT_EQ(rig.window.messages[0].text, c.text);
    EXPECT_EQ(rig.window.messages[0].title, c.title);
    EXPECT_NE(rig.window.messages[0].text.find("** DO NOT POWER OFF BOARD!! **"), std::string::npos);
    // Every other page was done before page 0 was tried.
    for (int page = 1; page <= 62; ++page) EXPECT_EQ(rig.BoardPage(page), rig.ImagePage(page)) << c.fault;
    EXPECT_EQ(rig.window.progressValues.back(), 62);
  }
}

TEST(FlashSequenceFailure, CableUnpluggedMidFlashEndsWithAFailureMessage) {
  // About 24 pages in: each page costs the PC 2060 bytes.
  FlashRig rig({"unplug:50000"});
  FlashDevice(rig.state);

  EXPECT_TRUE(rig.state.OperationFailed);
  EXPECT_NE(rig.state.LinkStatus, 0);
  ASSERT_EQ(rig.window.messages.size(), 1u);
  const std::string& text = rig.window.messages[0].text;
  EXPECT_TRUE(text == AscendingWriteText || text == AscendingVerifyText) << text;
  EXPECT_FALSE(rig.Touched(0));
}

TEST(FlashSequenceFailure, TooShortImageOrPageBufferFailsWithoutTouchingTheBoard) {
  FlashRig shortImage;
  shortImage.state.FirmwareImage.resize(shortImage.state.FirmwareImage.size() - 1);
  FlashRig shortPageBuffer;
  shortPageBuffer.state.PageBuffer.resize(PageBytes);

  for (FlashRig* rig : {&shortImage, &shortPageBuffer}) {
    FlashDevice(rig->state);
    EXPECT_TRUE(rig->state.OperationFailed);
    EXPECT_NE(rig->state.LinkStatus, 0);
    EXPECT_TRUE(rig->link.PageEvents().empty());
    EXPECT_TRUE(rig->window.log.empty());  // no purge, nothing shown
  }
}

}  // namespace
}  // namespace kelvo

namespace kelvo {
namespace {

// Whatever a failed attempt leaves on its way (a late "OK", the rest of an
// echo or of a page read back) is read off before the next attempt, so a
// late answer or a failed read call costs a retry or two, not the page.
TEST(FlashSequenceOutOfStep, LateAnswersCostRetriesNotThePage) {
  const std::vector<std::vector<const char*>> runs = {
      {"late-ok:5:260"},
      {"late-ok:5:300"},
      {"late-ok:5:500"},
      {"late-ok:5:1000"},
      {"late-ok:1:400", "late-ok:31:700", "late-ok:62:1000", "late-ok:0:300", "late-ok:0:600"}};
  for (const auto& faults : runs) {
    FlashRig rig(faults);
    FlashDevice(rig.state);
    const std::string what = faults.front() + std::string(faults.size() > 1 ? " and more" : "");
    EXPECT_FALSE(rig.state.OperationFailed) << what;
    EXPECT_TRUE(rig.window.messages.empty()) << what;
    EXPECT_TRUE(rig.HoldsImage()) << what;
    if (faults.size() == 1) {
      EXPECT_THAT(rig.Written(5), ::testing::AnyOf(2, 3)) << what;
    }
  }
}

// A board that answers every write after the read timeout never gets a page
// accepted: the first page runs out of its budget and page 0 stays as it was.
TEST(FlashSequenceOutOfStep, BoardThatAlwaysAnswersLateFailsOnTheFirstPage) {
  FlashRig rig({}, 300);
  FlashDevice(rig.state);
  EXPECT_TRUE(rig.state.OperationFailed);
  ASSERT_EQ(rig.window.messages.size(), 1u);
  EXPECT_EQ(rig.window.messages[0].text, AscendingWriteText);
  EXPECT_FALSE(rig.Touched(0));
  EXPECT_FALSE(rig.Touched(2));
}

// A late "OK" followed by a read call that fails, wherever it falls: the
// page costs retries and the flash still completes with the image on the
// board.
TEST(FlashSequenceOutOfStep, LateAnswerAndAFailedReadAnywhereStillComplete) {
  for (int nthRead = 140; nthRead <= 200; ++nthRead) {
    const std::string readFault = "call:FT_Read:10:" + std::to_string(nthRead);
    FlashRig rig({"late-ok:31:250", readFault.c_str()});
    FlashDevice(rig.state);
    EXPECT_FALSE(rig.state.OperationFailed) << readFault;
    EXPECT_TRUE(rig.window.messages.empty()) << readFault;
    EXPECT_TRUE(rig.HoldsImage()) << readFault;
  }
}

// A page is written again only once the board has answered "GI"; a board
// that never does costs the page its budget in unanswered probes, and the
// page is not written a second time.
TEST(FlashSequenceOutOfStep, NoRetryOfAWriteUntilTheBoardAnswersGi) {
  FlashRig silent({"write:5:1"}, 10, false);
  FlashDevice(silent.state);
  EXPECT_TRUE(silent.state.OperationFailed);
  ASSERT_EQ(silent.window.messages.size(), 1u);
  EXPECT_EQ(silent.window.messages[0].text, AscendingWriteText);
  EXPECT_EQ(silent.Count(PageEvent::Kind::WriteRefused, 5) + silent.Written(5), 1);
  EXPECT_EQ(silent.Count(PageEvent::Kind::Written, 6), 0);

  FlashRig answering({"write:5:1"}, 10);
  FlashDevice(answering.state);
  EXPECT_FALSE(answering.state.OperationFailed);
  EXPECT_EQ(answering.Written(5), 1);
  EXPECT_TRUE(answering.HoldsImage());
}

}  // namespace
}  // namespace kelvo
