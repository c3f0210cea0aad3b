#include "sim/SimLink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>

#include "link/TraceJson.h"
#include "sim/SimBoard.h"
#include "sim/SimClock.h"
#include "sim/SimWire.h"

namespace kelvo::sim {
namespace {

// The read timeout a freshly opened device has before FT_SetTimeouts.
constexpr Micros DefaultReadTimeout = 250'000;
constexpr Micros Never = std::numeric_limits<Micros>::max();
// Handles look nothing like statuses or small counts, so a mix-up shows.
constexpr FT_HANDLE FirstHandle = 0x4B10;

}  // namespace

struct SimLink::Impl {
  explicit Impl(SimOptions opts) : options(std::move(opts)), clock(options.realtime), wire(options) {
    for (const Fault& fault : options.faults) {
      if (fault.kind == Fault::Kind::Call) callFaults.push_back(fault);
      if (fault.kind == Fault::Kind::Unplug) unplugAt = std::min(unplugAt.value_or(fault.bytes), fault.bytes);
    }
  }

  struct OpenDevice {
    FT_HANDLE handle;
    std::size_t device;
    Micros readTimeout = DefaultReadTimeout;
  };
  struct PendingReadFailure {
    int callsLeft;
    FT_STATUS status;
  };

  SimOptions options;
  SimClock clock;
  SimWire wire;

  std::vector<OpenDevice> openDevices;
  FT_HANDLE nextHandle = FirstHandle;
  std::vector<Fault> callFaults;
  std::map<std::string, int, std::less<>> callCounts;
  std::vector<PendingReadFailure> readFailures;
  std::optional<long long> unplugAt;
  long long totalWritten = 0;
  std::function<void(const std::string&)> traceSink;

  bool Unplugged() const { return unplugAt && totalWritten >= *unplugAt; }

  void ProcessUntil(Micros moment) { wire.ProcessUntil(moment); }

  void Sync() { ProcessUntil(clock.Now()); }

  std::size_t ArrivedBy(Micros moment) const { return wire.ArrivedBy(moment); }

  OpenDevice* Find(FT_HANDLE handle) {
    for (OpenDevice& device : openDevices) {
      if (device.handle == handle) return &device;
    }
    return nullptr;
  }

  // A `call:` fault for this call of `name`, counting the call.
  std::optional<FT_STATUS> InjectedStatus(std::string_view name) {
    const int nth = ++callCounts[std::string(name)];
    for (const Fault& fault : callFaults) {
      if (fault.call == name && fault.nth == nth) return fault.status;
    }
    return std::nullopt;
  }

  // What a call on `handle` ends with before it does anything: a call fault,
  // a handle that is not open, or a cable that is gone.
  std::optional<FT_STATUS> Precheck(std::string_view name, FT_HANDLE handle) {
    if (auto injected = InjectedStatus(name)) return injected;
    if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
    if (Unplugged()) return FT_IO_ERROR;
    return std::nullopt;
  }

  // Counts this FT_Read against the scheduled failures; the status to report
  // if this is the one.
  std::optional<FT_STATUS> TakeReadFailure() {
    std::optional<FT_STATUS> status;
    for (PendingReadFailure& failure : readFailures) {
      if (--failure.callsLeft == 0) status = failure.status;
    }
    std::erase_if(readFailures, [](const PendingReadFailure& f) { return f.callsLeft <= 0; });
    return status;
  }

  // The board gets what was sent before the cable went; nothing comes back.
  void PullCable() { wire.Cut(); }

  std::uint32_t Read(const OpenDevice& device, std::uint8_t* out, std::uint32_t count) {
    Micros moment = clock.Now();
    const Micros deadline = moment + device.readTimeout;
    // Find when the read returns by letting the model run forward; the clock
    // then waits once for that moment. Between two events of the line or the
    // board nothing changes, so the read either has its count by the next
    // event or waits for it.
    while (true) {
      ProcessUntil(moment);
      const std::size_t arrived = ArrivedBy(moment);
      if (arrived >= count) break;
      Micros next = count <= wire.ToPc().size() ? wire.ToPc()[count - 1].at : Never;
      next = std::min(next, wire.NextEventAt().value_or(Never));
      if (next > deadline) {
        moment = deadline;
        ProcessUntil(moment);
        break;
      }
      moment = next;
    }
    clock.WaitUntil(moment);
    const auto taken = static_cast<std::uint32_t>(std::min<std::size_t>(count, ArrivedBy(moment)));
    wire.Take(taken, out);
    return taken;
  }

  double NowMs() const { return static_cast<double>(clock.Now()) / 1000.0; }

  bool Tracing() const { return static_cast<bool>(traceSink); }
  void Trace(TraceLine& line, FT_STATUS status) {
    if (traceSink) traceSink(line.Finish(status));
  }

  // The set-up calls only check the handle (and SetTimeouts keeps its value).
  FT_STATUS Setting(std::string_view name, FT_HANDLE handle, std::initializer_list<long long> values) {
    Sync();
    const FT_STATUS status = Precheck(name, handle).value_or(FT_OK);
    if (Tracing()) {
      TraceLine line(NowMs(), name);
      for (const long long value : values) line.Number(value);
      Trace(line, status);
    }
    return status;
  }
};

SimLink::SimLink(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SimLink::~SimLink() = default;

std::string DeviceSerial(const SimOptions& options, std::size_t index) {
  if (index < options.serials.size()) return options.serials[index];
  char serial[16];
  std::snprintf(serial, sizeof serial, "KV%06zu", index + 1);
  return serial;
}

namespace {

// The first attached device with this description, or with this serial.
std::optional<std::size_t> FindDevice(const SimOptions& options, std::string_view wanted,
                                      std::uint32_t flags) {
  for (std::size_t i = 0; i < options.devices.size(); ++i) {
    const bool match =
        flags == FT_OPEN_BY_SERIAL_NUMBER ? DeviceSerial(options, i) == wanted : options.devices[i] == wanted;
    if (match) return i;
  }
  return std::nullopt;
}

}  // namespace

FT_STATUS SimLink::FT_CreateDeviceInfoList(std::uint32_t* count) {
  if (count == nullptr) return FT_INVALID_PARAMETER;
  *count = static_cast<std::uint32_t>(impl_->options.devices.size());
  return FT_OK;
}

FT_STATUS SimLink::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                          std::uint32_t* id, std::uint32_t* locId, char* serialNumber,
                                          char* description, FT_HANDLE* handle) {
  const Impl& s = *impl_;
  if (index >= s.options.devices.size()) return FT_DEVICE_NOT_FOUND;
  const auto open = std::find_if(s.openDevices.begin(), s.openDevices.end(),
                                 [&](const Impl::OpenDevice& d) { return d.device == index; });
  if (flags != nullptr) *flags = open != s.openDevices.end() ? FT_FLAGS_OPENED : 0;
  if (type != nullptr) *type = 5;  // FT_DEVICE_232R
  if (id != nullptr) *id = 0x04036001;
  if (locId != nullptr) *locId = index + 1;
  if (serialNumber != nullptr)
    std::snprintf(serialNumber, FT_SERIAL_NUMBER_SIZE, "%s", DeviceSerial(s.options, index).c_str());
  if (description != nullptr)
    std::snprintf(description, FT_DESCRIPTION_SIZE, "%s", s.options.devices[index].c_str());
  if (handle != nullptr) *handle = open != s.openDevices.end() ? open->handle : 0;
  return FT_OK;
}

FT_STATUS SimLink::FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                    char* serialNumber, char* description) {
  const Impl& s = *impl_;
  const auto open = std::find_if(s.openDevices.begin(), s.openDevices.end(),
                                 [&](const Impl::OpenDevice& d) { return d.handle == handle; });
  if (open == s.openDevices.end()) return FT_INVALID_HANDLE;
  if (type != nullptr) *type = 5;  // FT_DEVICE_232R
  if (id != nullptr) *id = 0x04036001;
  if (serialNumber != nullptr)
    std::snprintf(serialNumber, FT_SERIAL_NUMBER_SIZE, "%s", DeviceSerial(s.options, open->device).c_str());
  if (description != nullptr)
    std::snprintf(description, FT_DESCRIPTION_SIZE, "%s", s.options.devices[open->device].c_str());
  return FT_OK;
}

FT_STATUS SimLink::FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) {
  Impl& s = *impl_;
  s.Sync();
  const std::string_view wanted = description != nullptr ? std::string_view(description) : std::string_view();
  FT_STATUS status = s.InjectedStatus("FT_OpenEx").value_or(FT_OK);
  if (status == FT_OK) {
    status = FT_DEVICE_NOT_FOUND;
    if ((flags == FT_OPEN_BY_DESCRIPTION || flags == FT_OPEN_BY_SERIAL_NUMBER) && description != nullptr &&
        handle != nullptr) {
      if (const std::optional<std::size_t> found = FindDevice(s.options, wanted, flags)) {
        const std::size_t index = *found;
        const bool busy = std::any_of(s.openDevices.begin(), s.openDevices.end(),
                                      [&](const Impl::OpenDevice& d) { return d.device == index; });
        if (busy) {
          status = FT_DEVICE_NOT_OPENED;
        } else {
          s.openDevices.push_back({s.nextHandle++, index});
          *handle = s.openDevices.back().handle;
          status = FT_OK;
        }
      }
    }
  }
  if (s.Tracing()) {
    TraceLine line(s.NowMs(), "FT_OpenEx");
    line.String(wanted).Number(flags);
    s.Trace(line, status);
  }
  return status;
}

FT_STATUS SimLink::FT_Close(FT_HANDLE handle) {
  Impl& s = *impl_;
  s.Sync();
  const FT_STATUS status = s.Precheck("FT_Close", handle).value_or(FT_OK);
  // A pulled cable still lets go of its handle; only an injected failure
  // keeps the device open.
  if (status == FT_OK || (status == FT_IO_ERROR && s.Unplugged())) {
    std::erase_if(s.openDevices, [&](const Impl::OpenDevice& d) { return d.handle == handle; });
  }
  if (s.Tracing()) {
    TraceLine line(s.NowMs(), "FT_Close");
    s.Trace(line, status);
  }
  return status;
}

FT_STATUS SimLink::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
  return impl_->Setting("FT_SetBaudRate", handle, {baudRate});
}

FT_STATUS SimLink::FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                     std::uint8_t xoff) {
  return impl_->Setting("FT_SetFlowControl", handle, {flowControl, xon, xoff});
}

FT_STATUS SimLink::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) {
  return impl_->Setting("FT_SetLatencyTimer", handle, {milliseconds});
}

FT_STATUS SimLink::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                       std::uint32_t outTransferSize) {
  return impl_->Setting("FT_SetUSBParameters", handle, {inTransferSize, outTransferSize});
}

FT_STATUS SimLink::FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                             std::uint8_t parity) {
  return impl_->Setting("FT_SetDataCharacteristics", handle, {wordLength, stopBits, parity});
}

FT_STATUS SimLink::FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                               std::uint8_t errorChar, std::uint8_t errorCharEnabled) {
  return impl_->Setting("FT_SetChars", handle, {eventChar, eventCharEnabled, errorChar, errorCharEnabled});
}

FT_STATUS SimLink::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                  std::uint32_t writeTimeoutMs) {
  const FT_STATUS status = impl_->Setting("FT_SetTimeouts", handle, {readTimeoutMs, writeTimeoutMs});
  if (status == FT_OK) impl_->Find(handle)->readTimeout = static_cast<Micros>(readTimeoutMs) * 1000;
  return status;
}

FT_STATUS SimLink::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                            std::uint32_t* written) {
  Impl& s = *impl_;
  s.Sync();
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t taken = 0;
  FT_STATUS status = s.Precheck("FT_Write", handle).value_or(FT_OK);
  if (status == FT_OK && bytes == nullptr && count > 0) status = FT_INVALID_PARAMETER;
  if (status == FT_OK) {
    taken = count;
    if (s.unplugAt)
      taken = static_cast<std::uint32_t>(std::min<long long>(count, *s.unplugAt - s.totalWritten));
    // Each byte goes out behind those still being sent.
    s.wire.Send(bytes, taken, s.clock.Now());
    s.totalWritten += taken;
    if (s.Unplugged()) s.PullCable();
    if (taken < count) status = FT_IO_ERROR;
  }
  if (written != nullptr) *written = taken;
  if (s.Tracing()) {
    TraceLine line(s.NowMs(), "FT_Write");
    line.Hex(bytes, bytes != nullptr ? count : 0).Number(count);
    s.Trace(line, status);
  }
  return status;
}

FT_STATUS SimLink::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* delivered) {
  Impl& s = *impl_;
  s.Sync();
  const std::optional<FT_STATUS> scheduledFailure = s.TakeReadFailure();
  std::uint32_t got = 0;
  FT_STATUS status = s.Precheck("FT_Read", handle).value_or(FT_OK);
  if (status == FT_OK && buffer == nullptr && count > 0) status = FT_INVALID_PARAMETER;
  if (status == FT_OK) {
    got = s.Read(*s.Find(handle), static_cast<std::uint8_t*>(buffer), count);
    status = scheduledFailure.value_or(FT_OK);
  }
  if (delivered != nullptr) *delivered = got;
  if (s.Tracing()) {
    TraceLine line(s.NowMs(), "FT_Read");
    line.Number(count).Number(got);
    s.Trace(line, status);
  }
  return status;
}

FT_STATUS SimLink::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
  Impl& s = *impl_;
  s.Sync();
  const FT_STATUS status = s.Precheck("FT_Purge", handle).value_or(FT_OK);
  if (status == FT_OK) {
    const Micros now = s.clock.Now();
    if ((mask & FT_PURGE_RX) != 0) s.wire.DropArrived(now);
    // A byte already on the wire finishes; the ones behind it are dropped.
    if ((mask & FT_PURGE_TX) != 0) s.wire.DropUnsent(now);
  }
  if (s.Tracing()) {
    TraceLine line(s.NowMs(), "FT_Purge");
    line.Number(mask);
    s.Trace(line, status);
  }
  return status;
}

const std::vector<std::uint8_t>& SimLink::Flash() const {
  impl_->Sync();
  return impl_->wire.Board().Flash();
}

const std::vector<PageEvent>& SimLink::PageEvents() const {
  impl_->Sync();
  return impl_->wire.Board().PageEvents();
}

double SimLink::NowMs() const { return impl_->NowMs(); }

void SimLink::SetTraceSink(std::function<void(const std::string& line)> sink) {
  impl_->traceSink = std::move(sink);
}

void SimLink::SendFromBoard(std::vector<std::uint8_t> bytes, double afterMs) {
  impl_->Sync();
  const Micros at = impl_->clock.Now() + static_cast<Micros>(afterMs * 1000.0 + 0.5);
  impl_->wire.Board().SendAt(std::move(bytes), at);
}

void SimLink::ScheduleIdentifyAnswer(std::vector<std::pair<std::vector<std::uint8_t>, double>> pieces) {
  impl_->wire.Board().ReplaceNextIdentifyAnswer(std::move(pieces));
}

void SimLink::LoseEchoes(int count) { impl_->wire.LoseEchoes(count); }

void SimLink::FailReadWithData(int nth, FT_STATUS status) {
  if (nth >= 1) impl_->readFailures.push_back({nth, status});
}

}  // namespace kelvo::sim
