#pragma once

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvo::test {

// While it lives, the calling thread may not give a thread real-time
// priority, as an ordinary user may not: CAP_SYS_NICE leaves the thread's
// effective set (root keeps it permitted, to take back) and the process's
// RLIMIT_RTPRIO soft limit is 0.
class WithoutRealtimeRight {
 public:
  WithoutRealtimeRight() {
    getrlimit(RLIMIT_RTPRIO, &limit_);
    rlimit none = limit_;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_RTPRIO, &none);
    syscall(SYS_capget, &header_, caps_);
    __user_cap_data_struct without[2] = {caps_[0], caps_[1]};
    without[0].effective &= ~(1u << CAP_SYS_NICE);
    syscall(SYS_capset, &header_, without);
  }
  ~WithoutRealtimeRight() {
    syscall(SYS_capset, &header_, caps_);
    setrlimit(RLIMIT_RTPRIO, &limit_);
  }
  WithoutRealtimeRight(const WithoutRealtimeRight&) = delete;
  WithoutRealtimeRight& operator=(const WithoutRealtimeRight&) = delete;

 private:
  rlimit limit_{};
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps_[2]{};
};

}  // namespace kelvo::test
