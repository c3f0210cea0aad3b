#include "sim/SimBoard.h"

#include <algorithm>
#include <stdexcept>

namespace kelvo::sim {
namespace {

constexpr std::size_t AddressBytes = 3;
constexpr std::size_t CountBytes = 2;
constexpr std::size_t IdentifyLength = 2;
constexpr std::size_t WriteLength = 2 + AddressBytes + FlashPageBytes;
constexpr std::size_t ReadLength = 2 + AddressBytes + CountBytes;
constexpr std::uint8_t Erased = 0xFF;

bool StartsCommand(std::uint8_t byte) { return byte == 'G' || byte == 'W' || byte == 'R'; }

Micros MsToMicros(double ms) { return static_cast<Micros>(ms * 1000.0 + (ms >= 0 ? 0.5 : -0.5)); }

}  // namespace

SimBoard::SimBoard(const SimOptions& options, Output output)
    : output_(std::move(output)),
      programMs_(options.programMs),
      receive_(options.boardReceive),
      echoWholePage_(options.echoWholePage),
      identifyReply_(options.identifyReply),
      flash_(options.flash.empty() ? std::vector<std::uint8_t>(FlashBytes, Erased) : options.flash) {
  if (flash_.size() != static_cast<std::size_t>(FlashBytes)) {
    throw std::invalid_argument("the board's flash must be " + std::to_string(FlashBytes) + " bytes");
  }
  for (const Fault& fault : options.faults) {
    switch (fault.kind) {
      case Fault::Kind::Write:
        writeRefusals_[fault.page] += fault.count;
        break;
      case Fault::Kind::Verify:
        verifySpoils_[fault.page] += fault.count;
        break;
      case Fault::Kind::LateOk:
        lateOks_[fault.page].push_back(fault.milliseconds);
        break;
      default:
        break;  // the cable's faults, not the board's
    }
  }
}

void SimBoard::Receive(std::uint8_t byte, Micros at) {
  if (programming_) {
    if (receive_ == SimOptions::BoardReceive::Keep && held_.size() < ReceiveBufferBytes)
      held_.push_back(byte);
    return;
  }
  Parse(byte, at);
}

bool SimBoard::EchoesNextByteLater() const {
  return echoWholePage_ && !programming_ && commandLength_ == WriteLength &&
         command_.size() >= 2 + AddressBytes;
}

void SimBoard::Parse(std::uint8_t byte, Micros at) {
  command_.push_back(byte);
  if (command_.size() == 1) {
    if (!StartsCommand(byte)) command_.clear();
    return;
  }
  if (command_.size() == 2) {
    const char first = static_cast<char>(command_[0]);
    if (first == 'G' && byte == 'I') {
      commandLength_ = IdentifyLength;
    } else if (first == 'W' && byte == 'F') {
      commandLength_ = WriteLength;
    } else if (first == 'R' && byte == 'F') {
      commandLength_ = ReadLength;
    } else {
      // Not a command: the board looks for the next one, which may begin
      // with this very byte.
      command_.clear();
      if (StartsCommand(byte)) command_.push_back(byte);
      return;
    }
  }
  if (command_.size() == commandLength_) {
    Execute(at);
    command_.clear();
    commandLength_ = 0;
  }
}

void SimBoard::Execute(Micros at) {
  switch (command_[0]) {
    case 'G':
      ExecuteIdentify(at);
      break;
    case 'W':
      ExecuteWrite(at);
      break;
    default:
      ExecuteRead(at);
      break;
  }
}

void SimBoard::ExecuteIdentify(Micros at) {
  if (identifyOverride_) {
    Pieces pieces = std::move(*identifyOverride_);
    identifyOverride_.reset();
    SendPieces(std::move(pieces), 0, at);
    return;
  }
  if (identifyReply_) Transmit({identifyReply_->begin(), identifyReply_->end()}, at);
}

void SimBoard::ExecuteWrite(Micros at) {
  const std::int64_t address = (command_[2] << 16) | (command_[3] << 8) | command_[4];
  const int page = static_cast<int>(address / AddressUnitsPerPage);
  const std::int64_t offset = 2 * address;
  // A page that would run past the end of flash is refused like a bad write.
  const bool inFlash = offset + FlashPageBytes <= FlashBytes;
  if (echoWholePage_) Transmit({command_.begin() + 2 + AddressBytes, command_.end()}, at);
  if (!inFlash || writeRefusals_[page] > 0) {
    if (inFlash) {
      --writeRefusals_[page];
      Record(PageEvent::Kind::WriteRefused, page, true, at);
    }
    Transmit({'N', 'O'}, at);
    return;
  }
  int delayMs = programMs_;
  if (auto late = lateOks_.find(page); late != lateOks_.end() && !late->second.empty()) {
    delayMs = late->second.front();
    late->second.erase(late->second.begin());
  }
  std::vector<std::uint8_t> data(command_.begin() + 2 + AddressBytes, command_.end());
  programming_ = true;
  Schedule(at + MsToMicros(delayMs), [this, page, offset, data = std::move(data)](Micros now) {
    std::copy(data.begin(), data.end(), flash_.begin() + offset);
    Record(PageEvent::Kind::Written, page, true, now, data);
    Transmit({'O', 'K'}, now);
    programming_ = false;
    // What came in meanwhile, in order; a command among it that programs a
    // page again holds back the rest once more.
    std::vector<std::uint8_t> held = std::move(held_);
    held_.clear();
    for (const std::uint8_t byte : held) Receive(byte, now);
  });
}

void SimBoard::ExecuteRead(Micros at) {
  const std::int64_t address = (command_[2] << 16) | (command_[3] << 8) | command_[4];
  const std::size_t count = 4u * static_cast<std::size_t>((command_[5] << 8) | command_[6]);
  const int page = static_cast<int>(address / AddressUnitsPerPage);
  const auto offset = static_cast<std::size_t>(2 * address);
  std::vector<std::uint8_t> data(count, Erased);
  for (std::size_t i = 0; i < count && offset + i < flash_.size(); ++i) data[i] = flash_[offset + i];
  bool exact = true;
  if (count > 0 && verifySpoils_[page] > 0) {
    --verifySpoils_[page];
    data.back() = static_cast<std::uint8_t>(~data.back());
    exact = false;
  }
  if (page < FlashPages) Record(PageEvent::Kind::ReadBack, page, exact, at);
  Transmit(data, at);
}

void SimBoard::Record(PageEvent::Kind kind, int page, bool exact, Micros at, std::vector<std::uint8_t> data) {
  events_.push_back(PageEvent{kind, page, exact, static_cast<double>(at) / 1000.0, std::move(data)});
}

Micros SimBoard::Transmit(const std::vector<std::uint8_t>& bytes, Micros at) {
  Micros arrival = std::max(at, lineFreeAt_);
  for (const std::uint8_t byte : bytes) {
    arrival += byteMicros_;
    output_(byte, arrival);
  }
  lineFreeAt_ = arrival;
  return arrival;
}

void SimBoard::SendPieces(Pieces pieces, std::size_t next, Micros after) {
  if (next >= pieces.size()) return;
  const Micros due = after + MsToMicros(pieces[next].second);
  Schedule(due, [this, pieces = std::move(pieces), next](Micros now) mutable {
    const Micros end = Transmit(pieces[next].first, now);
    SendPieces(std::move(pieces), next + 1, end);
  });
}

void SimBoard::SendAt(std::vector<std::uint8_t> bytes, Micros at) {
  Schedule(at, [this, bytes = std::move(bytes)](Micros now) { Transmit(bytes, now); });
}

void SimBoard::ReplaceNextIdentifyAnswer(Pieces pieces) { identifyOverride_ = std::move(pieces); }

void SimBoard::Schedule(Micros at, std::function<void(Micros)> run) {
  actions_.push_back(Action{at, nextOrder_++, std::move(run)});
}

std::optional<Micros> SimBoard::NextActionAt() const {
  if (actions_.empty()) return std::nullopt;
  Micros earliest = actions_.front().at;
  for (const Action& action : actions_) earliest = std::min(earliest, action.at);
  return earliest;
}

void SimBoard::RunNextAction() {
  if (actions_.empty()) return;
  const auto earliest = std::min_element(
      actions_.begin(), actions_.end(),
      [](const Action& a, const Action& b) { return a.at != b.at ? a.at < b.at : a.order < b.order; });
  Action action = std::move(*earliest);
  actions_.erase(earliest);
  action.run(action.at);
}

}  // namespace kelvo::sim
