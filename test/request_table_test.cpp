// Stopping every request at once, as QL_Cleanup and unloading do: requests are
// all cancelled before any is released, and the table stays usable while a
// released request still waits for its worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/library.h"
#include "http/http_request_helper.h"
#include "http/http_system.h"
#include "http/http_transfer.h"
#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

using namespace std::chrono_literals;

namespace {

// A request whose release waits until the test lets it go, as one does whose
// worker is slow to end.
class SlowToEndRequest : public vela::http::http_request_helper {
 public:
  SlowToEndRequest(std::shared_future<void> released, std::function<void()> onRelease)
      : released_(std::move(released)), onRelease_(std::move(onRelease)) {}
  ~SlowToEndRequest() override {
    onRelease_();
    released_.wait();
  }
  bool cancelled() {
    vela::http::http_transfer transfer;
    return isCancelled(transfer, 0);
  }

 private:
  std::shared_future<void> released_;
  std::function<void()> onRelease_;
};

TEST(StopAllRequests, CancelsAllFirstAndLeavesTheTableFreeWhileReleasing) {
  ql::RequestTable table;
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::promise<void> firstReleasing;
  std::atomic<bool> secondCancelledThen{false};

  auto second = std::make_shared<SlowToEndRequest>(released, [] {});
  auto first = std::make_shared<SlowToEndRequest>(released, [&, other = std::weak_ptr<SlowToEndRequest>(second)] {
    if (auto alive = other.lock()) secondCancelledThen = alive->cancelled();
    firstReleasing.set_value();
  });
  table.insert(table.issueId(), first);
  table.insert(table.issueId(), second);
  std::weak_ptr<SlowToEndRequest> secondLeft = second;
  first.reset();
  second.reset();

  std::once_flag once;
  auto releaseAll = [&] { std::call_once(once, [&] { release.set_value(); }); };
  std::atomic<bool> letGo{false};
  std::thread stopping([&] { ql::stopAllRequests(table); });
  // Should the table stay locked while a request ends, the test lets them go
  // after a while so that it ends and reports it.
  std::thread fallback([&] {
    if (released.wait_for(10s) == std::future_status::timeout) {
      letGo = true;
      releaseAll();
    }
  });
  EXPECT_EQ(firstReleasing.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(table.find(2), nullptr);
  EXPECT_EQ(table.issueId(), 3u);
  EXPECT_FALSE(letGo.load()) << "the table was locked while a request was released";
  EXPECT_TRUE(secondCancelledThen.load()) << "a request was released before all were cancelled";
  releaseAll();
  fallback.join();
  stopping.join();
  EXPECT_TRUE(secondLeft.expired());
  EXPECT_EQ(table.size(), 0u);
}

// Starts and removals racing QL_Cleanup: libcurl's global clean-up must never
// run while a transfer still has a handle, and every transfer started once the
// system is going down fails with 2 rather than running.
TEST(StopAllRequests, GlobalCleanupWaitsForEveryTransfer) {
  using quillet_test::scaled;
  quillet_test::RawHttpServer server([](const quillet_test::HttpRequest&, quillet_test::Connection& c) {
    c.send(quillet_test::httpHead(200, "OK", 1000000) + "abc");
    c.stall(scaled(20s));
  });
  quillet_test::TempDir dir;
  auto& system = vela::http::http_system::instance();
  constexpr int rounds = 200;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    system.reviveForTesting();
    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
      hosts.emplace_back([&, t] {
        for (int i = 0; i < 24 && !stop.load(); ++i) {
          const std::string file = "r" + std::to_string(t) + "-" + std::to_string(i % 4);
          const std::u16string path = dir.file(file).u16string();
          const unsigned id =
              i % 2 == 0 ? QL_Request(0, server.url().c_str(), nullptr)
                         : QL_DownloadFile(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()));
          if (i % 4 != 0) QL_RemoveRequest(id);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
    QL_Cleanup();
    stop = true;
    for (auto& host : hosts) host.join();
    EXPECT_EQ(system.holdsAtCleanup(), 0);
    QL_Cleanup();  // what the hosts started after the first one
    EXPECT_EQ(system.liveHolds(), 0);
    quillet_test::drainLogRecords();
  }
}

}  // namespace
