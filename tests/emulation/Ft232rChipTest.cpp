// The emulated FT232R on its own, without USB: what its IN side sends and
// when, and how it reads the set-up the driver sends.
#include "emulation/Ft232rChip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kelvo::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The emulated chip's IN side: two status bytes per 64-byte packet, a short
// packet ends a transfer, and the latency timer decides when it goes.
TEST(Ft232rChip, ReadsArePacketsWithStatusBytesPacedByTheLatencyTimer) {
  Ft232rChip chip(SimOptions{}, true);
  chip.Control({0x40, 0x09, 2, 0, 0}, 0);  // latency 2 ms
  const Bytes command = Text("GI");
  chip.BulkOut(command.data(), command.size(), 10'000);

  Ft232rChip::InTransfer read{4096, {}, 10'000};
  Micros wake = 0;
  // The timer ran out long ago: what has arrived goes at once, here nothing.
  ASSERT_TRUE(chip.FillIn(read, 10'000, &wake));
  EXPECT_EQ(read.data, (Bytes{0x01, 0x60}));

  read = {4096, {}, 10'100};
  ASSERT_FALSE(chip.FillIn(read, 10'100, &wake));
  EXPECT_EQ(wake, 12'000) << "the next packet waits a whole latency period";
  ASSERT_TRUE(chip.FillIn(read, wake, &wake));
  // Echo "GI", then the board's answer "PZ" 0x00 0x12, in one short packet.
  EXPECT_EQ(read.data, (Bytes{0x01, 0x60, 'G', 'I', 'P', 'Z', 0x00, 0x12}));
}

TEST(Ft232rChip, FullPacketsGoWithoutWaitingAndTheBaudDivisorDecodes) {
  Ft232rChip chip(SimOptions{}, false);
  const Bytes many(100, 'x');
  chip.BulkOut(many.data(), many.size(), 0);
  Ft232rChip::InTransfer read{128, {}};
  Micros wake = 0;
  ASSERT_FALSE(chip.FillIn(read, 1, &wake)) << "one full packet, then room for another";
  ASSERT_EQ(read.data.size(), 64u);
  EXPECT_EQ(read.data[0], 0x01);
  EXPECT_EQ(read.data[1], 0x60);
  ASSERT_TRUE(chip.FillIn(read, wake, &wake));
  EXPECT_EQ(read.data.size(), 64u + 2 + 38);

  // libftdi1's encodings for the FT232R: 3 MHz over 24, over 312.5, over 2.
  EXPECT_EQ(Ft232rChip::DecodeBaud(24, 0), 125000);
  EXPECT_EQ(Ft232rChip::DecodeBaud(0x4138, 0), 9600);
  EXPECT_EQ(Ft232rChip::DecodeBaud(1, 0), 2000000);
}

// The chip's 256-byte receive buffer, 400 bytes from the line in 32 ms, the
// host's transfers all pending from the start and none put back: each
// covers one latency period (a short packet ends it), then the buffer fills
// and what does not fit is lost, and the next packet says so.
TEST(Ft232rChip, EachPendingTransferCoversOneLatencyPeriodThenTheBufferLosesWhatFindsNoRoom) {
  Bytes sent(400);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
  struct Row {
    int transfers;
    std::size_t lost;
  };
  // A byte every 80 us: 25 per 2 ms period; 4 transfers take 100 bytes, the
  // buffer 256 more.
  for (const Row row : {Row{0, 144}, Row{1, 119}, Row{4, 44}, Row{16, 0}}) {
    SCOPED_TRACE(row.transfers);
    Ft232rChip chip(SimOptions{}, true);
    chip.Control({0x40, 0x09, 2, 0, 0}, 0);
    chip.BulkOut(sent.data(), sent.size(), 0);
    Bytes data;
    bool overrunSaid = false;
    const auto collect = [&](const Ft232rChip::InTransfer& read) {
      for (std::size_t at = 0; at < read.data.size(); at += Ft232rChip::PacketSize) {
        overrunSaid = overrunSaid || (read.data[at + 1] & Ft232rChip::OverrunBit) != 0;
        const auto end = std::min(read.data.size(), at + Ft232rChip::PacketSize);
        data.insert(data.end(), read.data.begin() + static_cast<std::ptrdiff_t>(at + 2),
                    read.data.begin() + static_cast<std::ptrdiff_t>(end));
      }
    };
    Micros wake = 0;
    for (int i = 0; i < row.transfers; ++i) {
      Ft232rChip::InTransfer read{4096, {}, 0};
      ASSERT_TRUE(chip.FillIn(read, 40'000, &wake));
      EXPECT_LE(read.data.size(), Ft232rChip::PacketSize) << "one short packet";
      EXPECT_FALSE(overrunSaid);
      collect(read);
    }
    chip.Advance(40'000);
    EXPECT_EQ(chip.Lost(), row.lost);
    // Put back at last, a transfer takes what the buffer kept: the full
    // packets at once, the rest when the timer next expires.
    Ft232rChip::InTransfer read{8192, {}, 40'000};
    ASSERT_TRUE(chip.FillIn(read, 42'000, &wake));
    collect(read);
    EXPECT_EQ(overrunSaid, row.lost > 0);
    EXPECT_EQ(data, Bytes(sent.begin(), sent.end() - static_cast<std::ptrdiff_t>(row.lost)))
        << "the first bytes found room, the later ones were lost";
  }
}

}  // namespace
}  // namespace kelvo::sim
