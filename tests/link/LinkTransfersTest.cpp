#include "link/LinkTransfers.h"

#include <gtest/gtest.h>

#include "support/SimRig.h"

namespace kelvo::test {
namespace {

class Transfers : public ::testing::Test {
 protected:
  explicit Transfers(sim::SimOptions options = {}) : rig(std::move(options)) {}
  void SetUp() override { ASSERT_TRUE(rig.OpenQuietly()); }

  void PlaceCommand(const std::string& text) {
    rig.state.CommandBuffer.fill(' ');
    std::copy(text.begin(), text.end(), rig.state.CommandBuffer.begin());
    rig.state.WriteLength = static_cast<std::int32_t>(text.size());
  }

  void Reply(std::int32_t length) {
    rig.state.ReadLength = length;
    ReadReply(rig.state);
  }

  SimRig rig;
};

TEST_F(Transfers, ReplyInTwoPiecesIsJoined) {
  rig.link.SendFromBoard(Bytes("O"));
  rig.link.SendFromBoard(Bytes("K"), 300);
  rig.state.ReplyBuffer.fill('#');
  Reply(2);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Reply(), "OK" + SimRig::Blanks(TextBufferSize - 2));
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{R"({"call":"FT_Read","args":[2,1],"status":0})",
                                                   R"({"call":"FT_Read","args":[1,1],"status":0})"}));
  EXPECT_EQ(rig.window.pumps, 2);
}

TEST_F(Transfers, SilenceIsOneTimedOutReadWithABlankReply) {
  rig.state.ReplyBuffer.fill('#');
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(), SimRig::Blanks(TextBufferSize));
  EXPECT_EQ(rig.Calls(), std::vector<std::string>{R"({"call":"FT_Read","args":[4,0],"status":0})"});
  // The pump comes before the count is looked at, so an empty read pumps too.
  EXPECT_EQ(rig.window.pumps, 1);
}

TEST_F(Transfers, ReplyCutShortKeepsWhatCame) {
  rig.link.ScheduleIdentifyAnswer({{{'P', 'Z', 0x00}, 0}});
  PlaceCommand("GI");
  SendCommand(rig.state);
  ASSERT_EQ(rig.state.LinkStatus, 0);
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(5), std::string("PZ\0  ", 5));
  EXPECT_EQ(rig.Calls().back(), R"({"call":"FT_Read","args":[1,0],"status":0})");
}

TEST_F(Transfers, SendCommandWritesThenReadsBackTheEcho) {
  PlaceCommand(std::string("RF\x00\x04\x00\x02\x00", 7));
  SendCommand(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.ReadLength, 7);
  EXPECT_EQ(rig.Reply(7), std::string("RF\x00\x04\x00\x02\x00", 7));
  EXPECT_EQ(rig.Calls(),
            (std::vector<std::string>{R"({"call":"FT_Write","args":["52460004000200",7],"status":0})",
                                      R"({"call":"FT_Read","args":[7,7],"status":0})"}));
  EXPECT_EQ(rig.window.pumps, 1);  // the echo read pumps; the write does not
}

TEST_F(Transfers, ShortEchoFailsTheCommand) {
  rig.link.LoseEchoes(1);
  PlaceCommand("xy");  // nothing the board answers, so nothing follows the echo
  SendCommand(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(2), "y ");
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{R"({"call":"FT_Write","args":["7879",2],"status":0})",
                                                   R"({"call":"FT_Read","args":[2,1],"status":0})",
                                                   R"({"call":"FT_Read","args":[1,0],"status":0})"}));
}

// A stale byte ahead of the echo: as many bytes came back as went out, but
// not the same ones.
TEST_F(Transfers, EchoOfOtherBytesFailsTheCommand) {
  rig.link.SendFromBoard(Bytes("Z"));
  PlaceCommand("xy");
  SendCommand(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(2), "Zx");
  EXPECT_EQ(rig.state.ReadTotal, 2);
}

class RefusedWrite : public Transfers {
 protected:
  RefusedWrite() : Transfers(WithFaults({"call:FT_Write:1"})) {}
};

TEST_F(RefusedWrite, KeepsTheStatusReadsNothingAndLeavesTheReplyAlone) {
  rig.state.ReplyBuffer.fill('#');
  rig.state.ReadLength = 33;
  PlaceCommand("GI");
  SendCommand(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 1);
  EXPECT_EQ(rig.Calls(), std::vector<std::string>{R"({"call":"FT_Write","args":["4749",2],"status":1})"});
  EXPECT_EQ(rig.Reply(), std::string(TextBufferSize, '#'));
  EXPECT_EQ(rig.state.ReadLength, 33);
  EXPECT_EQ(rig.window.pumps, 0);
}

TEST_F(Transfers, IoErrorWithTheLastBytesEndsWithThatStatus) {
  rig.link.SendFromBoard(Bytes("PZ\x01\x23"));
  rig.link.FailReadWithData(1, FT_IO_ERROR);
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, static_cast<std::int32_t>(FT_IO_ERROR));
  EXPECT_EQ(rig.Reply(4), "PZ\x01\x23");
  EXPECT_EQ(rig.window.pumps, 1);
}

TEST_F(Transfers, IoErrorWithSomeBytesThenSuccessEndsWell) {
  rig.link.SendFromBoard(Bytes("PZ"));
  rig.link.SendFromBoard(Bytes("ab"), 300);
  rig.link.FailReadWithData(1, FT_IO_ERROR);
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Reply(5), "PZab ");
  EXPECT_EQ(rig.window.pumps, 2);
}

TEST_F(Transfers, IoErrorWithNothingIsATransferFailure) {
  rig.link.FailReadWithData(1, FT_IO_ERROR);
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.window.pumps, 1);
}

TEST_F(Transfers, OtherReadErrorsStopAtOnceWithoutPumping) {
  rig.link.SendFromBoard(Bytes("PZ"));
  rig.link.SendFromBoard(Bytes("ab"), 300);
  rig.link.FailReadWithData(2, FT_OTHER_ERROR);
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(2), "PZ");
  EXPECT_EQ(rig.trace.size(), 2u);  // no third read after the failing one
  EXPECT_EQ(rig.window.pumps, 1);
}

TEST_F(Transfers, WriteOrReadLongerThanItsBufferIsRefusedUntouched) {
  rig.state.WriteLength = TextBufferSize + 1;
  SendCommand(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);

  rig.link.SendFromBoard(std::vector<std::uint8_t>(5000, 'z'));
  Reply(TextBufferSize + 1);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);

  rig.state.ReadLength = 2050;
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  rig.state.ReadLength = -1;
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_TRUE(rig.trace.empty());

  // A page read is bounded by the smaller buffer, not only by the limit.
  rig.state.ReadBackBuffer.assign(100, 0);
  rig.state.ReadLength = 2048;
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_TRUE(rig.trace.empty());
  EXPECT_EQ(rig.state.ReadBackBuffer.size(), 100u);
}

TEST_F(Transfers, ReadsAsLongAsTheirBuffersAndNoLonger) {
  rig.link.SendFromBoard(std::vector<std::uint8_t>(TextBufferSize + 3, 'z'));
  Reply(TextBufferSize);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Reply(), std::string(TextBufferSize, 'z'));
  Reply(4);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.Reply(4), "zzz ");  // the rest stayed on the link

  std::vector<std::uint8_t> page(2049);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7);
  rig.state.PageBuffer = page;
  page.push_back(0xEE);
  rig.link.SendFromBoard(page);
  rig.state.ReadLength = 2049;
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.ReadBackBuffer.size(), 2049u);
  Reply(1);
  EXPECT_EQ(rig.Reply(1), "\xEE");
}

class PageRead : public Transfers {
 protected:
  void SetUp() override {
    Transfers::SetUp();
    page.resize(2048);
    for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    std::copy(page.begin(), page.end(), rig.state.PageBuffer.begin());
    rig.state.ReadLength = 2048;
  }
  std::vector<std::uint8_t> page;
};

TEST_F(PageRead, EqualPageMatchesWhateverTheSpareElementHolds) {
  rig.state.PageBuffer[2048] = 1;
  rig.state.ReadBackBuffer[2048] = 2;
  rig.link.SendFromBoard(page);
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.state.ReadBackBuffer[2048], 2);
  // A page that arrives within one timeout is one read call; no pumping.
  EXPECT_EQ(rig.Calls(), std::vector<std::string>{R"({"call":"FT_Read","args":[2048,2048],"status":0})"});
  EXPECT_EQ(rig.window.pumps, 0);
}

TEST_F(PageRead, DifferenceInTheLastByteFails) {
  page[2047] ^= 0x01;
  rig.link.SendFromBoard(page);
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.state.ReadBackBuffer[2047], page[2047]);
}

TEST_F(PageRead, PageInPiecesIsJoinedWithoutPumping) {
  rig.link.SendFromBoard({page.begin(), page.begin() + 1000});
  rig.link.SendFromBoard({page.begin() + 1000, page.end()}, 300);
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, 0);
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{R"({"call":"FT_Read","args":[2048,1000],"status":0})",
                                                   R"({"call":"FT_Read","args":[1048,1048],"status":0})"}));
  EXPECT_EQ(rig.window.pumps, 0);
}

TEST_F(PageRead, ShortPageFailsWithoutComparingAndKeepsTheOldTail) {
  std::fill(rig.state.ReadBackBuffer.begin(), rig.state.ReadBackBuffer.end(), 0xAA);
  rig.link.SendFromBoard({page.begin(), page.begin() + 2047});
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, LinkStatusTransferFailed);
  EXPECT_EQ(rig.state.ReadBackBuffer[2046], page[2046]);
  EXPECT_EQ(rig.state.ReadBackBuffer[2047], 0xAA);  // not cleared before reading
  EXPECT_EQ(rig.window.pumps, 0);
}

TEST_F(PageRead, IoErrorWithTheLastBytesSkipsTheComparison) {
  rig.link.SendFromBoard(page);
  rig.link.FailReadWithData(1, FT_IO_ERROR);
  ReadPageData(rig.state);
  EXPECT_EQ(rig.state.LinkStatus, static_cast<std::int32_t>(FT_IO_ERROR));
}

}  // namespace
}  // namespace kelvo::test
