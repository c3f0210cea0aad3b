// A stand-in for the cable vendor's ftd2xx.dll, with a simulated Kelvo board
// behind every cable, so that the Windows programs and their driver run whole
// under wine. Never shipped. Read from the environment when it is loaded:
//   KELVO_STAND_IN_CABLES     DESC:SERIAL;DESC:SERIAL…  (default one cable,
//                             "Corvane Serial Link:KV000001"; "none": no cable)
//   KELVO_STAND_IN_FLASH_DIR  each board's flash is written to DIR/SERIAL.bin
//                             whenever its cable is closed
//   KELVO_STAND_IN_TRACE      every call, one JSON line each, appended to FILE
//   KELVO_STAND_IN_REALTIME   1: the boards at the real line rate
//   KELVO_STAND_IN_FAULTS     FAULT;FAULT…  board faults as the simulator's --fault
//   KELVO_STAND_IN_WRITE_MS   every FT_Write takes this many real milliseconds,
//                             so that a flash lasts long enough to be watched
// Built once more without FT_Purge, for the driver's check of its calls.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimLink.h"

namespace {

using kelvo::FT_HANDLE;
using kelvo::sim::SimLink;

std::string Environment(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// `listed`'s entries between semicolons; none for an empty text.
std::vector<std::string> Split(const std::string& listed) {
  std::vector<std::string> entries;
  for (std::size_t start = 0; start < listed.size();) {
    const std::size_t end = std::min(listed.find(';', start), listed.size());
    entries.push_back(listed.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

struct Cable {
  std::string description;
  std::string serial;
  std::unique_ptr<SimLink> link;
  std::mutex mutex;  // one call at a time, whichever thread makes it
};

// The attached cables, made when the DLL is first used and gone when it is
// unloaded: the vendor's DLL keeps its devices process-wide as well.
struct Bus {
  std::vector<std::unique_ptr<Cable>> cables;
  std::string flashDir;
  int writeMs = 0;
  std::mutex traceMutex;
  std::ofstream trace;

  Bus() {
    std::string listed = Environment("KELVO_STAND_IN_CABLES");
    if (listed.empty()) listed = "Corvane Serial Link:KV000001";
    if (listed == "none") listed.clear();
    kelvo::sim::SimOptions options;
    options.devices.clear();
    for (const std::string& spec : Split(Environment("KELVO_STAND_IN_FAULTS"))) {
      if (const std::optional<kelvo::sim::Fault> fault = kelvo::sim::ParseFault(spec, nullptr)) {
        options.faults.push_back(*fault);
      }
    }
    writeMs = std::atoi(Environment("KELVO_STAND_IN_WRITE_MS").c_str());
    for (const std::string& entry : Split(listed)) {
      const std::size_t colon = entry.rfind(':');
      options.devices.push_back(entry.substr(0, colon));
      options.serials.push_back(colon == std::string::npos
                                    ? kelvo::sim::DeviceSerial({}, options.serials.size())
                                    : entry.substr(colon + 1));
    }
    options.realtime = Environment("KELVO_STAND_IN_REALTIME") == "1";
    flashDir = Environment("KELVO_STAND_IN_FLASH_DIR");
    if (const std::string path = Environment("KELVO_STAND_IN_TRACE"); !path.empty())
      trace.open(path, std::ios::app | std::ios::binary);
    // Each cable's link lists the whole bus but only ever opens its own
    // device, which it finds at the same place.
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
      auto cable = std::make_unique<Cable>();
      cable->description = options.devices[i];
      cable->serial = kelvo::sim::DeviceSerial(options, i);
      cable->link = std::make_unique<SimLink>(options);
      cable->link->SetTraceSink([this](const std::string& line) {
        const std::lock_guard lock(traceMutex);
        if (trace.is_open()) trace << line << '\n' << std::flush;
      });
      cables.push_back(std::move(cable));
    }
  }

  // Cable i's handles carry i + 1 in their upper half, the link's own handle
  // in the lower.
  static void* Outer(std::size_t index, FT_HANDLE inner) {
    return reinterpret_cast<void*>((static_cast<std::uintptr_t>(index + 1) << 32) | inner);
  }
  struct Target {
    Cable* cable;
    FT_HANDLE inner;
  };
  std::optional<Target> Find(void* handle) const {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const std::size_t index = value >> 32;
    if (index == 0 || index > cables.size()) return std::nullopt;
    return Target{cables[index - 1].get(), value & 0xFFFFFFFFu};
  }

  void SaveFlash(const Cable& cable) {
    if (flashDir.empty()) return;
    const std::vector<std::uint8_t>& flash = cable.link->Flash();
    std::ofstream(flashDir + "/" + cable.serial + ".bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
  }
};

Bus& TheBus() {
  static Bus bus;
  return bus;
}

template <typename Call>
ULONG OnCable(void* handle, Call call) {
  const std::optional<Bus::Target> target = TheBus().Find(handle);
  if (!target) return kelvo::FT_INVALID_HANDLE;
  const std::lock_guard lock(target->cable->mutex);
  return call(*target->cable->link, target->inner);
}

}  // namespace

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)

STAND_IN_EXPORT ULONG WINAPI FT_OpenEx(PVOID arg, DWORD flags, void** handle) {
  Bus& bus = TheBus();
  const auto* wanted = static_cast<const char*>(arg);
  if (wanted == nullptr || handle == nullptr) return kelvo::FT_INVALID_PARAMETER;
  for (std::size_t i = 0; i < bus.cables.size(); ++i) {
    Cable& cable = *bus.cables[i];
    const std::string& key = flags == kelvo::FT_OPEN_BY_SERIAL_NUMBER ? cable.serial : cable.description;
    if (key != wanted) continue;
    const std::lock_guard lock(cable.mutex);
    FT_HANDLE inner = 0;
    const ULONG status = cable.link->FT_OpenEx(wanted, flags, &inner);
    if (status == kelvo::FT_OK) *handle = Bus::Outer(i, inner);
    return status;
  }
  return kelvo::FT_DEVICE_NOT_FOUND;
}

STAND_IN_EXPORT ULONG WINAPI FT_Close(void* handle) {
  Bus& bus = TheBus();
  const std::optional<Bus::Target> target = bus.Find(handle);
  if (!target) return kelvo::FT_INVALID_HANDLE;
  const std::lock_guard lock(target->cable->mutex);
  const ULONG status = target->cable->link->FT_Close(target->inner);
  bus.SaveFlash(*target->cable);
  return status;
}

STAND_IN_EXPORT ULONG WINAPI FT_SetBaudRate(void* handle, ULONG baudRate) {
  return OnCable(handle,
                 [&](SimLink& link, FT_HANDLE inner) { return link.FT_SetBaudRate(inner, baudRate); });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetFlowControl(void* handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_SetFlowControl(inner, flowControl, xon, xoff);
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetLatencyTimer(void* handle, UCHAR milliseconds) {
  return OnCable(
      handle, [&](SimLink& link, FT_HANDLE inner) { return link.FT_SetLatencyTimer(inner, milliseconds); });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetUSBParameters(void* handle, ULONG inTransferSize, ULONG outTransferSize) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_SetUSBParameters(inner, inTransferSize, outTransferSize);
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetDataCharacteristics(void* handle, UCHAR wordLength, UCHAR stopBits,
                                                       UCHAR parity) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_SetDataCharacteristics(inner, wordLength, stopBits, parity);
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetChars(void* handle, UCHAR eventChar, UCHAR eventCharEnabled,
                                         UCHAR errorChar, UCHAR errorCharEnabled) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_SetChars(inner, eventChar, eventCharEnabled, errorChar, errorCharEnabled);
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_SetTimeouts(void* handle, ULONG readTimeout, ULONG writeTimeout) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_SetTimeouts(inner, readTimeout, writeTimeout);
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_Write(void* handle, LPVOID buffer, DWORD count, LPDWORD written) {
  if (TheBus().writeMs > 0) Sleep(static_cast<DWORD>(TheBus().writeMs));
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    std::uint32_t taken = 0;
    const ULONG status = link.FT_Write(inner, buffer, count, &taken);
    if (written != nullptr) *written = taken;
    return status;
  });
}

STAND_IN_EXPORT ULONG WINAPI FT_Read(void* handle, LPVOID buffer, DWORD count, LPDWORD delivered) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    std::uint32_t got = 0;
    const ULONG status = link.FT_Read(inner, buffer, count, &got);
    if (delivered != nullptr) *delivered = got;
    return status;
  });
}

#ifndef KELVO_STAND_IN_WITHOUT_PURGE
STAND_IN_EXPORT ULONG WINAPI FT_Purge(void* handle, ULONG mask) {
  return OnCable(handle, [&](SimLink& link, FT_HANDLE inner) { return link.FT_Purge(inner, mask); });
}
#endif

STAND_IN_EXPORT ULONG WINAPI FT_CreateDeviceInfoList(LPDWORD count) {
  if (count == nullptr) return kelvo::FT_INVALID_PARAMETER;
  *count = static_cast<DWORD>(TheBus().cables.size());
  return kelvo::FT_OK;
}

STAND_IN_EXPORT ULONG WINAPI FT_GetDeviceInfoDetail(DWORD index, LPDWORD flags, LPDWORD type, LPDWORD id,
                                                    LPDWORD locId, LPVOID serialNumber, LPVOID description,
                                                    void** handle) {
  Bus& bus = TheBus();
  if (index >= bus.cables.size()) return kelvo::FT_DEVICE_NOT_FOUND;
  Cable& cable = *bus.cables[index];
  const std::lock_guard lock(cable.mutex);
  std::uint32_t entryFlags = 0, entryType = 0, entryId = 0, entryLocation = 0;
  FT_HANDLE inner = 0;
  const ULONG status = cable.link->FT_GetDeviceInfoDetail(index, &entryFlags, &entryType, &entryId,
                                                          &entryLocation, static_cast<char*>(serialNumber),
                                                          static_cast<char*>(description), &inner);
  if (flags != nullptr) *flags = entryFlags;
  if (type != nullptr) *type = entryType;
  if (id != nullptr) *id = entryId;
  if (locId != nullptr) *locId = entryLocation;
  if (handle != nullptr) *handle = inner != 0 ? Bus::Outer(index, inner) : nullptr;
  return status;
}

STAND_IN_EXPORT ULONG WINAPI FT_GetDeviceInfo(void* handle, LPDWORD type, LPDWORD id, LPVOID serialNumber,
                                              LPVOID description, LPVOID) {
  std::uint32_t deviceType = 0, deviceId = 0;
  const ULONG status = OnCable(handle, [&](SimLink& link, FT_HANDLE inner) {
    return link.FT_GetDeviceInfo(inner, &deviceType, &deviceId, static_cast<char*>(serialNumber),
                                 static_cast<char*>(description));
  });
  if (type != nullptr) *type = deviceType;
  if (id != nullptr) *id = deviceId;
  return status;
}
