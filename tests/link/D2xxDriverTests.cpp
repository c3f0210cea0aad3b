// The Windows cable driver against the project's stand-in ftd2xx.dll, which
// has simulated boards behind it: every call arrives as it was made, and a
// missing or incomplete DLL is said in one line with nothing opened. The
// whole flash through it is kelvo_flash_exe_run's.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "link/D2xxDriver.h"

namespace kelvo {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// The stand-in reads its cables, its trace file and its pace from the
// environment whenever it is loaded, which each driver object does afresh.
class StandIn : public ::testing::Test {
 protected:
  StandIn() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    tracePath_ = ::testing::TempDir() + "kelvo-stand-in-" + info->name() + ".jsonl";
    std::filesystem::remove(tracePath_);
    Set("KELVO_STAND_IN_TRACE", tracePath_.c_str());
  }
  ~StandIn() override {
    for (const char* name : {"KELVO_STAND_IN_TRACE", "KELVO_STAND_IN_CABLES", "KELVO_STAND_IN_REALTIME"})
      Set(name, nullptr);
    std::filesystem::remove(tracePath_);
  }
  static void Set(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }

  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    std::ifstream in(tracePath_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string tracePath_;
};

TEST_F(StandIn, OpensByDescriptionAndBySerialAndListsEveryCable) {
  Set("KELVO_STAND_IN_CABLES", "Corvane Serial Link:KV000001;FT232R USB UART:KV000002");
  D2xxDriver driver(KELVO_STAND_IN_DRIVER);
  ASSERT_EQ(driver.LoadError(), "");

  std::uint32_t count = 0;
  ASSERT_EQ(driver.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 2u);
  FT_HANDLE byDescription = 0, bySerial = 0, again = 0;
  ASSERT_EQ(driver.FT_OpenEx("FT232R USB UART", FT_OPEN_BY_DESCRIPTION, &byDescription), FT_OK);
  ASSERT_EQ(driver.FT_OpenEx("KV000001", FT_OPEN_BY_SERIAL_NUMBER, &bySerial), FT_OK);
  EXPECT_NE(byDescription, bySerial);
  EXPECT_EQ(driver.FT_OpenEx("KV000001", FT_OPEN_BY_SERIAL_NUMBER, &again), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(driver.FT_OpenEx("KV000009", FT_OPEN_BY_SERIAL_NUMBER, &again), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(driver.LastError(), "FT_OpenEx: status 2");

  // The second entry, open now, with its handle as the open returned it.
  std::uint32_t flags = 0, type = 0, id = 0, location = 0;
  char serial[FT_SERIAL_NUMBER_SIZE] = {}, description[FT_DESCRIPTION_SIZE] = {};
  FT_HANDLE listed = 0;
  ASSERT_EQ(driver.FT_GetDeviceInfoDetail(1, &flags, &type, &id, &location, serial, description, &listed),
            FT_OK);
  EXPECT_STREQ(serial, "KV000002");
  EXPECT_STREQ(description, "FT232R USB UART");
  EXPECT_EQ(flags, FT_FLAGS_OPENED);
  EXPECT_EQ(id, 0x04036001u);
  EXPECT_EQ(listed, byDescription);
  EXPECT_EQ(driver.FT_GetDeviceInfoDetail(2, &flags, &type, &id, &location, serial, description, &listed),
            FT_DEVICE_NOT_FOUND);

  EXPECT_EQ(driver.FT_Close(byDescription), FT_OK);
  EXPECT_EQ(driver.FT_Close(bySerial), FT_OK);
  EXPECT_EQ(driver.FT_Close(bySerial), FT_INVALID_HANDLE);
}

// Each call with values of its own, so that a dropped, swapped or narrowed
// argument shows in what the DLL received.
struct CallCase {
  const char* name;
  std::function<FT_STATUS(FtdiDriver&, FT_HANDLE)> call;
  const char* received;
};

TEST_F(StandIn, EverySetUpCallArrivesAsMade) {
  const std::vector<CallCase> cases = {
      {"baud rate", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetBaudRate(h, 115200); },
       R"("call":"FT_SetBaudRate","args":[115200],"status":0})"},
      {"flow control",
       [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetFlowControl(h, FT_FLOW_RTS_CTS, 0x11, 0x13); },
       R"("call":"FT_SetFlowControl","args":[256,17,19],"status":0})"},
      {"latency", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetLatencyTimer(h, 16); },
       R"("call":"FT_SetLatencyTimer","args":[16],"status":0})"},
      {"USB parameters", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetUSBParameters(h, 4096, 512); },
       R"("call":"FT_SetUSBParameters","args":[4096,512],"status":0})"},
      {"data characteristics",
       [](FtdiDriver& d, FT_HANDLE h) {
         return d.FT_SetDataCharacteristics(h, FT_BITS_7, FT_STOP_BITS_2, 2);
       },
       R"("call":"FT_SetDataCharacteristics","args":[7,2,2],"status":0})"},
      {"chars", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetChars(h, 0x7E, 1, 0x3F, 0); },
       R"("call":"FT_SetChars","args":[126,1,63,0],"status":0})"},
      {"timeouts", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_SetTimeouts(h, 300, 40); },
       R"("call":"FT_SetTimeouts","args":[300,40],"status":0})"},
      {"purge", [](FtdiDriver& d, FT_HANDLE h) { return d.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX); },
       R"("call":"FT_Purge","args":[3],"status":0})"},
  };
  D2xxDriver driver(KELVO_STAND_IN_DRIVER);
  FT_HANDLE handle = 0;
  ASSERT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  for (const CallCase& c : cases) EXPECT_EQ(c.call(driver, handle), FT_OK) << c.name;
  ASSERT_EQ(driver.FT_Close(handle), FT_OK);
  // A closed handle is the DLL's to refuse, and its status comes back as is.
  for (const CallCase& c : cases) EXPECT_EQ(c.call(driver, handle), FT_INVALID_HANDLE) << c.name;

  const std::vector<std::string> trace = Trace();
  ASSERT_EQ(trace.size(), 2 + 2 * cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_THAT(trace[1 + i], EndsWith(cases[i].received));
}

// A read the board does not fill ends at the read timeout with what came,
// status OK; what the board sent later is still there for the next read.
TEST_F(StandIn, ReadThatTimesOutDeliversWhatCameWithOk) {
  D2xxDriver driver(KELVO_STAND_IN_DRIVER);
  FT_HANDLE handle = 0;
  ASSERT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  ASSERT_EQ(driver.FT_SetTimeouts(handle, 30, 0), FT_OK);
  std::uint8_t buffer[16] = {};
  std::uint32_t count = 0;
  EXPECT_EQ(driver.FT_Read(handle, buffer, 4, &count), FT_OK);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(driver.FT_Write(handle, "GI", 2, &count), FT_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(driver.FT_Read(handle, buffer, sizeof buffer, &count), FT_OK);
  ASSERT_EQ(count, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "GIPZ");
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
}

// At the line's real pace: what has arrived is gone after a receive purge,
// and only then.
TEST_F(StandIn, PurgeDropsWhatHasArrived) {
  Set("KELVO_STAND_IN_REALTIME", "1");
  D2xxDriver driver(KELVO_STAND_IN_DRIVER);
  FT_HANDLE handle = 0;
  ASSERT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  ASSERT_EQ(driver.FT_SetTimeouts(handle, 20, 0), FT_OK);
  for (const bool purge : {false, true}) {
    std::uint8_t buffer[6] = {};
    std::uint32_t count = 0;
    ASSERT_EQ(driver.FT_Write(handle, "GI", 2, &count), FT_OK);
    Sleep(20);  // six bytes at 125000 baud take half a millisecond
    if (purge) {
      ASSERT_EQ(driver.FT_Purge(handle, FT_PURGE_RX), FT_OK);
    }
    EXPECT_EQ(driver.FT_Read(handle, buffer, sizeof buffer, &count), FT_OK);
    EXPECT_EQ(count, purge ? 0u : 6u) << (purge ? "purged" : "kept");
  }
  EXPECT_EQ(driver.FT_Close(handle), FT_OK);
}

void ExpectNothingReachable(D2xxDriver& driver) {
  FT_HANDLE handle = 0;
  std::uint32_t count = 7;
  std::uint8_t buffer[4];
  EXPECT_EQ(driver.FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(driver.LastError(), driver.LoadError());
  EXPECT_NE(driver.FT_CreateDeviceInfoList(&count), FT_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(driver.FT_Read(1, buffer, sizeof buffer, &count), FT_INVALID_HANDLE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(driver.FT_Purge(1, FT_PURGE_RX), FT_INVALID_HANDLE);
}

TEST_F(StandIn, MissingDriverIsOneLineNamingItAndNothingOpens) {
  D2xxDriver driver("kelvo-no-such-driver.dll");
  EXPECT_THAT(driver.LoadError(),
              HasSubstr("the FTDI cable driver kelvo-no-such-driver.dll could not be loaded"));
  EXPECT_THAT(driver.LoadError(), Not(HasSubstr("\n")));
  ExpectNothingReachable(driver);
}

// A bare name comes from the program's folder or the system's only: a
// ftd2xx.dll in the current folder or on PATH is not taken.
TEST_F(StandIn, DriverInTheCurrentFolderOrOnPathIsNotTaken) {
  const std::filesystem::path standIn = std::filesystem::path(KELVO_STAND_IN_DRIVER).parent_path();
  const std::filesystem::path before = std::filesystem::current_path();
  char path[32768] = {};
  GetEnvironmentVariableA("PATH", path, sizeof path);
  std::filesystem::current_path(standIn);
  Set("PATH", (standIn.string() + ";" + path).c_str());
  D2xxDriver driver;
  std::filesystem::current_path(before);
  Set("PATH", path);
  EXPECT_THAT(driver.LoadError(), HasSubstr("the FTDI cable driver ftd2xx.dll could not be loaded"));
  ExpectNothingReachable(driver);
}

TEST_F(StandIn, DriverWithoutACallIsRefusedWhole) {
  D2xxDriver driver(KELVO_INCOMPLETE_DRIVER);
  EXPECT_THAT(driver.LoadError(), HasSubstr("has no FT_Purge"));
  EXPECT_THAT(driver.LoadError(), HasSubstr("ftd2xx.dll"));
  EXPECT_THAT(driver.LoadError(), Not(HasSubstr("\n")));
  ExpectNothingReachable(driver);
}

}  // namespace
}  // namespace kelvo
