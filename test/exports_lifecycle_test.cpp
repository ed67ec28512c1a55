// QL_Initialize, QL_Cleanup and QL_PullLogRecord as the installer calls them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"

using namespace std::chrono_literals;
using quillet_test::drainLogRecords;
using Records = std::vector<std::string>;

namespace {

TEST(Lifecycle, InitializeTwiceReportsTheSameOutcomeTwice) {
  QL_Initialize();
  QL_Initialize();
  EXPECT_EQ(drainLogRecords(), (Records{"Http system initialized", "Http system initialized"}));
}

TEST(Lifecycle, CleanupWithoutAnyEarlierCall) {
  QL_Cleanup();
  EXPECT_EQ(drainLogRecords(), (Records{"All requests stopped", "Http system deinitialized"}));
}

TEST(Lifecycle, HttpSystemStaysDownAfterCleanup) {
  QL_Initialize();
  QL_Cleanup();
  QL_Initialize();
  EXPECT_EQ(drainLogRecords(), (Records{"Http system initialized", "All requests stopped", "Http system deinitialized",
                                        "Http system initialization failed: Failed initialization"}));
}

TEST(Lifecycle, SecondCleanupChangesNothingButStillReports) {
  QL_Cleanup();
  QL_Cleanup();
  EXPECT_EQ(drainLogRecords(), (Records{"All requests stopped", "Http system deinitialized", "All requests stopped",
                                        "Http system deinitialized"}));
}

TEST(Lifecycle, JsonAndUlidKeepWorkingAfterCleanup) {
  QL_Cleanup();
  EXPECT_NE(QL_ParseJSON("{\"a\":\"b\"}"), 0);
  QL_WCHAR id[26];
  QL_GenerateULID(id);
  EXPECT_EQ(id[0], static_cast<QL_WCHAR>(u'0'));
}

TEST(PullLogRecord, LengthCapacityProtocol) {
  QL_Initialize();
  QL_WCHAR buffer[32];
  for (auto& unit : buffer) unit = static_cast<QL_WCHAR>(u'#');
  int length = -1;
  EXPECT_EQ(QL_PullLogRecord(buffer, 22, &length), 0);
  EXPECT_EQ(length, 23);
  EXPECT_EQ(buffer[0], static_cast<QL_WCHAR>(u'#'));
  EXPECT_EQ(QL_PullLogRecord(buffer, 23, &length), 1);
  EXPECT_EQ(length, 23);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer), 23), u"Http system initialized");
  EXPECT_EQ(buffer[23], static_cast<QL_WCHAR>(u'#'));
  EXPECT_EQ(QL_PullLogRecord(buffer, 32, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(QL_PullLogRecord(buffer, 32, nullptr), 0);  // no crash on a null length
}

}  // namespace
