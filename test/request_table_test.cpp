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
#include <thread>

#include "api/library.h"
#include "http/http_request_helper.h"
#include "http/http_transfer.h"

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

}  // namespace
