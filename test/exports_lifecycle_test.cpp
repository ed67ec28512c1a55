// QL_Initialize, QL_Cleanup and QL_PullLogRecord as the installer calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"

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
  EXPECT_EQ(drainLogRecords(),
            (Records{"Http system initialized", "All requests stopped", "Http system deinitialized",
                     "Http system initialization failed: Failed initialization"}));
}

TEST(Lifecycle, SecondCleanupChangesNothingButStillReports) {
  QL_Cleanup();
  QL_Cleanup();
  EXPECT_EQ(drainLogRecords(), (Records{"All requests stopped", "Http system deinitialized",
                                        "All requests stopped", "Http system deinitialized"}));
}

TEST(Lifecycle, JsonAndUlidKeepWorkingAfterCleanup) {
  QL_Cleanup();
  EXPECT_NE(QL_ParseJSON("{\"a\":\"b\"}"), 0);
  QL_WCHAR id[26];
  QL_GenerateULID(id);
  EXPECT_EQ(id[0], static_cast<QL_WCHAR>(u'0'));
}

// QL_Cleanup cancels every running request before it waits for any, and it
// waits outside the request table lock: an export on another thread answers
// while the stalled downloads are still winding down.
TEST(Lifecycle, CleanupLetsOtherExportsAnswerWhileItStopsStalledDownloads) {
  quillet_test::RawHttpServer server([](const quillet_test::HttpRequest& r, quillet_test::Connection& c) {
    if (r.target == "/done") {
      c.send(quillet_test::httpResponse(200, "OK", "x"));
      return;
    }
    c.send(quillet_test::httpHead(200, "OK", 100000) + "abc");
    c.stall(30s);  // until the client goes
  });
  quillet_test::TempDir dir;
  auto infoOf = [](unsigned id) {
    QL_REQUEST_INFO info{};
    const int found = QL_RequestInfo(id, &info);
    return std::make_pair(found, info);
  };

  const unsigned finished = QL_Request(0, server.url("/done").c_str(), nullptr);
  while (infoOf(finished).second.state == QL_STATE_RUNNING) std::this_thread::yield();
  ASSERT_EQ(infoOf(finished).second.state, QL_STATE_DONE);

  constexpr int kStalled = 5;
  for (int i = 0; i < kStalled; ++i) {
    const std::u16string target = quillet_test::widePath(dir.file("f" + std::to_string(i)));
    const unsigned id = QL_DownloadFile(server.url("/stall").c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()));
    ASSERT_TRUE(server.waitForRequests(static_cast<std::size_t>(i) + 2, 10s));
    while (infoOf(id).second.hasInfo == 0) std::this_thread::yield();
    // Spreads the stalled transfers' idle wake-ups, which are when a
    // cancellation is noticed, over libcurl's one-second poll.
    std::this_thread::sleep_for(200ms);
  }
  drainLogRecords();

  std::thread cleanup([] { QL_Cleanup(); });
  // The finished request is found until QL_Cleanup has taken it out of the
  // table; the first miss is the earliest moment an export can see cleanup.
  while (infoOf(finished).first == 1) std::this_thread::yield();
  const Records seenThen = drainLogRecords();
  cleanup.join();

  auto isStopped = [](const std::string& record) {
    return record.rfind("Request finished: Inner libCurl error(42)", 0) == 0;
  };
  int stoppedThen = 0;
  for (const auto& record : seenThen) stoppedThen += isStopped(record) ? 1 : 0;
  EXPECT_LT(stoppedThen, kStalled) << "the export waited for every stalled download";

  Records records = seenThen;
  for (auto& record : drainLogRecords()) records.push_back(std::move(record));
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kStalled) + 2u);
  for (int i = 0; i < kStalled; ++i) EXPECT_TRUE(isStopped(records[static_cast<std::size_t>(i)])) << records[static_cast<std::size_t>(i)];
  EXPECT_EQ(records[kStalled], "All requests stopped");
  EXPECT_EQ(records[kStalled + 1], "Http system deinitialized");
  EXPECT_EQ(infoOf(finished).first, 0);
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
