#include "sim/SimLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Raw driver calls on a simulated cable, the way the updater makes them.
class SimCable : public ::testing::Test {
 protected:
  void Open(SimOptions options = {}) {
    link = std::make_unique<SimLink>(std::move(options));
    link->SetTraceSink([this](const std::string& line) { trace.push_back(line); });
    ASSERT_EQ(link->FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  }

  FT_STATUS Write(const Bytes& bytes) {
    std::uint32_t written = 0;
    return link->FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
  }

  Bytes Read(std::uint32_t count, FT_STATUS* status = nullptr) {
    Bytes out(count);
    std::uint32_t delivered = 0;
    const FT_STATUS s = link->FT_Read(handle, out.data(), count, &delivered);
    if (status != nullptr) *status = s;
    out.resize(delivered);
    return out;
  }

  // "WF" for `page` with its 2048 data bytes; returns the board's answer.
  Bytes WritePage(int page, std::uint8_t fill) {
    Bytes command = {'W', 'F', 0, static_cast<std::uint8_t>(page * 4), 0};
    Bytes data(FlashPageBytes, fill);
    EXPECT_EQ(Write(command), FT_OK);
    EXPECT_EQ(Read(5).size(), 5u);
    EXPECT_EQ(Write(data), FT_OK);
    EXPECT_EQ(Read(FlashPageBytes).size(), static_cast<std::size_t>(FlashPageBytes));
    return Read(2);
  }

  Bytes ReadPage(int page) {
    EXPECT_EQ(Write({'R', 'F', 0, static_cast<std::uint8_t>(page * 4), 0, 2, 0}), FT_OK);
    EXPECT_EQ(Read(7).size(), 7u);
    return Read(FlashPageBytes);
  }

  std::unique_ptr<SimLink> link;
  FT_HANDLE handle = 0;
  std::vector<std::string> trace;
};

TEST(FaultSpec, AcceptsEveryKind) {
  std::string error;
  auto write = ParseFault("write:5:3", &error);
  ASSERT_TRUE(write) << error;
  EXPECT_EQ(write->kind, Fault::Kind::Write);
  EXPECT_EQ(write->page, 5);
  EXPECT_EQ(write->count, 3);

  auto late = ParseFault("late-ok:63:300", &error);
  ASSERT_TRUE(late) << error;
  EXPECT_EQ(late->kind, Fault::Kind::LateOk);
  EXPECT_EQ(late->page, 63);
  EXPECT_EQ(late->milliseconds, 300);

  auto verify = ParseFault("verify:0:0", &error);
  ASSERT_TRUE(verify) << error;
  EXPECT_EQ(verify->kind, Fault::Kind::Verify);

  auto unplug = ParseFault("unplug:4100", &error);
  ASSERT_TRUE(unplug) << error;
  EXPECT_EQ(unplug->bytes, 4100);

  auto call = ParseFault("call:FT_Purge:4", &error);
  ASSERT_TRUE(call) << error;
  EXPECT_EQ(call->call, "FT_Purge");
  EXPECT_EQ(call->status, 4u);
  EXPECT_EQ(call->nth, 1);

  auto nth = ParseFault("call:FT_Read:18:3", &error);
  ASSERT_TRUE(nth) << error;
  EXPECT_EQ(nth->nth, 3);

  auto lose = ParseFault("lose:5", &error);
  ASSERT_TRUE(lose) << error;
  EXPECT_EQ(lose->kind, Fault::Kind::Lose);
  EXPECT_EQ(lose->page, 5);
  EXPECT_EQ(lose->count, 1);

  auto shortEcho = ParseFault("short-echo:62:3", &error);
  ASSERT_TRUE(shortEcho) << error;
  EXPECT_EQ(shortEcho->kind, Fault::Kind::ShortEcho);
  EXPECT_EQ(shortEcho->count, 3);

  auto cut = ParseFault("cut:62:4", &error);
  ASSERT_TRUE(cut) << error;
  EXPECT_EQ(cut->kind, Fault::Kind::Cut);
  EXPECT_EQ(cut->count, 4);
  EXPECT_EQ(cut->nth, 1);
  EXPECT_EQ(ParseFault("cut:0:0:2", &error)->nth, 2);
}

TEST(FaultSpec, RejectsMalformedSpecsWithOneLine) {
  for (const char* spec : {"",
                           "write",
                           "write:5",
                           "write:64:1",
                           "write:-1:1",
                           "write:5:-2",
                           "write:5:x",
                           "write:5:1:2",
                           "verify:1:",
                           "late-ok::10",
                           "unplug",
                           "unplug:-3",
                           "unplug:1:2",
                           "call:FT_Bogus:1",
                           "call:FT_Read",
                           "call:FT_Read:1:0",
                           "call:FT_Read:1:2:3",
                           "erase:1:1",
                           "write: 5:1",
                           "write:+5:1",
                           "call:FT_Read:99999999999",
                           "lose",
                           "lose:64",
                           "lose:5:1:1",
                           "short-echo:5:x",
                           "short-echo:",
                           "cut:5",
                           "cut:5:5",
                           "cut:64:1",
                           "cut:5:1:0",
                           "cut:5:1:2:3",
                           "bad\nline"}) {
    std::string error;
    EXPECT_FALSE(ParseFault(spec, &error)) << spec;
    EXPECT_FALSE(error.empty()) << spec;
    EXPECT_EQ(error.find('\n'), std::string::npos) << spec;
  }
}

TEST_F(SimCable, OpensOnlyAnAttachedDescriptionByExactMatch) {
  SimOptions options;
  options.devices = {"FT232R USB UART"};
  link = std::make_unique<SimLink>(options);
  FT_HANDLE h = 0;
  EXPECT_EQ(link->FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(link->FT_OpenEx("FT232R USB", FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(link->FT_OpenEx("FT232R USB UART", 1, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(link->FT_OpenEx("FT232R USB UART", FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(link->FT_SetBaudRate(h + 1, 125000), FT_INVALID_HANDLE);
  EXPECT_EQ(link->FT_Close(h), FT_OK);
  EXPECT_EQ(link->FT_Close(h), FT_INVALID_HANDLE);
  std::uint32_t got = 7;
  std::uint8_t b = 0;
  EXPECT_EQ(link->FT_Read(h, &b, 1, &got), FT_INVALID_HANDLE);
  EXPECT_EQ(got, 0u);
}

TEST_F(SimCable, EchoesThenAnswersIdentifyAtTheLineRate) {
  Open();
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  EXPECT_EQ(link->NowMs(), 0.0);  // a write only queues
  EXPECT_EQ(Read(2), Text("GI"));
  EXPECT_DOUBLE_EQ(link->NowMs(), 0.16);
  EXPECT_EQ(Read(4), (Bytes{'P', 'Z', 0x00, 0x12}));
  EXPECT_DOUBLE_EQ(link->NowMs(), 0.48);
  FT_STATUS status = 99;
  EXPECT_TRUE(Read(4, &status).empty());
  EXPECT_EQ(status, FT_OK);
  EXPECT_DOUBLE_EQ(link->NowMs(), 250.48);
}

TEST_F(SimCable, SilentBoardStillEchoesAndReadsHonourTheTimeout) {
  SimOptions options;
  options.identifyReply = std::nullopt;
  Open(options);
  ASSERT_EQ(link->FT_SetTimeouts(handle, 40, 0), FT_OK);
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  // Asking for more than the echo returns what came, once the timeout is up.
  EXPECT_EQ(Read(6), Text("GI"));
  EXPECT_DOUBLE_EQ(link->NowMs(), 40.0);
}

TEST_F(SimCable, WritesQueueBehindBytesStillBeingSent) {
  Open();
  ASSERT_EQ(Write(Text("xy")), FT_OK);
  ASSERT_EQ(Write(Text("z")), FT_OK);
  EXPECT_EQ(Read(3), Text("xyz"));
  EXPECT_DOUBLE_EQ(link->NowMs(), 0.24);
}

TEST_F(SimCable, SkipsUnknownBytesAndFindsTheNextCommand) {
  Open();
  ASSERT_EQ(Write(Text("QGGXRGI")), FT_OK);
  EXPECT_EQ(Read(7).size(), 7u);
  EXPECT_EQ(Read(4), (Bytes{'P', 'Z', 0x00, 0x12}));
  EXPECT_TRUE(Read(1).empty());
}

TEST_F(SimCable, WritePageProgramsItAndReadPageReturnsIt) {
  SimOptions options;
  options.programMs = 30;
  Open(options);
  EXPECT_EQ(WritePage(3, 0x5A), Text("OK"));
  // Last data byte out at 0.4 + 163.84 ms, then programming, then "OK".
  EXPECT_NEAR(link->NowMs(), 0.4 + 163.84 + 30 + 0.16, 1e-9);
  const Bytes page = ReadPage(3);
  EXPECT_EQ(page, Bytes(FlashPageBytes, 0x5A));
  EXPECT_EQ(ReadPage(4), Bytes(FlashPageBytes, 0xFF));

  const auto& flash = link->Flash();
  EXPECT_EQ(flash[3 * FlashPageBytes - 1], 0xFF);
  EXPECT_EQ(flash[3 * FlashPageBytes], 0x5A);
  EXPECT_EQ(flash[4 * FlashPageBytes - 1], 0x5A);
  EXPECT_EQ(flash[4 * FlashPageBytes], 0xFF);

  const auto& events = link->PageEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, PageEvent::Kind::Written);
  EXPECT_EQ(events[0].page, 3);
  EXPECT_EQ(events[1].kind, PageEvent::Kind::ReadBack);
  EXPECT_TRUE(events[1].exact);
  EXPECT_EQ(events[2].page, 4);
  EXPECT_LT(events[0].atMs, events[1].atMs);
}

TEST_F(SimCable, BoardThatBuffersThePageEchoesItOnlyOnceItIsIn) {
  SimOptions options;
  options.programMs = 30;
  options.echoWholePage = true;
  Open(options);
  EXPECT_EQ(Write({'W', 'F', 0, 12, 0}), FT_OK);
  EXPECT_EQ(Read(5), (Bytes{'W', 'F', 0, 12, 0}));
  EXPECT_EQ(Write(Bytes(FlashPageBytes, 0x5A)), FT_OK);
  // The echo starts with the last data byte, later than one read timeout.
  Bytes echo = Read(FlashPageBytes);
  EXPECT_LT(echo.size(), static_cast<std::size_t>(FlashPageBytes));
  const Bytes rest = Read(static_cast<std::uint32_t>(FlashPageBytes - echo.size()));
  echo.insert(echo.end(), rest.begin(), rest.end());
  EXPECT_EQ(echo, Bytes(FlashPageBytes, 0x5A));
  // The "OK" waits behind the echo.
  EXPECT_EQ(Read(2), Text("OK"));
  EXPECT_NEAR(link->NowMs(), 0.4 + 163.84 + 163.84 + 0.16, 1e-9);
  EXPECT_EQ(ReadPage(3), Bytes(FlashPageBytes, 0x5A));
}

TEST_F(SimCable, ReadAnswersFromTheGivenFlashAndCount) {
  SimOptions options;
  options.flash.assign(FlashBytes, 0);
  for (int i = 0; i < FlashBytes; ++i)
    options.flash[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i / 7);
  Open(options);
  // Address 0x0402 is byte offset 0x804; three instructions are 12 bytes.
  ASSERT_EQ(Write({'R', 'F', 0x00, 0x04, 0x02, 0x00, 0x03}), FT_OK);
  EXPECT_EQ(Read(7).size(), 7u);
  const Bytes got = Read(64);
  EXPECT_EQ(got, Bytes(options.flash.begin() + 0x804, options.flash.begin() + 0x804 + 12));
}

TEST_F(SimCable, WriteFaultRefusesTheNextWritesOfThatPageOnly) {
  SimOptions options;
  options.faults = {*ParseFault("write:2:2", nullptr)};
  Open(options);
  EXPECT_EQ(WritePage(1, 0x11), Text("OK"));
  EXPECT_EQ(WritePage(2, 0x22), Text("NO"));
  EXPECT_EQ(WritePage(2, 0x22), Text("NO"));
  EXPECT_EQ(link->Flash()[2 * FlashPageBytes], 0xFF);
  EXPECT_EQ(WritePage(2, 0x22), Text("OK"));
  EXPECT_EQ(link->Flash()[2 * FlashPageBytes], 0x22);
  const auto& events = link->PageEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[1].kind, PageEvent::Kind::WriteRefused);
  EXPECT_EQ(events[2].kind, PageEvent::Kind::WriteRefused);
  EXPECT_EQ(events[3].kind, PageEvent::Kind::Written);
}

TEST_F(SimCable, VerifyFaultInvertsTheLastByteOfTheNextReadBacks) {
  SimOptions options;
  options.faults = {*ParseFault("verify:7:1", nullptr)};
  Open(options);
  Bytes spoiled(FlashPageBytes, 0xFF);
  spoiled.back() = 0x00;
  EXPECT_EQ(ReadPage(6), Bytes(FlashPageBytes, 0xFF));
  EXPECT_EQ(ReadPage(7), spoiled);
  EXPECT_EQ(ReadPage(7), Bytes(FlashPageBytes, 0xFF));
  const auto& events = link->PageEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[0].exact);
  EXPECT_FALSE(events[1].exact);
  EXPECT_TRUE(events[2].exact);
}

TEST_F(SimCable, LateOkArrivesAfterTheReadTimeoutOnce) {
  SimOptions options;
  options.faults = {*ParseFault("late-ok:5:300", nullptr)};
  Open(options);
  EXPECT_TRUE(WritePage(5, 0x01).empty());
  EXPECT_EQ(Read(2), Text("OK"));  // it does come, 300 ms after the echo
  EXPECT_EQ(WritePage(5, 0x02), Text("OK"));
}

// The line faults hit the writes of whole "WF" commands for their page only;
// page data that starts like one passes. A cut command leaves the board
// holding its first bytes, which the rest of that very command completes.
TEST_F(SimCable, LostHeaderNeverReachesTheBoardAndShortEchoLosesItsLastByte) {
  SimOptions options;
  options.faults = {*ParseFault("lose:2:2", nullptr), *ParseFault("short-echo:3", nullptr),
                    *ParseFault("cut:4:4:2", nullptr), *ParseFault("cut:4:0:3", nullptr)};
  Open(options);
  const Bytes header2 = {'W', 'F', 0, 8, 0};
  Bytes data(FlashPageBytes, 0x11);
  std::copy(header2.begin(), header2.end(), data.begin());
  ASSERT_EQ(Write({'W', 'F', 0, 4, 0}), FT_OK);
  EXPECT_EQ(Read(5).size(), 5u);
  ASSERT_EQ(Write(data), FT_OK);
  EXPECT_EQ(Read(FlashPageBytes + 2).size(), static_cast<std::size_t>(FlashPageBytes + 2));
  for (int lost = 0; lost < 2; ++lost) {
    ASSERT_EQ(Write(header2), FT_OK);
    EXPECT_TRUE(Read(5).empty());
  }
  EXPECT_EQ(WritePage(2, 0x22), Text("OK"));

  ASSERT_EQ(Write({'W', 'F', 0, 12, 0}), FT_OK);
  EXPECT_EQ(Read(5), (Bytes{'W', 'F', 0, 12}));
  ASSERT_EQ(Write(Bytes(FlashPageBytes, 0x33)), FT_OK);  // the board did get the command
  EXPECT_EQ(Read(FlashPageBytes + 2).size(), static_cast<std::size_t>(FlashPageBytes + 2));
  EXPECT_EQ(WritePage(3, 0x34), Text("OK"));  // one short echo only

  EXPECT_EQ(WritePage(4, 0x41), Text("OK"));
  const Bytes header4 = {'W', 'F', 0, 16, 0};
  ASSERT_EQ(Write(header4), FT_OK);
  EXPECT_EQ(Read(5), (Bytes{'W', 'F', 0, 16}));
  ASSERT_EQ(Write({0}), FT_OK);
  ASSERT_EQ(Write(Bytes(FlashPageBytes, 0x42)), FT_OK);
  EXPECT_EQ(Read(FlashPageBytes + 3).size(), static_cast<std::size_t>(FlashPageBytes + 3));
  ASSERT_EQ(Write(header4), FT_OK);
  EXPECT_TRUE(Read(5).empty());

  const auto& events = link->PageEvents();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0].page, 1);
  EXPECT_EQ(events[0].data, data);
  EXPECT_EQ(events[1].page, 2);
  EXPECT_EQ(events[1].data, Bytes(FlashPageBytes, 0x22));
  EXPECT_EQ(events[2].data, Bytes(FlashPageBytes, 0x33));
  EXPECT_EQ(events[3].data, Bytes(FlashPageBytes, 0x34));
  EXPECT_EQ(events[5].page, 4);
  EXPECT_EQ(events[5].data, Bytes(FlashPageBytes, 0x42));
}

// A command that arrives while the board programs a page: kept and carried
// out afterwards, or dropped, by the board's receive model.
TEST_F(SimCable, BytesDuringProgrammingAreKeptOrDroppedByTheBoardModel) {
  for (const auto receive : {SimOptions::BoardReceive::Keep, SimOptions::BoardReceive::Drop}) {
    SimOptions options;
    options.programMs = 100;
    options.boardReceive = receive;
    Open(options);
    ASSERT_EQ(Write({'W', 'F', 0, 4, 0}), FT_OK);
    ASSERT_EQ(Write(Bytes(FlashPageBytes, 0x11)), FT_OK);
    ASSERT_EQ(Read(5 + FlashPageBytes).size(), 5u + FlashPageBytes);
    ASSERT_EQ(Write(Text("GI")), FT_OK);  // arrives while page 1 is programmed
    EXPECT_EQ(Read(4), (Bytes{'G', 'I', 'O', 'K'}));
    const bool kept = receive == SimOptions::BoardReceive::Keep;
    EXPECT_EQ(Read(4), kept ? (Bytes{'P', 'Z', 0x00, 0x12}) : Bytes{}) << (kept ? "keep" : "drop");
  }
}

TEST_F(SimCable, PurgeOfUnsentBytesKeepsThemFromTheBoard) {
  Open();
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  ASSERT_EQ(link->FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  EXPECT_TRUE(Read(6).empty());  // no echo and no answer
  // A purge of the receive side alone leaves bytes still on the wire.
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  ASSERT_EQ(link->FT_Purge(handle, FT_PURGE_RX), FT_OK);
  EXPECT_EQ(Read(6).size(), 6u);
}

TEST_F(SimCable, PurgeDropsWhatHasArrivedButNotWhatIsStillComing) {
  SimOptions options;
  options.realtime = true;
  Open(options);
  ASSERT_EQ(link->FT_SetTimeouts(handle, 60, 0), FT_OK);
  link->SendFromBoard(Text("abc"));
  link->SendFromBoard(Text("late"), 40);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  ASSERT_EQ(link->FT_Purge(handle, FT_PURGE_RX), FT_OK);
  EXPECT_EQ(Read(10), Text("late"));
}

TEST_F(SimCable, UnplugAfterAWholeWriteFailsEverythingAfterIt) {
  SimOptions options;
  options.faults = {*ParseFault("unplug:2053", nullptr)};
  Open(options);
  Bytes command = {'W', 'F', 0, 0x08, 0};
  ASSERT_EQ(Write(command), FT_OK);
  EXPECT_EQ(Read(5).size(), 5u);
  Bytes data(FlashPageBytes, 0x42);
  std::uint32_t written = 0;
  EXPECT_EQ(link->FT_Write(handle, data.data(), FlashPageBytes, &written), FT_OK);
  EXPECT_EQ(written, 2048u);
  FT_STATUS status = 0;
  EXPECT_TRUE(Read(2, &status).empty());
  EXPECT_EQ(status, FT_IO_ERROR);
  EXPECT_EQ(link->FT_Purge(handle, 3), FT_IO_ERROR);
  EXPECT_EQ(link->FT_SetBaudRate(handle, 125000), FT_IO_ERROR);
  // What went out before the cable was pulled still reached the board.
  EXPECT_EQ(link->Flash()[2 * FlashPageBytes], 0x42);
}

TEST_F(SimCable, UnplugPartWayThroughAWrite) {
  SimOptions options;
  options.faults = {*ParseFault("unplug:3", nullptr)};
  Open(options);
  std::uint32_t written = 0;
  const Bytes bytes = Text("GIGI");
  EXPECT_EQ(link->FT_Write(handle, bytes.data(), 4, &written), FT_IO_ERROR);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(Write(Text("x")), FT_IO_ERROR);
}

TEST_F(SimCable, CallFaultHitsOnlyTheNthCallAndDoesNothingElse) {
  SimOptions options;
  options.faults = {*ParseFault("call:FT_Write:1:2", nullptr), *ParseFault("call:FT_Read:18", nullptr)};
  Open(options);
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  FT_STATUS status = 0;
  EXPECT_TRUE(Read(2, &status).empty());
  EXPECT_EQ(status, 18u);
  EXPECT_EQ(link->NowMs(), 0.0);  // the failed read did not wait either
  EXPECT_EQ(Read(6).size(), 6u);  // echo and answer were still there
  EXPECT_EQ(Write(Text("GI")), FT_INVALID_HANDLE);
  EXPECT_TRUE(Read(6).empty());  // nothing was sent
  EXPECT_EQ(Write(Text("GI")), FT_OK);
  EXPECT_EQ(Read(6).size(), 6u);
}

TEST_F(SimCable, FailReadWithDataKeepsTheBytes) {
  Open();
  link->FailReadWithData(2, FT_IO_ERROR);
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  FT_STATUS status = 99;
  EXPECT_EQ(Read(2, &status), Text("GI"));
  EXPECT_EQ(status, FT_OK);
  EXPECT_EQ(Read(4, &status).size(), 4u);
  EXPECT_EQ(status, FT_IO_ERROR);
  Read(1, &status);
  EXPECT_EQ(status, FT_OK);
}

TEST_F(SimCable, IdentifyAnswerInPiecesWithPauses) {
  Open();
  link->ScheduleIdentifyAnswer({{Text("PZ"), 0}, {Bytes{0x00}, 300}});
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  EXPECT_EQ(Read(2), Text("GI"));
  EXPECT_EQ(Read(4), Text("PZ"));
  EXPECT_EQ(Read(2), Bytes{0x00});
  // Only the next answer was replaced.
  ASSERT_EQ(Write(Text("GI")), FT_OK);
  EXPECT_EQ(Read(6), (Bytes{'G', 'I', 'P', 'Z', 0x00, 0x12}));
}

TEST_F(SimCable, TraceShowsEveryCallAsOneJsonLine) {
  Open();
  ASSERT_EQ(link->FT_SetBaudRate(handle, 125000), FT_OK);
  ASSERT_EQ(link->FT_SetChars(handle, 0, 0, 0, 0), FT_OK);
  ASSERT_EQ(Write({'a', 'b', 0x00, 0xFF}), FT_OK);
  Read(4);
  ASSERT_EQ(link->FT_Purge(handle, 3), FT_OK);
  ASSERT_EQ(link->FT_Close(handle), FT_OK);
  FT_HANDLE other = 0;
  EXPECT_EQ(link->FT_OpenEx("say \"hi\"\\\x01", FT_OPEN_BY_DESCRIPTION, &other), FT_DEVICE_NOT_FOUND);
  const std::vector<std::string> expected = {
      R"({"t":0.000,"call":"FT_OpenEx","args":["Corvane Serial Link",2],"status":0})",
      R"({"t":0.000,"call":"FT_SetBaudRate","args":[125000],"status":0})",
      R"({"t":0.000,"call":"FT_SetChars","args":[0,0,0,0],"status":0})",
      R"({"t":0.000,"call":"FT_Write","args":["616200ff",4],"status":0})",
      R"({"t":0.320,"call":"FT_Read","args":[4,4],"status":0})",
      R"({"t":0.320,"call":"FT_Purge","args":[3],"status":0})",
      R"({"t":0.320,"call":"FT_Close","args":[],"status":0})",
      R"({"t":0.320,"call":"FT_OpenEx","args":["say \"hi\"\\\u0001",2],"status":2})",
  };
  EXPECT_EQ(trace, expected);
}

TEST_F(SimCable, WholeFlashRoundTripsPageByPage) {
  Open();
  for (int page = 0; page < FlashPages; ++page) {
    ASSERT_EQ(WritePage(page, static_cast<std::uint8_t>(page * 3 + 1)), Text("OK")) << page;
  }
  for (int page = FlashPages - 1; page >= 0; --page) {
    ASSERT_EQ(ReadPage(page), Bytes(FlashPageBytes, static_cast<std::uint8_t>(page * 3 + 1))) << page;
  }
  const auto& flash = link->Flash();
  for (int i = 0; i < FlashBytes; ++i) {
    ASSERT_EQ(flash[static_cast<std::size_t>(i)], static_cast<std::uint8_t>((i / FlashPageBytes) * 3 + 1))
        << i;
  }
  EXPECT_EQ(link->PageEvents().size(), 2u * FlashPages);
}

TEST(SimOptionsCheck, FlashOfTheWrongSizeIsRefused) {
  SimOptions options;
  options.flash.assign(FlashBytes - 1, 0);
  EXPECT_THROW(SimLink link(options), std::invalid_argument);
}

TEST_F(SimCable, TraceKeepsDescriptionsValidJson) {
  Open();
  FT_HANDLE other = 0;
  link->FT_OpenEx("Kabel \xC3\xBC", FT_OPEN_BY_DESCRIPTION, &other);  // UTF-8 passes through
  link->FT_OpenEx("\xE9t\xE9", FT_OPEN_BY_DESCRIPTION, &other);       // Latin-1 is re-encoded
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_NE(trace[1].find("[\"Kabel \xC3\xBC\",2]"), std::string::npos) << trace[1];
  EXPECT_NE(trace[2].find("[\"\xC3\xA9t\xC3\xA9\",2]"), std::string::npos) << trace[2];
}

TEST_F(SimCable, VirtualTimeNeverSleeps) {
  SimOptions options;
  options.identifyReply = std::nullopt;
  Open(options);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) Read(1);  // 200 timeouts: 50 s on the simulated clock
  const auto wall = std::chrono::steady_clock::now() - start;
  EXPECT_DOUBLE_EQ(link->NowMs(), 50000.0);
  EXPECT_LT(wall, std::chrono::seconds(5));
}

TEST_F(SimCable, RealTimeRunsAtTheLineRate) {
  SimOptions options;
  options.realtime = true;
  Open(options);
  const Bytes bytes(250, 'x');  // 20 ms on the wire
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Write(bytes), FT_OK);
  EXPECT_EQ(Read(250).size(), 250u);
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(wallMs, 19.0);
  EXPECT_LT(wallMs, 500.0);  // loose: a loaded machine may be slow, never early
  EXPECT_GE(link->NowMs(), 20.0);
}

}  // namespace
}  // namespace kelvo::sim
