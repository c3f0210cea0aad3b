#include "protocol/PageCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/LinkConnection.h"
#include "support/FakeDriver.h"
#include "support/SimRig.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t PageBytes = 2048;

Bytes MakePage() {
  Bytes page(PageBytes + 1);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return page;
}

Bytes Text(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

// A board behind a scripted cable: answers the page data with `okAnswer` and
// "RF" with `boardPage`.
struct Rig : test::StateRig<test::FakeDriver> {
  std::vector<Bytes> okAnswer = {Text("OK")};
  Bytes boardPage;

  Rig() {
    state.LinkHandle = 1;
    state.PageBuffer = MakePage();
    state.PageInstructions = 512;
    state.FlashAddress = 0x400;
    boardPage.assign(state.PageBuffer.begin(), state.PageBuffer.begin() + PageBytes);
    driver.onWrite = [this](std::size_t, const Bytes& bytes) {
      if (bytes.size() == PageBytes) {
        for (const Bytes& piece : okAnswer) driver.Send(piece);
      } else if (bytes.size() == 7 && bytes[0] == 'R') {
        const std::size_t asked = 4u * (bytes[5] * 256u + bytes[6]);
        driver.Send(Bytes(boardPage.begin(), boardPage.begin() + std::min(asked, boardPage.size())));
      }
    };
  }

  std::vector<std::uint32_t> ReadsAsked() const {
    std::vector<std::uint32_t> asked;
    for (const auto& read : driver.reads) asked.push_back(read.asked);
    return asked;
  }
};

// --- What goes on the wire ---------------------------------------------------

TEST(PageCommandsWire, WritePagePurgesThenSendsCommandAndPageData) {
  Rig rig;
  WritePage(rig.state);

  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_THAT(rig.driver.purgeMasks, ElementsAre(3u));
  ASSERT_EQ(rig.driver.writes.size(), 2u);
  EXPECT_THAT(rig.driver.writes[0], ElementsAre('W', 'F', 0x00, 0x04, 0x00));
  EXPECT_EQ(rig.driver.writes[1],
            Bytes(rig.state.PageBuffer.begin(), rig.state.PageBuffer.begin() + PageBytes));
  // Command echo, data echo, answer: nothing else is read.
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(5u, 2048u, 2u));
}

TEST(PageCommandsWire, AddressFieldOfFirstAndLastPageWritten) {
  struct Case {
    std::int32_t address;
    Bytes command;
  };
  for (const Case& c : {Case{0, {'W', 'F', 0x00, 0x00, 0x00}}, Case{0xF800, {'W', 'F', 0x00, 0xF8, 0x00}},
                        Case{0x0400, {'W', 'F', 0x00, 0x04, 0x00}}}) {
    Rig rig;
    rig.state.FlashAddress = c.address;
    WritePage(rig.state);
    ASSERT_FALSE(rig.driver.writes.empty());
    EXPECT_EQ(rig.driver.writes[0], c.command) << "address " << c.address;
    EXPECT_EQ(rig.state.LinkStatus, 0);
  }
}

TEST(PageCommandsWire, ReadVerifyPageSendsAddressAndCountAndReadsWholePage) {
  Rig rig;
  ReadVerifyPage(rig.state);

  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_THAT(rig.driver.purgeMasks, ElementsAre(3u));
  ASSERT_EQ(rig.driver.writes.size(), 1u);
  EXPECT_THAT(rig.driver.writes[0], ElementsAre('R', 'F', 0x00, 0x04, 0x00, 0x02, 0x00));
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(7u, 2048u));
  EXPECT_TRUE(std::equal(rig.boardPage.begin(), rig.boardPage.end(), rig.state.ReadBackBuffer.begin()));
}

TEST(PageCommandsWire, CountFieldAndReadLengthFollowPageInstructions) {
  Rig rig;
  rig.state.PageInstructions = 300;  // 0x012C
  ReadVerifyPage(rig.state);

  ASSERT_EQ(rig.driver.writes.size(), 1u);
  EXPECT_THAT(rig.driver.writes[0], ElementsAre('R', 'F', 0x00, 0x04, 0x00, 0x01, 0x2C));
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(7u, 1200u));
  EXPECT_EQ(rig.state.LinkStatus, 0);
}

// --- The board's answer to a written page ----------------------------------

TEST(WritePageAnswer, OkInLowerCaseIsRefused) {
  Rig rig;
  rig.okAnswer = {Text("ok")};
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
}

TEST(WritePageAnswer, OkSplitAcrossTwoReadsIsAccepted) {
  Rig rig;
  rig.okAnswer = {Text("O"), Text("K")};
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(5u, 2048u, 2u, 1u));
}

TEST(WritePageAnswer, MissingOrHalfAnswerFails) {
  for (const std::vector<Bytes>& answer : {std::vector<Bytes>{}, std::vector<Bytes>{Text("O")}}) {
    Rig rig;
    rig.okAnswer = answer;
    WritePage(rig.state);
    EXPECT_EQ(rig.state.LinkStatus, 8) << answer.size() << " piece(s)";
  }
}

TEST(WritePageAnswer, OkWhoseReadReportedIoErrorKeepsThatStatus) {
  Rig rig;
  rig.okAnswer = {};
  rig.driver.onWrite = [&rig](std::size_t, const Bytes& bytes) {
    if (bytes.size() == PageBytes) rig.driver.Send(Text("OK"), FT_IO_ERROR);
  };
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 4);
}

// --- Failures part-way through an exchange ----------------------------------

TEST(PageCommandFailures, FailedPurgeDoesNotStopEitherCommand) {
  Rig rig;
  rig.driver.purgeStatus = FT_IO_ERROR;
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.driver.purgeMasks.size(), 2u);
}

TEST(PageCommandFailures, RefusedCommandWriteSendsNoData) {
  Rig rig;
  rig.driver.writeStatuses = {FT_INVALID_HANDLE};
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 1);
  EXPECT_EQ(rig.driver.writes.size(), 1u);
  EXPECT_TRUE(rig.driver.reads.empty());
}

TEST(PageCommandFailures, RefusedDataWriteEndsWithTheLibrarysStatus) {
  Rig rig;
  rig.driver.writeStatuses = {FT_OK, FT_INSUFFICIENT_RESOURCES};
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 5);
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(5u));  // only the command's echo
}

// Once the command has gone out, an attempt that fails before the page's echo
// is whole may leave the board waiting for (the rest of) its page: a page's
// worth of bytes that start no command follows, never a byte of the page
// after a short command echo. A command that never went out, or a page that
// came back whole, needs none.
TEST(PageCommandFailures, BoardLeftWaitingForItsPageIsReleasedWithBytesThatStartNoCommand) {
  struct Case {
    const char* what;
    std::vector<FT_STATUS> writeStatuses;
    std::size_t echoShortOnWrite;  // with echoShortBy 1
    std::size_t echoShortBy;
    std::vector<Bytes> okAnswer;
    bool pageSent;
    // The rest of a command whose echo came back short, which the board
    // holds the start of (the command is "WF" 00 04 00).
    Bytes finished;
    bool released;
    bool pageEchoDiffers = false;
  };
  const std::vector<Case> cases = {
      {"command echo short", {}, 0, 1, {Text("OK")}, false, {0x00}, true},
      {"command echo three bytes short", {}, 0, 3, {Text("OK")}, false, {0x00, 0x04, 0x00}, true},
      {"command echo missing", {}, 0, 5, {Text("OK")}, false, {}, true},
      {"command write refused", {FT_IO_ERROR}, 0, 0, {Text("OK")}, false, {}, false},
      {"page write refused", {FT_OK, FT_IO_ERROR}, 0, 0, {Text("OK")}, true, {}, true},
      {"page echo short", {}, 1, 1, {}, true, {}, true},
      {"page echo of other bytes", {}, 0, 0, {Text("OK")}, true, {}, true, true},
      {"no answer", {}, 0, 0, {}, true, {}, false},
      {"answer not OK", {}, 0, 0, {Text("NO")}, true, {}, false},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.driver.writeStatuses = c.writeStatuses;
    rig.driver.echoShortOnWrite = c.echoShortOnWrite;
    rig.driver.echoShortBy = c.echoShortBy;
    rig.okAnswer = c.okAnswer;
    if (c.pageEchoDiffers) {
      rig.driver.onWrite = [&rig, answer = rig.driver.onWrite](std::size_t index, const Bytes& bytes) {
        if (bytes.size() == PageBytes) rig.driver.arrivals.back().bytes[0] ^= 0x01;
        answer(index, bytes);
      };
    }
    WritePage(rig.state);
    EXPECT_NE(rig.state.LinkStatus, 0) << c.what;
    const auto& w = rig.driver.writes;
    ASSERT_FALSE(w.empty()) << c.what;
    EXPECT_EQ(w.size(), 1u + (c.pageSent ? 1 : 0) + (c.finished.empty() ? 0 : 1) + (c.released ? 1 : 0))
        << c.what;
    if (c.pageSent && w.size() > 1) {
      EXPECT_EQ(w[1], rig.boardPage) << c.what;
    }
    if (!c.finished.empty() && w.size() > 1) {
      EXPECT_EQ(w[1], c.finished) << c.what;
    }
    if (c.released) {
      const Bytes& filler = w.back();
      EXPECT_EQ(filler.size(), PageBytes) << c.what;
      EXPECT_TRUE(std::none_of(filler.begin(), filler.end(), [](std::uint8_t b) {
        return b == 'G' || b == 'W' || b == 'R';
      })) << c.what;
    }
  }
}

TEST(PageCommandFailures, ShortDataEchoStopsBeforeTheAnswer) {
  Rig rig;
  rig.driver.echoShortOnWrite = 1;
  rig.driver.echoShortBy = 1;
  rig.okAnswer = {};  // the board stays silent, so the echo stays short
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(5u, 2048u, 1u));
}

TEST(PageCommandFailures, ShortCommandEchoOfReadBackReadsNoPage) {
  Rig rig;
  rig.driver.echoShortOnWrite = 0;
  rig.driver.echoShortBy = 2;
  rig.driver.onWrite = nullptr;
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(7u, 2u));
}

TEST(PageCommandFailures, TooSmallBuffersNeverReachTheBoard) {
  Rig writer;
  writer.state.PageBuffer.resize(PageBytes - 1);
  WritePage(writer.state);
  EXPECT_EQ(writer.state.LinkStatus, 8);
  EXPECT_TRUE(writer.driver.purgeMasks.empty());
  EXPECT_TRUE(writer.driver.writes.empty());

  Rig reader;
  reader.state.ReadBackBuffer.resize(100);
  ReadVerifyPage(reader.state);
  EXPECT_EQ(reader.state.LinkStatus, 8);
  EXPECT_TRUE(reader.driver.purgeMasks.empty());
  EXPECT_TRUE(reader.driver.writes.empty());
}

// --- Reading a page back ------------------------------------------------------

TEST(ReadVerifyPageCompare, DifferenceInTheLastByteFails) {
  Rig rig;
  rig.boardPage[PageBytes - 1] ^= 0xFF;
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
}

TEST(ReadVerifyPageCompare, PageReadBackOneByteShortFails) {
  Rig rig;
  rig.boardPage.pop_back();
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
}

// The plain read asks as ReadVerifyPage does and takes whatever page comes
// back whole; only a short one fails.
TEST(ReadVerifyPageCompare, PlainReadTakesADifferingPageAndRefusesAShortOne) {
  Rig rig;
  rig.boardPage[PageBytes - 1] ^= 0xFF;
  ReadPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(Bytes(rig.state.ReadBackBuffer.begin(), rig.state.ReadBackBuffer.begin() + PageBytes),
            rig.boardPage);
  EXPECT_THAT(rig.driver.writes, ElementsAre(Bytes{'R', 'F', 0x00, 0x04, 0x00, 0x02, 0x00}));
  rig.boardPage.pop_back();
  ReadPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
}

TEST(ReadVerifyPageCompare, RepeatedWithoutWriteReadsTwiceAndLeavesPageBufferAlone) {
  Rig rig;
  const Bytes before = rig.state.PageBuffer;
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);

  ASSERT_EQ(rig.driver.writes.size(), 2u);
  EXPECT_EQ(rig.driver.writes[0], rig.driver.writes[1]);
  EXPECT_THAT(rig.ReadsAsked(), ElementsAre(7u, 2048u, 7u, 2048u));
  EXPECT_EQ(rig.state.PageBuffer, before);
}

// --- Against the simulated board -------------------------------------------------

// The link opened on a simulated board with erased flash; PageBuffer holds a
// page for address 0x400 (page 1).
struct BoardRig : test::SimRig {
  explicit BoardRig(const char* fault = nullptr) : SimRig(Options(fault)) {
    OpenLink(state);
    state.PageBuffer = MakePage();
    state.PageInstructions = 512;
    state.FlashAddress = 0x400;
  }
  static sim::SimOptions Options(const char* fault) {
    return fault == nullptr ? sim::SimOptions{} : test::WithFaults({fault});
  }
  Bytes BoardPage1() const {
    return Bytes(link.Flash().begin() + PageBytes, link.Flash().begin() + 2 * PageBytes);
  }
  Bytes SentPage() const { return Bytes(state.PageBuffer.begin(), state.PageBuffer.begin() + PageBytes); }
};

TEST(PageCommandsOnBoard, WrittenPageLandsAtItsAddressAndReadsBackEqual) {
  BoardRig rig;
  ASSERT_EQ(rig.state.LinkStatus, 0);
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.BoardPage1(), rig.SentPage());
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
}

TEST(PageCommandsOnBoard, OkMustBeginWithinOneReadTimeout) {
  BoardRig late("late-ok:1:300");
  WritePage(late.state);
  EXPECT_EQ(late.state.LinkStatus, 8);

  BoardRig slow("late-ok:1:200");
  WritePage(slow.state);
  EXPECT_EQ(slow.state.LinkStatus, 0);
}

TEST(PageCommandsOnBoard, RefusedWriteFailsAndLeavesTheFlashAsItWas) {
  BoardRig rig("write:1:1");
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
  EXPECT_EQ(rig.BoardPage1(), Bytes(PageBytes, 0xFF));
  WritePage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.BoardPage1(), rig.SentPage());
}

TEST(PageCommandsOnBoard, SpoiledReadBackFailsAndTheNextOneSucceeds) {
  BoardRig rig("verify:1:1");
  WritePage(rig.state);
  ASSERT_EQ(rig.state.LinkStatus, 0);
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 8);
  ReadVerifyPage(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
}

}  // namespace
}  // namespace kelvo
