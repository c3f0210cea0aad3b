#include "sim/SimWire.h"

#include <algorithm>
#include <limits>

namespace kelvo::sim {
namespace {

constexpr Micros Never = std::numeric_limits<Micros>::max();

bool Before(Micros t, const SimWire::Byte& b) { return t < b.at; }

constexpr std::size_t HeaderBytes = 5;

// The page of a write that is exactly one "WF" command; nullopt for any other.
std::optional<int> HeaderPage(const std::uint8_t* bytes, std::size_t count) {
  if (count != HeaderBytes || bytes[0] != 'W' || bytes[1] != 'F') return std::nullopt;
  return ((bytes[2] << 16) | (bytes[3] << 8) | bytes[4]) / AddressUnitsPerPage;
}

// Uses up one of the page's pending faults; false when none is left.
bool TakeOne(std::map<int, int>& pending, int page) {
  const auto left = pending.find(page);
  if (left == pending.end() || left->second == 0) return false;
  --left->second;
  return true;
}

}  // namespace

SimWire::SimWire(const SimOptions& options, Micros byteMicros)
    : byteMicros_(byteMicros), board_(options, [this](std::uint8_t byte, Micros at) { Arrive(byte, at); }) {
  board_.SetByteMicros(byteMicros);
  for (const Fault& fault : options.faults) {
    if (fault.kind == Fault::Kind::Lose) lostHeaders_[fault.page] += fault.count;
    if (fault.kind == Fault::Kind::ShortEcho) shortEchoes_[fault.page] += fault.count;
    if (fault.kind == Fault::Kind::Cut) cuts_[{fault.page, fault.nth}] = fault.count;
  }
}

void SimWire::Arrive(std::uint8_t byte, Micros at) {
  // Mostly an append; the board's bytes and the echo may interleave.
  if (toPc_.empty() || toPc_.back().at <= at) {
    toPc_.push_back(Byte{at, byte});
    return;
  }
  toPc_.insert(std::upper_bound(toPc_.begin(), toPc_.end(), at, Before), Byte{at, byte});
}

Micros SimWire::Send(const std::uint8_t* bytes, std::size_t count, Micros from) {
  Micros done = std::max(from, pcLineFreeAt_);
  bool lastEchoLost = false;
  if (const std::optional<int> page = HeaderPage(bytes, count)) {
    // Only the first bytes reach the board, which echoes them; the PC's
    // write still succeeds.
    if (const auto cut = cuts_.find({*page, ++headersSent_[*page]}); cut != cuts_.end()) {
      count = static_cast<std::size_t>(cut->second);
    } else if (TakeOne(lostHeaders_, *page)) {
      // Lost before the board: it neither takes nor echoes the command.
      return done;
    } else {
      lastEchoLost = TakeOne(shortEchoes_, *page);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    done += byteMicros_;
    fromPc_.push_back({done, bytes[i], !(lastEchoLost && i + 1 == count)});
  }
  pcLineFreeAt_ = done;
  return done;
}

void SimWire::ProcessUntil(Micros moment) {
  while (true) {
    const Micros pcNext = fromPc_.empty() ? Never : fromPc_.front().at;
    const Micros boardNext = board_.NextActionAt().value_or(Never);
    if (std::min(pcNext, boardNext) > moment || (pcNext == Never && boardNext == Never)) return;
    if (pcNext <= boardNext) {
      const Byte byte = fromPc_.front();
      fromPc_.pop_front();
      // The cable echoes every byte as it goes out, noise permitting.
      if (byte.echoed && board_.EchoesNextByteLater()) {
        // The board sends this echo itself, later.
      } else if (byte.echoed && lostEchoes_ > 0) {
        --lostEchoes_;
      } else if (byte.echoed) {
        Arrive(byte.value, byte.at);
      }
      board_.Receive(byte.value, byte.at);
    } else {
      board_.RunNextAction();
    }
  }
}

std::optional<Micros> SimWire::NextEventAt() const {
  const Micros pcNext = fromPc_.empty() ? Never : fromPc_.front().at;
  const Micros next = std::min(pcNext, board_.NextActionAt().value_or(Never));
  if (next == Never) return std::nullopt;
  return next;
}

std::size_t SimWire::ArrivedBy(Micros moment) const {
  // Reads mostly ask when everything, or nothing, has arrived.
  if (toPc_.empty() || toPc_.back().at <= moment) return toPc_.size();
  if (moment < toPc_.front().at) return 0;
  return static_cast<std::size_t>(std::upper_bound(toPc_.begin(), toPc_.end(), moment, Before) -
                                  toPc_.begin());
}

void SimWire::Take(std::size_t count, std::uint8_t* out) {
  count = std::min(count, toPc_.size());
  for (std::size_t i = 0; i < count; ++i) out[i] = toPc_[i].value;
  toPc_.erase(toPc_.begin(), toPc_.begin() + static_cast<std::ptrdiff_t>(count));
}

std::size_t SimWire::KeepArrived(std::size_t keep, Micros moment) {
  const std::size_t arrived = ArrivedBy(moment);
  if (arrived <= keep) return 0;
  toPc_.erase(toPc_.begin() + static_cast<std::ptrdiff_t>(keep),
              toPc_.begin() + static_cast<std::ptrdiff_t>(arrived));
  return arrived - keep;
}

void SimWire::DropArrived(Micros now) {
  toPc_.erase(toPc_.begin(), toPc_.begin() + static_cast<std::ptrdiff_t>(ArrivedBy(now)));
}

void SimWire::DropUnsent(Micros now) {
  while (!fromPc_.empty() && fromPc_.back().at - byteMicros_ >= now) fromPc_.pop_back();
  pcLineFreeAt_ = fromPc_.empty() ? now : fromPc_.back().at;
}

void SimWire::Cut() {
  ProcessUntil(Never);
  toPc_.clear();
}

}  // namespace kelvo::sim
