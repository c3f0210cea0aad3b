// The inhibitor against a logind of the test's own, on a private bus that
// stands for the system bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <optional>

#include "session/SleepInhibitor.h"
#include "support/PrivateSystemBus.h"

namespace kelvo {
namespace {

// Without logind the flash goes on uninhibited; with it, logind is asked to
// block sleep, shutdown and idle, and the inhibitor holds until it is let go.
TEST(SleepInhibitor, WorksOnWithoutLogindAndHoldsLogindsUntilLetGo) {
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
}

}  // namespace
}  // namespace kelvo
