#include "win32/WinHost.h"

#include <filesystem>

#include "core/Texts.h"
#include "win32/Wide.h"

namespace kelvo::win32 {

WinHost::~WinHost() {
  if (mutex_ != nullptr) CloseHandle(mutex_);
}

bool WinHost::AnotherInstanceRunning() {
  if (asked_) return anotherRunning_;
  asked_ = true;
  mutex_ = CreateMutexW(nullptr, FALSE, MutexName(ProgramFileName()).c_str());
  // A mutex that cannot be made at all locks nobody out of the updater.
  anotherRunning_ = mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  // The mutex lives while any handle does: a refused copy lets go of it at
  // once, so that it never outlasts the copy that runs.
  if (anotherRunning_) {
    CloseHandle(mutex_);
    mutex_ = nullptr;
  }
  return anotherRunning_;
}

std::wstring WinHost::MutexName(const std::string& fileName) {
  std::wstring name = Widen(fileName);
  CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
  return L"Local\\" + name;
}

std::string WinHost::ProgramFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return Narrow(std::filesystem::path(path).stem().wstring());
}

int WinHost::VersionMajor() { return KELVO_VERSION_MAJOR; }

int WinHost::VersionMinor() { return KELVO_VERSION_MINOR; }

std::string WinHost::ApplicationTitle() { return ApplicationTitleText; }

}  // namespace kelvo::win32
