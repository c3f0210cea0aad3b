#include "emulation/EmulatedCables.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "emulation/Ft232rChip.h"
#include "link/TraceJson.h"

namespace kelvo::sim {
namespace {

constexpr std::uint8_t BulkInEndpoint = 0x81;
constexpr std::size_t SetupBytes = 8;
constexpr std::uint8_t GetDescriptor = 0x06;
constexpr std::uint8_t StandardRequest = 0x00;
constexpr std::uint8_t RequestTypeMask = 0x60;
constexpr const char* KernelDriver = "ftdi_sio";
constexpr const char* OtherProgram = "usbfs";
constexpr std::size_t FifoSignal = 4096;
constexpr Micros QuickRead = 1000;

// The FT232R's descriptors: one interface, bulk IN 0x81 and OUT 0x02 with
// 64-byte packets; strings 1 manufacturer, 2 product, 3 serial.
constexpr std::uint8_t DeviceDescriptor[] = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x03,
                                             0x04, 0x01, 0x60, 0x00, 0x06, 0x01, 0x02, 0x03, 0x01};
constexpr std::uint8_t ConfigDescriptor[] = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x2D,  // configuration 1, 90 mA
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,  // interface 0, vendor class
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00};             // bulk OUT

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
  for (const char c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

Micros MonotonicMicros() { return g_get_monotonic_time(); }

}  // namespace

struct EmulatedCables::Impl {
  struct Urb {
    UMockdevIoctlClient* client = nullptr;  // each reference held
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    enum class Kind { Control, In, Out } kind = Kind::Control;
    bool ready = false;
    int status = 0;
    int actual = 0;
    Micros readyAt = 0;
    Micros submittedAt = 0;
    Ft232rChip::InTransfer in;
  };

  struct Cable {
    CableSetup setup;
    std::string node;  // /dev/bus/usb/001/NNN
    std::unique_ptr<Ft232rChip> chip;
    Impl* owner = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;
    bool signalled = false;
    bool gone = false;
    bool kernelDriverBound = true;
    UMockdevIoctlClient* claimedBy = nullptr;
    long long bytesFromPc = 0;
    std::size_t lostReported = 0;
    int failingIns = 0;  // IN transfers still to end in a transient error
    std::deque<Urb> urbs;
    GSource* timer = nullptr;
    int timerFd = -1;
  };

  EmulationOptions options;
  UMockdevTestbed* testbed = nullptr;
  // umockdev's thread's context, where every request is served.
  GMainContext* worker = nullptr;
  std::vector<std::unique_ptr<Cable>> cables;
  Micros start = MonotonicMicros();
  // Counted on umockdev's thread, read from any.
  struct Counters {
    std::atomic<long long> requests = 0, discards = 0, bulkTransfers = 0, emptyReads = 0, quickEmptyReads = 0,
                           lostBytes = 0, overruns = 0;
  } stats;
  std::mutex eventsLock;

  Micros Now() const { return MonotonicMicros() - start; }

  void Event(const Cable& cable, const std::string& kind, const std::string& extra = "") {
    if (!options.events) return;
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", static_cast<double>(Now()) / 1000.0);
    const std::lock_guard lock(eventsLock);
    options.events(std::string("{\"t\":") + t + ",\"event\":" + JsonString(kind) +
                   ",\"serial\":" + JsonString(cable.setup.serial) + extra + "}");
  }

  void SetupEvent(const Cable& cable) {
    const ChipSettings& s = cable.chip->Settings();
    Event(cable, "setup",
          ",\"baud\":" + std::to_string(s.baud) + ",\"bits\":" + std::to_string(s.bits) +
              ",\"stop\":" + (s.stopBits == 15 ? std::string("1.5") : std::to_string(s.stopBits)) +
              ",\"parity\":" + JsonString(s.parity) + ",\"flow\":" + JsonString(s.flow) +
              ",\"latency\":" + std::to_string(s.latencyMs));
  }

  // The node is a FIFO kept full, so poll() reports it writable (the usbfs
  // sign of a finished URB) only while something waits to be reaped;
  // umockdev's plain file would be always ready and make libusb spin.
  static void Fill(Cable& cable) {
    static const std::vector<char> filler(FifoSignal, 0);
    while (write(cable.fifo, filler.data(), filler.size()) > 0) {
    }
    cable.signalled = false;
  }
  static void Signal(Cable& cable) {
    if (cable.signalled) return;
    char sink[FifoSignal];
    [[maybe_unused]] const ssize_t drained = read(cable.fifo, sink, sizeof sink);
    cable.signalled = true;
  }

  // The node shows "ready" exactly while some URB waits to be reaped.
  static void Settle(Cable& cable) {
    if (std::any_of(cable.urbs.begin(), cable.urbs.end(), [](const Urb& u) { return u.ready; })) {
      Signal(cable);
    } else {
      Fill(cable);
    }
  }

  static void Release(Urb& urb) {
    if (urb.buffer != nullptr) g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
    g_object_unref(urb.client);
  }

  static gboolean OnTimer(gpointer data) {
    auto* cable = static_cast<Cable*>(data);
    cable->owner->Service(*cable);
    return G_SOURCE_CONTINUE;
  }

  // Tells of the bytes the chip has lost since the last time.
  void ReportLosses(Cable& cable) {
    const std::size_t lost = cable.chip->Lost() - cable.lostReported;
    if (lost == 0) return;
    cable.lostReported = cable.chip->Lost();
    stats.lostBytes += static_cast<long long>(lost);
    ++stats.overruns;
    Event(cable, "overrun", ",\"lost\":" + std::to_string(lost));
  }

  // Completes what is due and arms the timer for the next moment.
  void Service(Cable& cable) {
    const Micros now = Now();
    Micros wake = -1;
    bool anyReady = false;
    // Only the first pending IN transfer is being filled.
    bool inFilling = false;
    for (Urb& urb : cable.urbs) {
      if (!urb.ready && !cable.gone) {
        if (urb.kind == Urb::Kind::In && !inFilling && cable.failingIns > 0) {
          // A transaction error: the packets it had stay, the chip keeps
          // the rest.
          --cable.failingIns;
          urb.ready = true;
          urb.status = -EPROTO;
          urb.actual = static_cast<int>(urb.in.data.size());
        } else if (urb.kind == Urb::Kind::In && !inFilling) {
          Micros at = 0;
          if (cable.chip->FillIn(urb.in, now, &at)) {
            urb.ready = true;
            urb.actual = static_cast<int>(urb.in.data.size());
          } else {
            inFilling = true;
            if (wake < 0 || at < wake) wake = at;
          }
        } else if (urb.kind == Urb::Kind::In) {
          // Waits behind the one being filled.
        } else if (urb.readyAt <= now) {
          urb.ready = true;
        } else if (wake < 0 || urb.readyAt < wake) {
          wake = urb.readyAt;
        }
      }
      anyReady = anyReady || urb.ready;
    }
    if (!inFilling && !cable.gone) cable.chip->Advance(now);
    ReportLosses(cable);
    if (anyReady) Signal(cable);
    if (cable.timer == nullptr) {
      // A timerfd wakes at the microsecond; GLib's own timeouts round up to
      // the next millisecond, which would stretch every latency period.
      cable.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
      cable.timer = g_unix_fd_source_new(cable.timerFd, G_IO_IN);
      // An fd source calls back with the fd and condition first; GLib takes
      // it through the generic callback type.
      GUnixFDSourceFunc onExpiry = [](gint fd, GIOCondition, gpointer data) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t n = read(fd, &expirations, sizeof expirations);
        return OnTimer(data);
      };
      g_source_set_callback(cable.timer,
                            reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(onExpiry)), &cable,
                            nullptr);
      g_source_attach(cable.timer, g_main_context_get_thread_default());
    }
    itimerspec when{};
    if (wake >= 0) {
      const Micros at = start + wake;  // CLOCK_MONOTONIC, as g_get_monotonic_time
      when.it_value.tv_sec = at / 1000000;
      when.it_value.tv_nsec = (at % 1000000) * 1000;
    }
    timerfd_settime(cable.timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
  }

  // The ioctl's argument is a pointer into the client; this is what it
  // points at, read from the client and written back on completion.
  struct Pointee {
    UMockdevIoctlData* data = nullptr;
    explicit Pointee(UMockdevIoctlClient* client, std::size_t size) {
      GError* error = nullptr;
      data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
      g_clear_error(&error);
    }
    ~Pointee() {
      if (data != nullptr) g_object_unref(data);
    }
    Pointee(const Pointee&) = delete;
    Pointee& operator=(const Pointee&) = delete;
  };

  static bool Complete(UMockdevIoctlClient* client, long result, int error = 0) {
    umockdev_ioctl_client_complete(client, result, error);
    return true;
  }

  bool Control(Cable& cable, Urb& urb) {
    auto* data = urb.buffer != nullptr ? urb.buffer->data : nullptr;
    const auto length = static_cast<std::size_t>(urb.buffer != nullptr ? urb.buffer->data_len : 0);
    if (length < SetupBytes) return false;
    Ft232rChip::ControlSetup setup;
    setup.requestType = data[0];
    setup.request = data[1];
    setup.value = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
    setup.index = static_cast<std::uint16_t>(data[4] | (data[5] << 8));
    setup.length = static_cast<std::uint16_t>(data[6] | (data[7] << 8));
    std::vector<std::uint8_t> answer;
    if ((setup.requestType & RequestTypeMask) == StandardRequest) {
      if (setup.request == GetDescriptor) {
        const int type = setup.value >> 8;
        const int index = setup.value & 0xFF;
        if (type == 1) {
          answer.assign(std::begin(DeviceDescriptor), std::end(DeviceDescriptor));
        } else if (type == 2) {
          answer.assign(std::begin(ConfigDescriptor), std::end(ConfigDescriptor));
        } else if (type == 3 && index == 0) {
          answer = {0x04, 0x03, 0x09, 0x04};
        } else if (type == 3 && index <= 3) {
          const std::string texts[] = {"FTDI", cable.setup.description, cable.setup.serial};
          answer = StringDescriptor(texts[index - 1]);
        } else {
          urb.status = -EPIPE;
        }
      }
    } else {
      const Ft232rChip::ControlResult result = cable.chip->Control(setup, Now());
      if (result.stall) urb.status = -EPIPE;
      answer = result.data;
      if (result.change == Ft232rChip::Change::Settings) SetupEvent(cable);
      if (result.change == Ft232rChip::Change::Purge) {
        Event(cable, "purge", ",\"side\":" + JsonString(setup.value == 2 ? "in" : "out"));
      }
    }
    answer.resize(
        std::min<std::size_t>(answer.size(), std::min<std::size_t>(setup.length, length - SetupBytes)));
    std::copy(answer.begin(), answer.end(), data + SetupBytes);
    urb.actual = static_cast<int>(answer.size());
    urb.ready = true;
    return true;
  }

  bool Submit(Cable& cable, UMockdevIoctlClient* client) {
    if (cable.gone) return Complete(client, -1, ENODEV);
    // What the transfers already pending got comes first.
    Service(cable);
    const Micros now = Now();
    // The argument is the client's pointer to its URB, which points on to
    // the transfer buffer; both are read from the client's memory.
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urbData == nullptr) {
      g_clear_error(&error);
      return Complete(client, -1, EFAULT);
    }
    auto* request = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    Urb urb;
    urb.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    urb.urb = urbData;
    if (request->buffer_length > 0) {
      urb.buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                               static_cast<gsize>(request->buffer_length), &error);
      if (urb.buffer == nullptr) {
        g_clear_error(&error);
        Release(urb);
        return Complete(client, -1, EFAULT);
      }
    }
    urb.submittedAt = now;
    bool accepted = true;
    if (request->type == USBDEVFS_URB_TYPE_CONTROL) {
      urb.kind = Urb::Kind::Control;
      accepted = Control(cable, urb);
    } else if (request->type == USBDEVFS_URB_TYPE_BULK && request->endpoint == BulkInEndpoint) {
      urb.kind = Urb::Kind::In;
      urb.in.capacity = static_cast<std::size_t>(request->buffer_length);
      urb.in.pendingSince = now;
    } else if (request->type == USBDEVFS_URB_TYPE_BULK) {
      urb.kind = Urb::Kind::Out;
      long long count = request->buffer_length;
      const auto& limit = cable.setup.unplugAfterBytes;
      if (limit) count = std::min(count, std::max(0LL, *limit - cable.bytesFromPc));
      if (count > 0)
        urb.readyAt = cable.chip->BulkOut(urb.buffer->data, static_cast<std::size_t>(count), now);
      cable.bytesFromPc += count;
      urb.actual = static_cast<int>(count);
    } else {
      accepted = false;
    }
    if (!accepted) {
      Release(urb);
      return Complete(client, -1, EINVAL);
    }
    cable.urbs.push_back(std::move(urb));
    const auto& limit = cable.setup.unplugAfterBytes;
    if (limit && cable.bytesFromPc >= *limit) Unplug(cable);
    Service(cable);
    return Complete(client, 0);
  }

  void Unplug(Cable& cable) {
    // The board keeps what reached it; every later request fails as for a
    // device that has left the bus, and libusb learns it at the next reap.
    cable.chip->Unplug();
    cable.gone = true;
    // As the kernel does, every URB still pending ends "device removed";
    // libusb learns of the removal from them, as it ignores ENODEV reaps.
    for (Urb& urb : cable.urbs) {
      if (urb.ready) continue;
      urb.ready = true;
      urb.status = -ESHUTDOWN;
      urb.actual = 0;
      urb.in.data.clear();
    }
    Event(cable, "unplug");
  }

  bool Reap(Cable& cable, UMockdevIoctlClient* client) {
    for (auto it = cable.urbs.begin(); it != cable.urbs.end(); ++it) {
      if (it->client != client || !it->ready) continue;
      auto* request = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
      request->status = it->status;
      request->actual_length = it->actual;
      if (it->kind == Urb::Kind::In && it->buffer != nullptr) {
        std::copy(it->in.data.begin(), it->in.data.end(), it->buffer->data);
        if (it->status == 0 && it->in.data.size() <= Ft232rChip::StatusBytes) {
          ++stats.emptyReads;
          if (Now() - it->submittedAt < QuickRead) ++stats.quickEmptyReads;
        }
      }
      if (it->kind != Urb::Kind::Control && it->status == 0) ++stats.bulkTransfers;
      const Pointee slot(client, sizeof(void*));
      if (slot.data == nullptr) return Complete(client, -1, EFAULT);
      umockdev_ioctl_data_set_ptr(slot.data, 0, it->urb);
      Complete(client, 0);
      Release(*it);
      cable.urbs.erase(it);
      Settle(cable);
      return true;
    }
    return Complete(client, -1, cable.gone ? ENODEV : EAGAIN);
  }

  bool Discard(Cable& cable, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // The argument is the URB's address in the client.
    gulong address = 0;
    std::memcpy(&address, arg->data,
                std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    ++stats.discards;
    for (Urb& urb : cable.urbs) {
      const bool match = urb.urb->client_addr == address;
      if (urb.client != client || !match) continue;
      // It may have been completed by now; then it waits to be reaped, as
      // the kernel's would.
      Service(cable);
      if (urb.ready) break;
      urb.ready = true;
      urb.status = -ENOENT;
      // The packets it had already taken come back with it.
      if (urb.kind == Urb::Kind::In) urb.actual = static_cast<int>(urb.in.data.size());
      Service(cable);
      return Complete(client, 0);
    }
    return Complete(client, -1, EINVAL);
  }

  const char* BoundDriver(const Cable& cable) const {
    if (cable.claimedBy != nullptr) return OtherProgram;
    if (options.busy) return OtherProgram;
    return cable.kernelDriverBound ? KernelDriver : nullptr;
  }

  bool HandleIoctl(Cable& cable, UMockdevIoctlClient* client) {
    ++stats.requests;
    if (worker == nullptr) {
      const std::lock_guard lock(eventsLock);
      worker = g_main_context_ref_thread_default();
    }
    const gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
      case USBDEVFS_SUBMITURB:
        return Submit(cable, client);
      case USBDEVFS_REAPURBNDELAY:
        return Reap(cable, client);
      default:
        break;
    }
    if (cable.gone) return Complete(client, -1, ENODEV);
    if (request == USBDEVFS_DISCARDURB) return Discard(cable, client);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        const Pointee arg(client, sizeof(std::uint32_t));
        if (arg.data == nullptr) return Complete(client, -1, EFAULT);
        // As an xHCI host's: libusb then sends a bulk transfer of any size as
        // one URB, which is all this emulation serves (a transfer split in
        // URBs would need the kernel's cancelling of the rest after a short
        // packet).
        const std::uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
        std::memcpy(arg.data->data, &caps, sizeof caps);
        return Complete(client, 0);
      }
      case USBDEVFS_GETDRIVER: {
        const Pointee arg(client, sizeof(usbdevfs_getdriver));
        if (arg.data == nullptr) return Complete(client, -1, EFAULT);
        auto* query = reinterpret_cast<usbdevfs_getdriver*>(arg.data->data);
        const char* driver = query->interface == 0 ? BoundDriver(cable) : nullptr;
        if (driver == nullptr) return Complete(client, -1, ENODATA);
        std::snprintf(query->driver, sizeof query->driver, "%s", driver);
        return Complete(client, 0);
      }
      case USBDEVFS_IOCTL: {
        const Pointee arg(client, sizeof(usbdevfs_ioctl));
        if (arg.data == nullptr) return Complete(client, -1, EFAULT);
        const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(arg.data->data);
        if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
          if (options.busy || !cable.kernelDriverBound) return Complete(client, -1, ENODATA);
          cable.kernelDriverBound = false;
          return Complete(client, 0);
        }
        if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
          if (cable.claimedBy != nullptr) return Complete(client, -1, EBUSY);
          cable.kernelDriverBound = true;
          return Complete(client, 0);
        }
        return Complete(client, -1, ENOTTY);
      }
      case USBDEVFS_CLAIMINTERFACE: {
        const Pointee arg(client, sizeof(unsigned int));
        if (arg.data == nullptr) return Complete(client, -1, EFAULT);
        unsigned int number = 0;
        std::memcpy(&number, arg.data->data, sizeof number);
        if (number != 0) return Complete(client, -1, ENOENT);
        if (cable.claimedBy == client) return Complete(client, 0);
        if (options.busy || cable.kernelDriverBound || cable.claimedBy != nullptr)
          return Complete(client, -1, EBUSY);
        cable.claimedBy = client;
        Event(cable, "open");
        return Complete(client, 0);
      }
      case USBDEVFS_RELEASEINTERFACE:
        // Only interface 0 exists.
        if (cable.claimedBy != client) return Complete(client, -1, EINVAL);
        cable.claimedBy = nullptr;
        Event(cable, "close");
        return Complete(client, 0);
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESET:
        return Complete(client, 0);
      case USBDEVFS_GET_SPEED:
        return Complete(client, 2);  // full speed
      default:
        // Includes DISCONNECT_CLAIM: libusb then detaches and claims in two
        // steps, as on an older kernel.
        return Complete(client, -1, ENOTTY);
    }
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* cable = static_cast<Cable*>(data);
    return cable->owner->HandleIoctl(*cable, client);
  }

  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* cable = static_cast<Cable*>(data);
    std::erase_if(cable->urbs, [client](Urb& urb) {
      if (urb.client != client) return false;
      Release(urb);
      return true;
    });
    if (cable->claimedBy == client) {
      cable->claimedBy = nullptr;
      cable->owner->Event(*cable, "close");
    }
    Settle(*cable);
  }

  std::string Record(const Cable& cable, int number) const {
    const std::string bus = "001";
    char dev[16];
    std::snprintf(dev, sizeof dev, "%03d", number + 1);
    const std::string sys = "1-" + std::to_string(number);
    std::vector<std::uint8_t> descriptors(std::begin(DeviceDescriptor), std::end(DeviceDescriptor));
    descriptors.insert(descriptors.end(), std::begin(ConfigDescriptor), std::end(ConfigDescriptor));
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/" + sys + "\n" + "N: bus/usb/" + bus + "/" + dev + "\n" +
           "E: DEVNAME=/dev/bus/usb/" + bus + "/" + dev + "\n" + "E: DEVTYPE=usb_device\nE: DRIVER=usb\n" +
           "E: PRODUCT=403/6001/600\nE: SUBSYSTEM=usb\nE: BUSNUM=" + bus + "\nE: DEVNUM=" + dev + "\n" +
           "E: MAJOR=189\nE: MINOR=" + std::to_string(number) + "\n" +
           "A: busnum=1\\n\nA: devnum=" + std::to_string(number + 1) +
           "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n" +
           "A: idVendor=0403\nA: idProduct=6001\nA: manufacturer=FTDI\nA: product=" +
           cable.setup.description + "\nA: serial=" + cable.setup.serial +
           "\nH: descriptors=" + Hex(descriptors.data(), descriptors.size()) + "\n";
  }

  void Add(Cable& cable, int number) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", number + 1);
    cable.node = node;
    cable.owner = this;
    cable.handler = umockdev_ioctl_base_new();
    g_signal_connect(cable.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &cable);
    g_signal_connect(cable.handler, "client-vanished", G_CALLBACK(OnVanished), &cable);
    GError* error = nullptr;
    // The handler must be in place before the device appears.
    if (!umockdev_testbed_attach_ioctl(testbed, node, cable.handler, &error) ||
        !umockdev_testbed_add_from_string(testbed, Record(cable, number).c_str(), &error)) {
      const std::string message = error != nullptr ? error->message : "unknown error";
      g_clear_error(&error);
      throw std::runtime_error("cannot emulate " + cable.node + ": " + message);
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string path = std::string(root) + node;
    g_free(root);
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0) throw std::runtime_error("cannot make " + path);
    // Without the udev rule the node belongs to root alone.
    if (options.deny) chmod(path.c_str(), 0);
    cable.fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (cable.fifo < 0) throw std::runtime_error("cannot open " + path);
    Fill(cable);
  }

  // Runs `action` on umockdev's thread, where the cable's state is served,
  // unless the cable has left the bus; nothing before a program's first
  // request, which names that thread.
  void OnWorker(Cable& cable, std::function<void(Cable&)> action) {
    GMainContext* context = nullptr;
    {
      const std::lock_guard lock(eventsLock);
      context = worker;
    }
    if (context == nullptr || testbed == nullptr) return;
    struct Job {
      Cable* cable;
      std::function<void(Cable&)> action;
    };
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) {
          auto* job = static_cast<Job*>(data);
          if (!job->cable->gone) {
            job->action(*job->cable);
            job->cable->owner->Service(*job->cable);
          }
          return G_SOURCE_REMOVE;
        },
        new Job{&cable, std::move(action)}, [](gpointer data) { delete static_cast<Job*>(data); });
    g_source_attach(source, context);
    g_source_unref(source);
  }
};

EmulatedCables::EmulatedCables(EmulationOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->testbed = umockdev_testbed_new();
  int number = 1;
  for (const CableSetup& setup : impl_->options.cables) {
    auto cable = std::make_unique<Impl::Cable>();
    cable->setup = setup;
    cable->chip = std::make_unique<Ft232rChip>(setup.board, impl_->options.paced, setup.rxBufferBytes);
    impl_->Add(*cable, number++);
    impl_->cables.push_back(std::move(cable));
  }
}

EmulatedCables::~EmulatedCables() { Stop(); }

std::vector<std::pair<std::string, std::string>> EmulatedCables::Environment() const {
  const char* preload = g_getenv("LD_PRELOAD");
  std::string value = "libumockdev-preload.so.0";
  if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
  std::vector<std::pair<std::string, std::string>> environment = {{"LD_PRELOAD", value},
                                                                  {"UMOCKDEV_DIR", g_getenv("UMOCKDEV_DIR")}};
#if defined(__SANITIZE_ADDRESS__)
  // The preload comes ahead of the sanitizer's runtime, which it would
  // otherwise refuse.
  const char* asan = g_getenv("ASAN_OPTIONS");
  environment.emplace_back("ASAN_OPTIONS",
                           std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
#endif
  return environment;
}

void EmulatedCables::Stop() {
  if (impl_->testbed == nullptr) return;
  // Releasing the testbed joins umockdev's thread; only then is the chip
  // state ours alone.
  g_object_unref(impl_->testbed);
  impl_->testbed = nullptr;
  if (impl_->worker != nullptr) g_main_context_unref(impl_->worker);
  impl_->worker = nullptr;
  for (auto& cable : impl_->cables) {
    for (Impl::Urb& urb : cable->urbs) Impl::Release(urb);
    cable->urbs.clear();
    if (cable->timer != nullptr) {
      g_source_destroy(cable->timer);
      g_source_unref(cable->timer);
      cable->timer = nullptr;
      close(cable->timerFd);
    }
    if (cable->handler != nullptr) g_object_unref(cable->handler);
    cable->handler = nullptr;
    if (cable->fifo >= 0) close(cable->fifo);
    cable->fifo = -1;
    cable->chip->Advance(impl_->Now());
  }
}

void EmulatedCables::Unplug(std::size_t cable) {
  impl_->OnWorker(*impl_->cables.at(cable), [](Impl::Cable& target) { target.owner->Unplug(target); });
}

void EmulatedCables::FailInTransfers(std::size_t cable, int count) {
  impl_->OnWorker(*impl_->cables.at(cable), [count](Impl::Cable& target) { target.failingIns += count; });
}

std::size_t EmulatedCables::Count() const { return impl_->cables.size(); }
const std::string& EmulatedCables::Serial(std::size_t cable) const {
  return impl_->cables.at(cable)->setup.serial;
}
const SimBoard& EmulatedCables::Board(std::size_t cable) const {
  return impl_->cables.at(cable)->chip->Board();
}
EmulatedCables::Statistics EmulatedCables::Stats() const {
  const Impl::Counters& c = impl_->stats;
  return {c.requests, c.discards, c.bulkTransfers, c.emptyReads, c.quickEmptyReads, c.lostBytes, c.overruns};
}

}  // namespace kelvo::sim
