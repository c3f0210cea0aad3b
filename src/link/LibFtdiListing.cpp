// Listing the attached cables and opening one by its serial number.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "link/LibFtdiDriver.h"

namespace kelvo {
namespace {

// USB string descriptors hold at most 126 characters.
constexpr int UsbStringSize = 256;

struct ListFree {
  void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, ListFree>;

struct Strings {
  std::string description;
  std::string serial;
};

// The product and serial strings; a device without a serial string gives an
// empty one (libftdi1 fails the whole call when asked for a missing string).
Strings ReadStrings(ftdi_context* context, libusb_device* device) {
  char product[UsbStringSize] = {};
  char serial[UsbStringSize] = {};
  Strings strings;
  if (ftdi_usb_get_strings(context, device, nullptr, 0, product, UsbStringSize, serial, UsbStringSize) == 0) {
    return {product, serial};
  }
  // One failure path leaves the device handle open.
  if (context->usb_dev != nullptr) ftdi_usb_close(context);
  if (ftdi_usb_get_strings(context, device, nullptr, 0, product, UsbStringSize, nullptr, 0) == 0) {
    return {product, {}};
  }
  if (context->usb_dev != nullptr) ftdi_usb_close(context);
  // What the kernel read when the cable was plugged in: one this user may not
  // open is still listed with its strings.
  return {libftdi::SysfsString(device, "product").value_or(""),
          libftdi::SysfsString(device, "serial").value_or("")};
}

void CopyTruncated(const std::string& text, char* destination, std::size_t size) {
  if (destination == nullptr) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

// A string descriptor of an open device, or "" when it has none.
std::string DeviceString(libusb_device_handle* handle, std::uint8_t index) {
  unsigned char text[UsbStringSize] = {};
  if (index == 0 || libusb_get_string_descriptor_ascii(handle, index, text, UsbStringSize) < 0) return {};
  return reinterpret_cast<const char*>(text);
}

}  // namespace

std::vector<libusb_device*> libftdi::InBusOrder(ftdi_device_list* list) {
  std::vector<libusb_device*> devices;
  for (ftdi_device_list* node = list; node != nullptr; node = node->next) devices.push_back(node->dev);
  std::sort(devices.begin(), devices.end(), [](libusb_device* a, libusb_device* b) {
    return std::pair(libusb_get_bus_number(a), libusb_get_device_address(a)) <
           std::pair(libusb_get_bus_number(b), libusb_get_device_address(b));
  });
  return devices;
}

FT_STATUS LibFtdiDriver::FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                          char* serialNumber, char* description) {
  Device* device = Find(handle);
  if (device == nullptr) return Fail(FT_INVALID_HANDLE, "FT_GetDeviceInfo: unknown handle");
  // Asked of the device itself, through the handle that is open on it.
  libusb_device_handle* usb = device->context->usb_dev;
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(libusb_get_device(usb), &descriptor);
  if (type != nullptr) *type = 0;
  if (id != nullptr) *id = static_cast<std::uint32_t>(descriptor.idVendor) << 16 | descriptor.idProduct;
  CopyTruncated(DeviceString(usb, descriptor.iSerialNumber), serialNumber, FT_SERIAL_NUMBER_SIZE);
  CopyTruncated(DeviceString(usb, descriptor.iProduct), description, FT_DESCRIPTION_SIZE);
  return FT_OK;
}

FT_HANDLE LibFtdiDriver::Keep(ContextPtr context) {
  context->usb_write_timeout = libftdi::UsbWriteTimeoutMs(0);
  // libftdi1 names the endpoints from the chip's side: its "out" endpoint
  // is the bulk IN.
  ReceivePump::Setup setup;
  setup.context = context->usb_ctx;
  setup.device = context->usb_dev;
  setup.endpoint = static_cast<unsigned char>(context->out_ep);
  setup.packetBytes = static_cast<int>(context->max_packet_size);
  setup.transferBytes = DefaultInTransferBytes;
  setup.askForRealtime = askForRealtime_;
  auto pump = std::make_unique<ReceivePump>(setup);
  if (!pump->Start()) {
    Fail(FT_DEVICE_NOT_OPENED, "FT_OpenEx: " + pump->Failure());
    return 0;
  }
  const FT_HANDLE id = nextHandle_++;
  devices_.emplace(id, Device{std::move(context), std::move(pump), DefaultReadTimeoutMs});
  return id;
}

FT_STATUS LibFtdiDriver::FT_CreateDeviceInfoList(std::uint32_t* count) {
  if (count == nullptr) return Fail(FT_INVALID_PARAMETER, "FT_CreateDeviceInfoList: missing argument");
  listed_.clear();
  *count = 0;
  ContextPtr context(ftdi_new());
  // No USB to search: nothing is attached.
  if (!context) return FT_OK;
  ftdi_device_list* raw = nullptr;
  const int found = ftdi_usb_find_all(context.get(), &raw, 0, 0);
  const DeviceList list(raw);
  if (found < 0) return Fail(libftdi::FindAllStatus(found), context.get(), "FT_CreateDeviceInfoList");
  for (libusb_device* device : libftdi::InBusOrder(list.get())) {
    Strings strings = ReadStrings(context.get(), device);
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    listed_.push_back(
        {std::move(strings.serial), std::move(strings.description),
         static_cast<std::uint32_t>(descriptor.idVendor) << 16 | descriptor.idProduct,
         static_cast<std::uint32_t>(libusb_get_bus_number(device)) << 8 | libusb_get_device_address(device)});
  }
  *count = static_cast<std::uint32_t>(listed_.size());
  return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                                std::uint32_t* type, std::uint32_t* id, std::uint32_t* locId,
                                                char* serialNumber, char* description, FT_HANDLE* handle) {
  if (index >= listed_.size()) return Fail(FT_DEVICE_NOT_FOUND, "FT_GetDeviceInfoDetail: no such entry");
  const Listed& entry = listed_[index];
  // Whether another program holds it shows only when it is opened.
  if (flags != nullptr) *flags = 0;
  if (type != nullptr) *type = 0;
  if (id != nullptr) *id = entry.id;
  if (locId != nullptr) *locId = entry.locId;
  CopyTruncated(entry.serial, serialNumber, FT_SERIAL_NUMBER_SIZE);
  CopyTruncated(entry.description, description, FT_DESCRIPTION_SIZE);
  if (handle != nullptr) *handle = 0;
  return FT_OK;
}

FT_STATUS LibFtdiDriver::OpenBySerial(const char* serial, FT_HANDLE* handle) {
  ContextPtr context(ftdi_new());
  if (!context) return Fail(FT_DEVICE_NOT_FOUND, "FT_OpenEx: libusb could not be initialised");
  context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  ftdi_device_list* raw = nullptr;
  const int found = ftdi_usb_find_all(context.get(), &raw, 0, 0);
  const DeviceList list(raw);
  if (found < 0) return Fail(libftdi::FindAllStatus(found), context.get(), "FT_OpenEx: listing USB devices");

  lastOpen_.seen.clear();
  for (ftdi_device_list* node = list.get(); node != nullptr; node = node->next) {
    const Strings strings = ReadStrings(context.get(), node->dev);
    lastOpen_.seen.push_back(strings.description);
    if (strings.serial != serial) continue;
    errno = 0;
    if (const int result = ftdi_usb_open_dev(context.get(), node->dev); result != 0) {
      NoteRefusedOpen(context.get(), result, errno, strings.description);
      return FT_DEVICE_NOT_OPENED;
    }
    const FT_HANDLE id = Keep(std::move(context));
    if (id == 0) return FT_DEVICE_NOT_OPENED;
    lastOpen_ = {};
    *handle = id;
    return FT_OK;
  }
  return Fail(FT_DEVICE_NOT_FOUND, std::string("FT_OpenEx: no FTDI device with serial \"") + serial + "\"");
}

}  // namespace kelvo
