#include "link/D2xxDriver.h"

#include <windows.h>

#include <string_view>

namespace kelvo {
namespace {

// The vendor's C interface, declared from its published calls: a handle is a
// pointer, a status an unsigned long. x64 has one calling convention; WINAPI
// keeps a 32-bit build right as well.
using Handle = void*;
using Status = ULONG;
using OpenExCall = Status(WINAPI*)(PVOID arg, DWORD flags, Handle* handle);
using CloseCall = Status(WINAPI*)(Handle handle);
using SetBaudRateCall = Status(WINAPI*)(Handle handle, ULONG baudRate);
using SetFlowControlCall = Status(WINAPI*)(Handle handle, USHORT flowControl, UCHAR xon, UCHAR xoff);
using SetLatencyTimerCall = Status(WINAPI*)(Handle handle, UCHAR milliseconds);
using SetUsbParametersCall = Status(WINAPI*)(Handle handle, ULONG inTransferSize, ULONG outTransferSize);
using SetDataCharacteristicsCall = Status(WINAPI*)(Handle handle, UCHAR wordLength, UCHAR stopBits,
                                                   UCHAR parity);
using SetCharsCall = Status(WINAPI*)(Handle handle, UCHAR eventChar, UCHAR eventCharEnabled, UCHAR errorChar,
                                     UCHAR errorCharEnabled);
using SetTimeoutsCall = Status(WINAPI*)(Handle handle, ULONG readTimeout, ULONG writeTimeout);
using WriteCall = Status(WINAPI*)(Handle handle, LPVOID buffer, DWORD count, LPDWORD written);
using ReadCall = Status(WINAPI*)(Handle handle, LPVOID buffer, DWORD count, LPDWORD delivered);
using PurgeCall = Status(WINAPI*)(Handle handle, ULONG mask);
using CreateDeviceInfoListCall = Status(WINAPI*)(LPDWORD count);
using GetDeviceInfoDetailCall = Status(WINAPI*)(DWORD index, LPDWORD flags, LPDWORD type, LPDWORD id,
                                                LPDWORD locId, LPVOID serialNumber, LPVOID description,
                                                Handle* handle);
using GetDeviceInfoCall = Status(WINAPI*)(Handle handle, LPDWORD type, LPDWORD id, LPVOID serialNumber,
                                          LPVOID description, LPVOID dummy);

constexpr char DriverName[] = "the FTDI cable driver";

std::wstring Wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                      nullptr);
  return text;
}

// The system's words for an error code, on one line.
std::string SystemText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = "error " + std::to_string(error);
  if (length > 0) {
    std::string words = Narrow(std::wstring(buffer, length));
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
      words.pop_back();
    text += ": " + words;
  }
  LocalFree(buffer);
  return text;
}

std::string ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return Narrow(path);
}

// A bare name only from the program's folder and the system's: a DLL planted
// in the current folder or on PATH is never taken for the cable's driver.
HMODULE LoadDriverLibrary(const std::string& library) {
  const bool bare = library.find_first_of("/\\:") == std::string::npos;
  const DWORD search = bare ? LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 : 0;
  return LoadLibraryExW(Wide(library).c_str(), nullptr, search);
}

Handle ToVendor(FT_HANDLE handle) { return reinterpret_cast<Handle>(handle); }
FT_HANDLE FromVendor(Handle handle) { return reinterpret_cast<FT_HANDLE>(handle); }

}  // namespace

struct D2xxDriver::Calls {
  HMODULE module = nullptr;
  OpenExCall openEx = nullptr;
  CloseCall close = nullptr;
  SetBaudRateCall setBaudRate = nullptr;
  SetFlowControlCall setFlowControl = nullptr;
  SetLatencyTimerCall setLatencyTimer = nullptr;
  SetUsbParametersCall setUsbParameters = nullptr;
  SetDataCharacteristicsCall setDataCharacteristics = nullptr;
  SetCharsCall setChars = nullptr;
  SetTimeoutsCall setTimeouts = nullptr;
  WriteCall write = nullptr;
  ReadCall read = nullptr;
  PurgeCall purge = nullptr;
  CreateDeviceInfoListCall createDeviceInfoList = nullptr;
  GetDeviceInfoDetailCall getDeviceInfoDetail = nullptr;
  GetDeviceInfoCall getDeviceInfo = nullptr;

  explicit Calls(HMODULE loaded) : module(loaded) {}
  ~Calls() { FreeLibrary(module); }
  Calls(const Calls&) = delete;
  Calls& operator=(const Calls&) = delete;

  // Looks every call up; the name of the first that is missing, or empty.
  std::string ResolveAll() {
    std::string missing;
    Resolve("FT_OpenEx", openEx, missing);
    Resolve("FT_Close", close, missing);
    Resolve("FT_SetBaudRate", setBaudRate, missing);
    Resolve("FT_SetFlowControl", setFlowControl, missing);
    Resolve("FT_SetLatencyTimer", setLatencyTimer, missing);
    Resolve("FT_SetUSBParameters", setUsbParameters, missing);
    Resolve("FT_SetDataCharacteristics", setDataCharacteristics, missing);
    Resolve("FT_SetChars", setChars, missing);
    Resolve("FT_SetTimeouts", setTimeouts, missing);
    Resolve("FT_Write", write, missing);
    Resolve("FT_Read", read, missing);
    Resolve("FT_Purge", purge, missing);
    Resolve("FT_CreateDeviceInfoList", createDeviceInfoList, missing);
    Resolve("FT_GetDeviceInfoDetail", getDeviceInfoDetail, missing);
    Resolve("FT_GetDeviceInfo", getDeviceInfo, missing);
    return missing;
  }

 private:
  template <typename Call>
  void Resolve(const char* name, Call& call, std::string& missing) {
    const FARPROC found = GetProcAddress(module, name);
    // Through the one function type that converts to any other unwarned.
    call = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    if (found == nullptr && missing.empty()) missing = name;
  }
};

D2xxDriver::D2xxDriver(const std::string& library) {
  const HMODULE module = LoadDriverLibrary(library);
  if (module == nullptr) {
    loadError_ = std::string(DriverName) + " " + library + " could not be loaded (" +
                 SystemText(GetLastError()) +
                 "); install the cable vendor's D2XX driver, or put its ftd2xx.dll next to the program";
    return;
  }
  auto calls = std::make_unique<Calls>(module);
  const std::string missing = calls->ResolveAll();
  if (!missing.empty()) {
    loadError_ = std::string(DriverName) + " " + ModulePath(module) + " has no " + missing +
                 "; install the cable vendor's current D2XX driver";
    return;
  }
  calls_ = std::move(calls);
}

D2xxDriver::~D2xxDriver() = default;

FT_STATUS D2xxDriver::Note(const char* call, FT_STATUS status) {
  if (status != FT_OK) lastError_ = std::string(call) + ": status " + std::to_string(status);
  return status;
}

FT_STATUS D2xxDriver::FT_OpenEx(const char* description, std::uint32_t flags, FT_HANDLE* handle) {
  if (!calls_) {
    lastError_ = loadError_;
    return FT_DEVICE_NOT_FOUND;
  }
  if (handle == nullptr) return Note("FT_OpenEx", FT_INVALID_PARAMETER);
  Handle opened = nullptr;
  const FT_STATUS status = calls_->openEx(const_cast<char*>(description), flags, &opened);
  if (status == FT_OK) *handle = FromVendor(opened);
  return Note("FT_OpenEx", status);
}

FT_STATUS D2xxDriver::FT_Close(FT_HANDLE handle) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_Close", calls_->close(ToVendor(handle)));
}

FT_STATUS D2xxDriver::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetBaudRate", calls_->setBaudRate(ToVendor(handle), baudRate));
}

FT_STATUS D2xxDriver::FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                        std::uint8_t xoff) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetFlowControl", calls_->setFlowControl(ToVendor(handle), flowControl, xon, xoff));
}

FT_STATUS D2xxDriver::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t milliseconds) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetLatencyTimer", calls_->setLatencyTimer(ToVendor(handle), milliseconds));
}

FT_STATUS D2xxDriver::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                          std::uint32_t outTransferSize) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetUSBParameters",
              calls_->setUsbParameters(ToVendor(handle), inTransferSize, outTransferSize));
}

FT_STATUS D2xxDriver::FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                                std::uint8_t stopBits, std::uint8_t parity) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetDataCharacteristics",
              calls_->setDataCharacteristics(ToVendor(handle), wordLength, stopBits, parity));
}

FT_STATUS D2xxDriver::FT_SetChars(FT_HANDLE handle, std::uint8_t eventChar, std::uint8_t eventCharEnabled,
                                  std::uint8_t errorChar, std::uint8_t errorCharEnabled) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetChars",
              calls_->setChars(ToVendor(handle), eventChar, eventCharEnabled, errorChar, errorCharEnabled));
}

FT_STATUS D2xxDriver::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                     std::uint32_t writeTimeoutMs) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_SetTimeouts", calls_->setTimeouts(ToVendor(handle), readTimeoutMs, writeTimeoutMs));
}

FT_STATUS D2xxDriver::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t count,
                               std::uint32_t* written) {
  DWORD taken = 0;
  FT_STATUS status = FT_INVALID_HANDLE;
  // The vendor's declaration takes a plain pointer; it only reads from it.
  if (calls_)
    status = Note("FT_Write", calls_->write(ToVendor(handle), const_cast<void*>(buffer), count, &taken));
  if (written != nullptr) *written = taken;
  return status;
}

FT_STATUS D2xxDriver::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* delivered) {
  DWORD got = 0;
  FT_STATUS status = FT_INVALID_HANDLE;
  if (calls_) status = Note("FT_Read", calls_->read(ToVendor(handle), buffer, count, &got));
  if (delivered != nullptr) *delivered = got;
  return status;
}

FT_STATUS D2xxDriver::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
  if (!calls_) return FT_INVALID_HANDLE;
  return Note("FT_Purge", calls_->purge(ToVendor(handle), mask));
}

FT_STATUS D2xxDriver::FT_CreateDeviceInfoList(std::uint32_t* count) {
  DWORD listed = 0;
  FT_STATUS status = FT_DEVICE_NOT_FOUND;
  if (calls_)
    status = Note("FT_CreateDeviceInfoList", calls_->createDeviceInfoList(&listed));
  else
    lastError_ = loadError_;
  if (count != nullptr) *count = listed;
  return status;
}

FT_STATUS D2xxDriver::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                             std::uint32_t* id, std::uint32_t* locId, char* serialNumber,
                                             char* description, FT_HANDLE* handle) {
  if (!calls_) {
    lastError_ = loadError_;
    return FT_DEVICE_NOT_FOUND;
  }
  DWORD entryFlags = 0, entryType = 0, entryId = 0, entryLocation = 0;
  Handle entryHandle = nullptr;
  const FT_STATUS status =
      Note("FT_GetDeviceInfoDetail",
           calls_->getDeviceInfoDetail(index, &entryFlags, &entryType, &entryId, &entryLocation, serialNumber,
                                       description, &entryHandle));
  if (status != FT_OK) return status;
  if (flags != nullptr) *flags = entryFlags;
  if (type != nullptr) *type = entryType;
  if (id != nullptr) *id = entryId;
  if (locId != nullptr) *locId = entryLocation;
  if (handle != nullptr) *handle = FromVendor(entryHandle);
  return FT_OK;
}

FT_STATUS D2xxDriver::FT_GetDeviceInfo(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                       char* serialNumber, char* description) {
  if (!calls_) {
    lastError_ = loadError_;
    return FT_INVALID_HANDLE;
  }
  DWORD deviceType = 0, deviceId = 0;
  const FT_STATUS status = Note(
      "FT_GetDeviceInfo",
      calls_->getDeviceInfo(ToVendor(handle), &deviceType, &deviceId, serialNumber, description, nullptr));
  if (status != FT_OK) return status;
  if (type != nullptr) *type = deviceType;
  if (id != nullptr) *id = deviceId;
  return FT_OK;
}

}  // namespace kelvo
