// The inhibitor and the real-time request against a logind and a RealtimeKit
// of the test's own, on a private bus that stands for the system bus.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <optional>

#include "session/RealtimeKit.h"
#include "session/SleepInhibitor.h"
#include "support/PrivateSystemBus.h"

namespace kelvo {
namespace {

// Without logind the flash goes on uninhibited; with it, logind is asked to
// block sleep, shutdown and idle, and the inhibitor holds until it is let go.
// Without RealtimeKit the receive thread stays as it is and nothing changes;
// with it, the thread is named to it once the process's RLIMIT_RTTIME is
// bounded, as RealtimeKit demands. (One test: Qt reads the system bus's
// address once.)
TEST(SleepInhibitor, WorksOnWithoutLogindOrRealtimeKitAndUsesThemWhereTheyAre) {
  static int argc = 1;
  static char name[] = "kelvo_session_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  test::PrivateSystemBus bus;
  ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
  // Read once, at the first use of the system bus.
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().toUtf8());

  {
    const SleepInhibitor nobody("a board is being flashed");
    EXPECT_FALSE(nobody.Held());
    EXPECT_NE(nobody.Failure(), "");
    EXPECT_NE(MakeThreadRealtime(gettid(), 1), "");
    rlimit limit{};
    getrlimit(RLIMIT_RTTIME, &limit);
    EXPECT_EQ(limit.rlim_max, RLIM_INFINITY) << "changed for a RealtimeKit that is not there";
  }

  ASSERT_TRUE(bus.StartLogind(KELVO_LOGIND_STANDIN));
  std::optional<SleepInhibitor> inhibitor;
  inhibitor.emplace("a board is being flashed");
  EXPECT_TRUE(inhibitor->Held()) << inhibitor->Failure();
  EXPECT_EQ(bus.NextLine(),
            "inhibit sleep:shutdown:idle|Kelvo Firmware Updater|a board is being flashed|block");
  EXPECT_EQ(bus.NextLine(300), "") << "let go while still held";
  inhibitor.reset();
  EXPECT_EQ(bus.NextLine(), "released");

  const pid_t thread = gettid();
  EXPECT_EQ(MakeThreadRealtime(thread, 1), "");
  EXPECT_EQ(bus.NextLine(), QStringLiteral("realtime %1 1").arg(thread));
}

}  // namespace
}  // namespace kelvo
