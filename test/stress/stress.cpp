// Stress: THREADS host threads call all fourteen exports at random against a
// loopback server for SECONDS, with one QL_Cleanup under load at 80 % of the
// time (after it, HTTP stays down and every start fails at once). It
// checks that
//  - an identifier once removed (by QL_RemoveRequest or the cleanup) is never
//    found again by any request export;
//  - every started download ends: after the load, each request still in the
//    table is cancelled and must stop running;
//  - no thread is left after the final QL_Cleanup (the tasks of this process
//    are the ones it had before the load).
// Usage: quillet_stress [THREADS [SECONDS]]. Exit status 0 when all held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quillet_test::Connection;
using quillet_test::HttpRequest;
using quillet_test::RawHttpServer;

constexpr const char* kExports[] = {"QL_Initialize",    "QL_Cleanup",      "QL_Request",
                                    "QL_SendStats",     "QL_DownloadFile", "QL_CancelRequest",
                                    "QL_RemoveRequest", "QL_RequestInfo",  "QL_RequestDownloadProgress",
                                    "QL_RequestData",   "QL_ParseJSON",    "QL_GetStringByPath",
                                    "QL_GenerateULID",  "QL_PullLogRecord"};
constexpr int kExportCount = 14;
constexpr std::size_t kLivePerThread = 6;  // bounds the worker threads alive at once

std::atomic<long> g_calls[kExportCount];
std::atomic<long> g_violations{0};
std::atomic<long> g_finishedRecords{0};

void violation(const std::string& what) {
  if (g_violations.fetch_add(1) < 20) std::fprintf(stderr, "VIOLATION: %s\n", what.c_str());
}

void handle(const HttpRequest& request, Connection& c) {
  const std::string& t = request.target;
  if (t.rfind("/ok", 0) == 0) {
    c.send(quillet_test::httpResponse(200, "OK", "body of " + t));
  } else if (t.rfind("/big", 0) == 0) {
    if (c.send(quillet_test::httpHead(200, "OK", 200000))) c.sendPattern(0, 200000, 5);
  } else if (t.rfind("/stall", 0) == 0) {
    if (c.send(quillet_test::httpHead(200, "OK", 100000) + "abc")) c.stall(1500ms);
    c.close();
  } else if (t.rfind("/cut", 0) == 0) {
    c.send(quillet_test::httpHead(200, "OK", 1000) + "partial");
    c.close();
  } else {
    c.send(quillet_test::httpResponse(404, "Not Found", "no"));
  }
}

// A server keeps a thread per connection until it stops, so a fresh one takes
// over every few seconds and the old one is stopped (ending its transfers).
class Servers {
 public:
  std::string url(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return current_->url(path);
  }
  void rotate() {
    auto fresh = std::make_shared<RawHttpServer>(handle);
    std::shared_ptr<RawHttpServer> old;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      old = std::move(current_);
      current_ = std::move(fresh);
    }
    if (old) {
      old->stop();
      served_ += old->requestCount();
    }
  }
  void stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (current_) {
      current_->stop();
      served_ += current_->requestCount();
    }
    current_.reset();
  }
  std::size_t served() const { return served_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<RawHttpServer> current_;
  std::atomic<std::size_t> served_{0};
};

// Identifiers the host learned, and which of them are removed for good.
class Ids {
 public:
  void learned(unsigned id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (removed_.count(id) != 0) violation("identifier " + std::to_string(id) + " issued again");
    all_.push_back(id);
  }
  void removed(unsigned id) {
    std::lock_guard<std::mutex> guard(mutex_);
    removed_.insert(id);
  }
  bool isRemoved(unsigned id) {
    std::lock_guard<std::mutex> guard(mutex_);
    return removed_.count(id) != 0;
  }
  unsigned any(std::mt19937& random) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (all_.empty()) return 1;
    return all_[std::uniform_int_distribution<std::size_t>(0, all_.size() - 1)(random)];
  }
  std::vector<unsigned> snapshot() {
    std::lock_guard<std::mutex> guard(mutex_);
    return all_;
  }
  void removedAll(const std::vector<unsigned>& ids) {
    std::lock_guard<std::mutex> guard(mutex_);
    removed_.insert(ids.begin(), ids.end());
  }
  std::vector<unsigned> notRemoved() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<unsigned> result;
    for (unsigned id : all_) {
      if (removed_.count(id) == 0) result.push_back(id);
    }
    return result;
  }

 private:
  std::mutex mutex_;
  std::vector<unsigned> all_;
  std::set<unsigned> removed_;
};

std::size_t taskCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

void count(int which) { g_calls[which].fetch_add(1, std::memory_order_relaxed); }

void pullRecords() {
  QL_WCHAR buffer[1024];
  int length = 0;
  count(13);
  while (QL_PullLogRecord(buffer, 1024, &length) == 1) {
    static const std::u16string kFinished = u"Request finished: ";
    if (static_cast<std::size_t>(length) >= kFinished.size() &&
        std::equal(kFinished.begin(), kFinished.end(), reinterpret_cast<const char16_t*>(buffer))) {
      ++g_finishedRecords;
    }
    count(13);
  }
}

// A removed identifier must be unknown to every request export.
void checkLookup(Ids& ids, unsigned id, std::mt19937& random) {
  const bool removedBefore = ids.isRemoved(id);
  int found = 0;
  switch (random() % 5) {
    case 0: {
      QL_REQUEST_INFO info{};
      count(7);
      found = QL_RequestInfo(id, &info);
      if (removedBefore && info.state != QL_STATE_NONE) violation("removed request has a state");
      break;
    }
    case 1: {
      int total = 0, done = 0;
      count(8);
      found = QL_RequestDownloadProgress(id, &total, &done);
      break;
    }
    case 2: {
      int size = 0;
      count(9);
      found = QL_RequestData(id, nullptr, &size);
      if (found == 1 && size > 0) {
        std::vector<QL_WCHAR> body(static_cast<std::size_t>(size));
        count(9);
        found = QL_RequestData(id, body.data(), &size);
      }
      break;
    }
    case 3:
      count(5);
      found = QL_CancelRequest(id);
      break;
    default:
      count(6);
      found = QL_RemoveRequest(id);
      if (found == 1) ids.removed(id);
      break;
  }
  if (removedBefore && found != 0) violation("removed identifier " + std::to_string(id) + " found again");
}

void hostThread(int index, Servers& servers, Ids& ids, const std::filesystem::path& dir,
                const std::atomic<bool>& stop) {
  std::mt19937 random(static_cast<unsigned>(index) * 7919u + 1u);
  std::vector<unsigned> live;
  std::vector<unsigned> documents;
  static const char* const kPaths[] = {"/ok", "/big", "/stall", "/cut", "/missing"};
  static const char* const kTexts[] = {"{\"a\":\"b\"}", "{\"a\":{\"b\":\"c\"}}", "[1,2]", "{bad", "{\"a\":1}"};
  std::vector<std::u16string> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(quillet_test::widePath(dir / ("t" + std::to_string(index) + "-" + std::to_string(i))));
  }
  while (!stop.load()) {
    const int op = static_cast<int>(random() % 12);
    if (op <= 2) {
      if (live.size() >= kLivePerThread) {
        const unsigned oldest = live.front();
        live.erase(live.begin());
        count(6);
        if (QL_RemoveRequest(oldest) == 1) ids.removed(oldest);
        continue;
      }
      const std::string url = servers.url(std::string(kPaths[random() % 5]) + "/" + std::to_string(index));
      unsigned id = 0;
      if (op == 0) {
        count(2);
        id = QL_Request(static_cast<int>(random() % 2), url.c_str(), random() % 2 ? "x=1" : nullptr);
      } else if (op == 1) {
        count(3);
        id = QL_SendStats(url.c_str(), nullptr);
      } else {
        count(4);
        id = QL_DownloadFile(url.c_str(), reinterpret_cast<const QL_WCHAR*>(files[random() % files.size()].c_str()));
      }
      if (id == 0) {
        violation("a start returned 0");
        continue;
      }
      ids.learned(id);
      live.push_back(id);
    } else if (op <= 6) {
      checkLookup(ids, live.empty() || random() % 3 == 0 ? ids.any(random) : live[random() % live.size()], random);
    } else if (op == 7) {
      count(10);
      const int doc = QL_ParseJSON(kTexts[random() % 5]);
      if (doc != 0) documents.push_back(static_cast<unsigned>(doc));
    } else if (op == 8) {
      QL_WCHAR buffer[16];
      unsigned length = 16;
      count(11);
      QL_GetStringByPath(documents.empty() ? 1u : documents[random() % documents.size()], random() % 2 ? "a" : "a.b",
                         buffer, &length);
    } else if (op == 9) {
      QL_WCHAR ulid[26];
      count(12);
      QL_GenerateULID(ulid);
    } else if (op == 10) {
      pullRecords();
    } else if (random() % 50 == 0) {
      count(0);
      QL_Initialize();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
  // A sanitizer's own helper thread starts with the first thread: let it.
  std::thread([] {}).join();
  const std::size_t tasksBefore = taskCount();

  quillet_test::TempDir dir;
  Servers servers;
  servers.rotate();
  Ids ids;
  std::atomic<bool> stop{false};
  std::vector<std::thread> hosts;
  for (int i = 0; i < threads; ++i) {
    hosts.emplace_back(hostThread, i, std::ref(servers), std::ref(ids), dir.path(), std::cref(stop));
  }

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  bool cleanedUp = false;
  while (Clock::now() < end) {
    std::this_thread::sleep_for(2s);
    servers.rotate();
    if (!cleanedUp && Clock::now() >= start + std::chrono::seconds(seconds) * 4 / 5) {
      // Everything learned before this point is in the table or removed, so
      // it is gone once QL_Cleanup returns.
      const std::vector<unsigned> before = ids.snapshot();
      count(1);
      QL_Cleanup();
      ids.removedAll(before);
      cleanedUp = true;
    }
  }
  stop = true;
  for (auto& host : hosts) host.join();

  // Every request still in the table stops once cancelled.
  const std::vector<unsigned> remaining = ids.notRemoved();
  for (unsigned id : remaining) {
    count(5);
    QL_CancelRequest(id);
  }
  for (unsigned id : remaining) {
    QL_REQUEST_INFO info{};
    const auto deadline = Clock::now() + 30s;
    while (QL_RequestInfo(id, &info) == 1 && info.state == QL_STATE_RUNNING && Clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    if (info.state == QL_STATE_RUNNING) violation("request " + std::to_string(id) + " still runs after cancel");
  }
  count(1);
  QL_Cleanup();
  pullRecords();
  servers.stop();
  const std::size_t tasksAfter = taskCount();
  if (tasksAfter != tasksBefore) {
    violation("threads before " + std::to_string(tasksBefore) + ", after cleanup " + std::to_string(tasksAfter));
  }

  long total = 0;
  for (int i = 0; i < kExportCount; ++i) {
    std::printf("%-28s %ld\n", kExports[i], g_calls[i].load());
    total += g_calls[i].load();
  }
  std::printf("%-28s %ld\n", "all exports", total);
  std::printf("%-28s %zu\n", "requests started", ids.snapshot().size());
  std::printf("%-28s %zu\n", "HTTP requests served", servers.served());
  std::printf("%-28s %ld\n", "\"Request finished\" records", g_finishedRecords.load());
  std::printf("%-28s %ld\n", "violations", g_violations.load());
  return g_violations.load() == 0 ? 0 : 1;
}
