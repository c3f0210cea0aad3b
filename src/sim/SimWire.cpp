#include "sim/SimWire.h"

#include <algorithm>
#include <limits>

namespace kelvo::sim {
namespace {

constexpr Micros Never = std::numeric_limits<Micros>::max();

bool Before(Micros t, const SimWire::Byte& b) { return t < b.at; }

}  // namespace

SimWire::SimWire(const SimOptions& options, Micros byteMicros)
    : byteMicros_(byteMicros), board_(options, [this](std::uint8_t byte, Micros at) { Arrive(byte, at); }) {
  board_.SetByteMicros(byteMicros);
}

void SimWire::Arrive(std::uint8_t byte, Micros at) {
  // Mostly an append; the board's bytes and the echo may interleave.
  toPc_.insert(std::upper_bound(toPc_.begin(), toPc_.end(), at, Before), Byte{at, byte});
}

Micros SimWire::Send(const std::uint8_t* bytes, std::size_t count, Micros from) {
  Micros done = std::max(from, pcLineFreeAt_);
  for (std::size_t i = 0; i < count; ++i) {
    done += byteMicros_;
    fromPc_.push_back({done, bytes[i]});
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
      if (board_.EchoesNextByteLater()) {
        // The board sends this echo itself, later.
      } else if (lostEchoes_ > 0) {
        --lostEchoes_;
      } else {
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
  toPc_.erase(toPc_.begin() + static_cast<std::ptrdiff_t>(keep), toPc_.begin() + static_cast<std::ptrdiff_t>(arrived));
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
