#include "link/LibFtdiDriver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <utility>

namespace kelvo {
namespace libftdi {
namespace {

constexpr std::uint32_t UsbPacket = 64;
constexpr std::uint32_t MaxTransferSize = 65536;

bool IsValidTransferSize(std::uint32_t size) {
  return size >= UsbPacket && size <= MaxTransferSize && size % UsbPacket == 0;
}

int ClampToInt(std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, INT_MAX)); }

}  // namespace

std::optional<int> FlowControlMode(std::uint16_t flowControl) {
  switch (flowControl) {
    case FT_FLOW_NONE:
      return SIO_DISABLE_FLOW_CTRL;
    case FT_FLOW_RTS_CTS:
      return SIO_RTS_CTS_HS;
    case FT_FLOW_DTR_DSR:
      return SIO_DTR_DSR_HS;
    case FT_FLOW_XON_XOFF:
      return SIO_XON_XOFF_HS;
    default:
      return std::nullopt;
  }
}

std::optional<LineProperty> LinePropertyFor(std::uint8_t wordLength, std::uint8_t stopBits,
                                            std::uint8_t parity) {
  LineProperty line;
  if (wordLength == FT_BITS_8) {
    line.bits = BITS_8;
  } else if (wordLength == FT_BITS_7) {
    line.bits = BITS_7;
  } else {
    return std::nullopt;
  }
  // D2XX has no 1.5 stop bits; its value 1 is not a setting.
  if (stopBits == FT_STOP_BITS_1) {
    line.stopBits = STOP_BIT_1;
  } else if (stopBits == FT_STOP_BITS_2) {
    line.stopBits = STOP_BIT_2;
  } else {
    return std::nullopt;
  }
  if (parity > FT_PARITY_SPACE) return std::nullopt;
  static constexpr int Parities[] = {NONE, ODD, EVEN, MARK, SPACE};
  line.parity = Parities[parity];
  return line;
}

FT_STATUS CheckBaudRate(std::uint32_t baudRate) {
  return baudRate == 0 || baudRate > INT_MAX ? FT_INVALID_BAUD_RATE : FT_OK;
}

FT_STATUS BaudRateStatus(int result) {
  if (result == 0) return FT_OK;
  // -1: no divisor within 5 % of the rate; -2: the USB request failed.
  return result == -1 ? FT_INVALID_BAUD_RATE : FT_IO_ERROR;
}

bool IsValidLatency(std::uint8_t milliseconds) { return milliseconds >= 1; }

FT_STATUS CheckUsbParameters(std::uint32_t inTransferSize, std::uint32_t outTransferSize) {
  if (!IsValidTransferSize(inTransferSize)) return FT_INVALID_PARAMETER;
  if (outTransferSize != 0 && !IsValidTransferSize(outTransferSize)) return FT_INVALID_PARAMETER;
  return FT_OK;
}

std::optional<PurgeSides> PurgeSidesFor(std::uint32_t mask) {
  if (mask == 0 || (mask & ~(FT_PURGE_RX | FT_PURGE_TX)) != 0) return std::nullopt;
  return PurgeSides{(mask & FT_PURGE_RX) != 0, (mask & FT_PURGE_TX) != 0};
}

FT_STATUS FindAllStatus(int result) {
  if (result >= 0) return FT_OK;
  // -3 is "out of memory"; the others are libusb failing to list the bus.
  return result == -3 ? FT_INSUFFICIENT_RESOURCES : FT_IO_ERROR;
}

int UsbWriteTimeoutMs(std::uint32_t writeTimeoutMs) {
  // D2XX's 0 means "wait forever"; a stuck cable must not hang the window
  // for good, so it gets libftdi1's own default instead.
  if (writeTimeoutMs == 0) return DefaultUsbTimeoutMs;
  return ClampToInt(writeTimeoutMs);
}

std::optional<std::string> SysfsString(libusb_device* device, const char* attribute) {
  std::uint8_t ports[8] = {};
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  if (depth <= 0) return std::nullopt;
  std::string name = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < depth; ++i) name += (i == 0 ? "" : ".") + std::to_string(ports[i]);
  std::ifstream file("/sys/bus/usb/devices/" + name + "/" + attribute);
  std::string text;
  if (!file || !std::getline(file, text)) return std::nullopt;
  return text;
}

Transfer WriteAll(const ChunkWriter& writeSome, const std::uint8_t* source, std::uint32_t count) {
  std::uint32_t taken = 0;
  while (taken < count) {
    const int wanted = ClampToInt(count - taken);
    const int got = writeSome(source + taken, wanted);
    // A call that takes nothing would never finish the write.
    if (got <= 0) return {FT_IO_ERROR, taken};
    taken += static_cast<std::uint32_t>(std::min(got, wanted));
  }
  return {FT_OK, taken};
}

}  // namespace libftdi

namespace {

// USB string descriptors hold at most 126 characters.
constexpr int ProductStringSize = 256;

struct DeviceListFree {
  void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};

}  // namespace

void LibFtdiDriver::ContextCloser::operator()(ftdi_context* context) const {
  // Closing the USB handle hands the device back to the kernel's serial
  // driver (re-attach mode); ftdi_free then ends the libusb session.
  if (context->usb_dev != nullptr) ftdi_usb_close(context);
  ftdi_free(context);
}

LibFtdiDriver::LibFtdiDriver() = default;
LibFtdiDriver::~LibFtdiDriver() = default;

LibFtdiDriver::Device* LibFtdiDriver::Find(FT_HANDLE handle) {
  const auto it = devices_.find(handle);
  return it == devices_.end() ? nullptr : &it->second;
}

const LibFtdiDriver::Device* LibFtdiDriver::Find(FT_HANDLE handle) const {
  const auto it = devices_.find(handle);
  return it == devices_.end() ? nullptr : &it->second;
}

LibFtdiDriver::Device* LibFtdiDriver::Use(FT_HANDLE handle) {
  Device* device = Find(handle);
  if (device != nullptr) device->pump->Resume();
  return device;
}

FT_STATUS LibFtdiDriver::Fail(FT_STATUS status, ftdi_context* context, const char* what) {
  // libftdi1 keeps its last text after later successes, so it is read only
  // here, right after the failing call.
  const char* detail = context != nullptr ? ftdi_get_error_string(context) : nullptr;
  lastError_ = std::string(what) + (detail != nullptr ? std::string(": ") + detail : std::string());
  return status;
}

FT_STATUS LibFtdiDriver::Fail(FT_STATUS status, std::string text) {
  lastError_ = std::move(text);
  return status;
}

void LibFtdiDriver::NoteRefusedOpen(ftdi_context* context, int result, int reason,
                                    const std::string& description) {
  Fail(FT_DEVICE_NOT_OPENED, context, "FT_OpenEx: opening the device");
  // libftdi1 says only that the open failed; the system says why.
  if (reason == EACCES || reason == EPERM) lastError_ += std::string(" (") + std::strerror(reason) + ")";
  lastOpen_.refused = description;
  lastOpen_.reason = lastError_;
  // -5 is libftdi1's "unable to claim usb device": someone else has it.
  lastOpen_.cause = reason == EACCES || reason == EPERM ? OpenReport::Cause::Permission
                    : result == -5 || reason == EBUSY   ? OpenReport::Cause::Busy
                                                        : OpenReport::Cause::Other;
  if (context->usb_dev != nullptr) ftdi_usb_close(context);
}

FT_STATUS LibFtdiDriver::FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) {
  if (description == nullptr || handle == nullptr)
    return Fail(FT_INVALID_PARAMETER, "FT_OpenEx: missing argument");
  if (flags == FT_OPEN_BY_SERIAL_NUMBER) return OpenBySerial(description, handle);
  if (flags != FT_OPEN_BY_DESCRIPTION)
    return Fail(FT_INVALID_PARAMETER, "FT_OpenEx: only open by description or serial number");

  ContextPtr context(ftdi_new());
  // ftdi_new fails when libusb cannot start, i.e. there is no USB to search:
  // to the caller that is a missing device.
  if (!context) return Fail(FT_DEVICE_NOT_FOUND, "FT_OpenEx: libusb could not be initialised");
  context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

  ftdi_device_list* rawList = nullptr;
  // Vendor and product 0 list every stock FTDI id.
  const int found = ftdi_usb_find_all(context.get(), &rawList, 0, 0);
  // Declared after the context so that it is freed before it.
  const std::unique_ptr<ftdi_device_list, DeviceListFree> list(rawList);
  if (found < 0) return Fail(libftdi::FindAllStatus(found), context.get(), "FT_OpenEx: listing USB devices");

  // With two matching cables the first on the bus is the one to open,
  // whatever order libusb lists them in.
  const std::vector<libusb_device*> devices = libftdi::InBusOrder(list.get());

  bool openFailed = false;
  lastOpen_.seen.clear();
  for (libusb_device* device : devices) {
    char product[ProductStringSize] = {};
    // No serial buffer: a device without a serial string fails otherwise.
    if (ftdi_usb_get_strings(context.get(), device, nullptr, 0, product, ProductStringSize, nullptr, 0) !=
        0) {
      // One failure path leaves the device handle open.
      if (context->usb_dev != nullptr) ftdi_usb_close(context.get());
      // Reading the strings needs the device opened; one we may not open is
      // still known by the product string the kernel keeps, so that it is
      // reported as not opened, with the reason, rather than as absent.
      const std::optional<std::string> known = libftdi::SysfsString(device, "product");
      lastOpen_.seen.push_back(known.value_or("(no description readable)"));
      if (!known || *known != description) continue;
    } else {
      lastOpen_.seen.emplace_back(product);
      if (std::strcmp(product, description) != 0) continue;
    }

    errno = 0;
    if (const int result = ftdi_usb_open_dev(context.get(), device); result != 0) {
      NoteRefusedOpen(context.get(), result, errno, description);
      openFailed = true;
      continue;
    }
    lastOpen_ = {};
    const FT_HANDLE id = Keep(std::move(context));
    if (id == 0) return FT_DEVICE_NOT_OPENED;
    *handle = id;
    return FT_OK;
  }
  if (openFailed) return FT_DEVICE_NOT_OPENED;
  return Fail(FT_DEVICE_NOT_FOUND,
              std::string("FT_OpenEx: no FTDI device described \"") + description + "\"");
}

FT_STATUS LibFtdiDriver::FT_Close(FT_HANDLE handle) {
  const auto it = devices_.find(handle);
  if (it == devices_.end()) return Fail(FT_INVALID_HANDLE, "FT_Close: unknown handle");
  // In this order: no transfer, callback or thread of the receive side is
  // left when the USB handle closes.
  it->second.pump->Stop();
  ContextPtr context = std::move(it->second.context);
  devices_.erase(it);
  // The handle is gone whatever the USB side says; a failed release (cable
  // already pulled) is still reported.
  const int result = ftdi_usb_close(context.get());
  // ftdi_usb_close sets no text of its own: libftdi1's would be an older
  // failure's.
  const FT_STATUS status =
      result == 0 ? FT_OK : Fail(FT_IO_ERROR, "FT_Close: releasing the interface failed (the cable is gone)");
  context.reset();
  return status;
}

FT_STATUS LibFtdiDriver::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetBaudRate: unknown handle");
  if (libftdi::CheckBaudRate(baudRate) != FT_OK)
    return Fail(FT_INVALID_BAUD_RATE, "FT_SetBaudRate: invalid rate");
  ftdi_context* context = device->context.get();
  const FT_STATUS status = libftdi::BaudRateStatus(ftdi_set_baudrate(context, static_cast<int>(baudRate)));
  return status == FT_OK ? FT_OK : Fail(status, context, "FT_SetBaudRate");
}

FT_STATUS LibFtdiDriver::FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                           std::uint8_t xoff) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetFlowControl: unknown handle");
  const std::optional<int> mode = libftdi::FlowControlMode(flowControl);
  if (!mode) return Fail(FT_INVALID_PARAMETER, "FT_SetFlowControl: unknown mode");
  ftdi_context* context = device->context.get();
  const int result = *mode == SIO_XON_XOFF_HS ? ftdi_setflowctrl_xonxoff(context, xon, xoff)
                                              : ftdi_setflowctrl(context, *mode);
  return result == 0 ? FT_OK : Fail(FT_IO_ERROR, context, "FT_SetFlowControl");
}

FT_STATUS LibFtdiDriver::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetLatencyTimer: unknown handle");
  if (!libftdi::IsValidLatency(milliseconds))
    return Fail(FT_INVALID_PARAMETER, "FT_SetLatencyTimer: out of range");
  ftdi_context* context = device->context.get();
  if (ftdi_set_latency_timer(context, milliseconds) != 0)
    return Fail(FT_IO_ERROR, context, "FT_SetLatencyTimer");
  return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                             std::uint32_t outTransferSize) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetUSBParameters: unknown handle");
  if (libftdi::CheckUsbParameters(inTransferSize, outTransferSize) != FT_OK) {
    return Fail(FT_INVALID_PARAMETER, "FT_SetUSBParameters: invalid transfer size");
  }
  ftdi_context* context = device->context.get();
  if (!device->pump->Resize(static_cast<int>(inTransferSize)))
    return Fail(
        device->pump->Gone() ? FT_IO_ERROR : FT_INSUFFICIENT_RESOURCES,
        "FT_SetUSBParameters: " +
            (device->pump->Gone() ? device->pump->Failure() : std::string("no memory for the transfers")));
  if (outTransferSize != 0 && ftdi_write_data_set_chunksize(context, outTransferSize) != 0) {
    return Fail(FT_INSUFFICIENT_RESOURCES, context, "FT_SetUSBParameters");
  }
  return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                                   std::uint8_t stopBits, std::uint8_t parity) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetDataCharacteristics: unknown handle");
  const std::optional<libftdi::LineProperty> line = libftdi::LinePropertyFor(wordLength, stopBits, parity);
  if (!line) return Fail(FT_INVALID_PARAMETER, "FT_SetDataCharacteristics: unsupported line setting");
  ftdi_context* context = device->context.get();
  const int result = ftdi_set_line_property(context, static_cast<ftdi_bits_type>(line->bits),
                                            static_cast<ftdi_stopbits_type>(line->stopBits),
                                            static_cast<ftdi_parity_type>(line->parity));
  return result == 0 ? FT_OK : Fail(FT_IO_ERROR, context, "FT_SetDataCharacteristics");
}

FT_STATUS LibFtdiDriver::FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                                     std::uint8_t errorChar, std::uint8_t errorCharEnabled) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetChars: unknown handle");
  ftdi_context* context = device->context.get();
  if (ftdi_set_event_char(context, eventChar, eventCharEnabled != 0 ? 1 : 0) != 0) {
    return Fail(FT_IO_ERROR, context, "FT_SetChars: event character");
  }
  if (ftdi_set_error_char(context, errorChar, errorCharEnabled != 0 ? 1 : 0) != 0) {
    return Fail(FT_IO_ERROR, context, "FT_SetChars: error character");
  }
  return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                        std::uint32_t writeTimeoutMs) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_SetTimeouts: unknown handle");
  device->readTimeoutMs = readTimeoutMs;
  device->context->usb_write_timeout = libftdi::UsbWriteTimeoutMs(writeTimeoutMs);
  return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                                  std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_Write: unknown handle");
  if (buffer == nullptr && count != 0) return Fail(FT_INVALID_PARAMETER, "FT_Write: no buffer");
  ftdi_context* context = device->context.get();
  const libftdi::Transfer result = libftdi::WriteAll(
      [context](const std::uint8_t* source, int size) { return ftdi_write_data(context, source, size); },
      static_cast<const std::uint8_t*>(buffer), count);
  if (written != nullptr) *written = result.count;
  return result.status == FT_OK ? FT_OK : Fail(result.status, context, "FT_Write");
}

FT_STATUS LibFtdiDriver::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count,
                                 std::uint32_t* delivered) {
  if (delivered != nullptr) *delivered = 0;
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_Read: unknown handle");
  if (buffer == nullptr && count != 0) return Fail(FT_INVALID_PARAMETER, "FT_Read: no buffer");
  const ReceivePump::Received got = device->pump->Read(static_cast<std::uint8_t*>(buffer), count,
                                                       std::chrono::milliseconds(device->readTimeoutMs));
  if (delivered != nullptr) *delivered = got.count;
  // Bytes an overrun cost show as a short read, which the caller's retry
  // handles; only a cable that is gone is an I/O error.
  return got.gone ? Fail(FT_IO_ERROR, "FT_Read: " + device->pump->Failure()) : FT_OK;
}

FT_STATUS LibFtdiDriver::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
  Device* device = Use(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_Purge: unknown handle");
  const std::optional<libftdi::PurgeSides> sides = libftdi::PurgeSidesFor(mask);
  if (!sides) return Fail(FT_INVALID_PARAMETER, "FT_Purge: invalid mask");
  ftdi_context* context = device->context.get();
  // The tc*flush calls name the sides from the PC's view, as D2XX does.
  bool purged = true;
  if (sides->rx) {
    purged = device->pump->Purge(
        [context, tx = sides->tx] { return (tx ? ftdi_tcioflush(context) : ftdi_tciflush(context)) == 0; });
  } else {
    purged = ftdi_tcoflush(context) == 0;
  }
  // Only the USB control request can fail: the cable is gone.
  return purged ? FT_OK : Fail(FT_IO_ERROR, context, "FT_Purge");
}

LineErrorCounts LibFtdiDriver::LineErrors(FT_HANDLE handle) {
  const Device* device = Find(handle);
  return device != nullptr ? device->pump->Errors() : LineErrorCounts{};
}

std::uint64_t LibFtdiDriver::InTransfersCompleted(FT_HANDLE handle) {
  const Device* device = Find(handle);
  return device != nullptr ? device->pump->Completions() : 0;
}

ReceivePriority LibFtdiDriver::ReceiveThreadPriority(FT_HANDLE handle) const {
  const Device* device = Find(handle);
  return device != nullptr ? device->pump->Priority() : ReceivePriority{};
}

}  // namespace kelvo
