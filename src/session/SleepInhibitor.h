#pragma once

#include <string>

namespace kelvo {

// Asks systemd-logind not to sleep, shut down or go idle while this object
// lives ("block" mode: the machine waits for the flash). logind hands back a
// descriptor that holds the inhibitor until it is closed. The system bus is
// found as D-Bus finds it (DBUS_SYSTEM_BUS_ADDRESS, else the standard
// socket); where there is no bus or no logind, nothing is held and Failure()
// says why: the flash goes on without it.
class SleepInhibitor {
 public:
  // `why` is shown by `systemd-inhibit --list` and by desktops that ask.
  explicit SleepInhibitor(const std::string& why);
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  bool Held() const { return fd_ >= 0; }
  const std::string& Failure() const { return failure_; }

 private:
  int fd_ = -1;
  std::string failure_;
};

}  // namespace kelvo
