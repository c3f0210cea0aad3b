// Windows: the window's start-up on the cable vendor's driver when its DLL is
// missing. The box says what it always says; the line for support says why.
#include <gtest/gtest.h>

#include "core/Texts.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "link/D2xxDriver.h"
#include "support/StateRig.h"

namespace kelvo {
namespace {

TEST(StartUpOnWindows, MissingCableDriverIsTheBoxAndTheDriversOwnLine) {
  test::StateRig<D2xxDriver> rig("kelvo-no-such-driver.dll");
  BindWindow(rig.state);
  Form_Load(rig.state);
  EXPECT_TRUE(rig.window.closed);
  ASSERT_EQ(rig.window.messages.size(), 1u);
  EXPECT_EQ(rig.window.messages[0].text, LinkNotFoundText);
  const Diagnosis diagnosis = Diagnose(rig.state, &rig.driver);
  EXPECT_EQ(diagnosis.cause, Diagnosis::Cause::Absent);
  EXPECT_EQ(diagnosis.line, rig.driver.LoadError());
  EXPECT_NE(rig.driver.LoadError().find("kelvo-no-such-driver.dll could not be loaded"), std::string::npos);
}

}  // namespace
}  // namespace kelvo
