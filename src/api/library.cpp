#include "api/library.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "http/download_job.h"
#include "http/http_request_helper.h"
#include "http/http_system.h"
#include "http/proxy_route.h"

namespace ql {
namespace {

void prepareFork();
void afterForkInParent();
void afterForkInChild();

// Created at load in this order. Teardown at unload stops every request
// first, while the log queue its workers write to and libcurl are still
// there, and only then releases the HTTP system.
struct Library {
  JsonDocumentTable json;
  RequestTable requests;
  LogRecordQueue log;
  JobTable jobs;
  platform::RecursiveLock shutdown;

  Library() {
    platform::onFork(&prepareFork, &afterForkInParent, &afterForkInChild);
    // Which proxy each host goes through, once per host and route lifetime.
    vela::http::setRouteRecordSink(&pushLogRecord);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  ~Library() {
    std::lock_guard<platform::RecursiveLock> guard(shutdown);
    vela::http::http_system::shutdown going(vela::http::http_system::existing(), false);
    stopAllJobs(jobs);
    stopAllRequests(requests);
    platform::retireKeptThreads();
  }
};

Library library;

// A host may fork while requests run, and its child may only want to exit
// (after a failed exec, say). The child has the forking thread alone: the
// parent's workers are not there to end, and a lock one of them held at the
// fork would stay held for good. So the child lets the parent's requests go
// untouched, as if removed: nothing there waits for their workers, takes
// their locks or closes their connections, which the parent still uses.
// The process-wide locks are taken around the fork, so that what they guard
// is whole in the child, and made free again there.
bool systemLockedForFork = false;

void prepareFork() {
  library.json.lockForFork();
  library.requests.lockForFork();
  library.jobs.lockForFork();
  library.log.lockForFork();
  auto* system = vela::http::http_system::existing();
  systemLockedForFork = system != nullptr;
  if (systemLockedForFork) system->lockForFork();
}

void afterForkInParent() {
  if (systemLockedForFork) vela::http::http_system::existing()->unlockAfterFork();
  library.log.unlockAfterFork();
  library.jobs.unlockAfterFork();
  library.requests.unlockAfterFork();
  library.json.unlockAfterFork();
}

void afterForkInChild() {
  if (systemLockedForFork) vela::http::http_system::existing()->resetInForkedChild();
  vela::http::http_request_helper::forgetWorkersInForkedChild();
  library.log.resetInForkedChild();
  library.requests.resetInForkedChild(true);
  library.jobs.resetInForkedChild(true);
  library.json.resetInForkedChild(false);
  // A clean-up running on another thread at the fork did not come along.
  library.shutdown.resetInForkedChild();
}

}  // namespace

void stopAllRequests(RequestTable& table) {
  RequestTable::Entries stopping = table.takeAll();
  for (auto& entry : stopping) entry.second->cancel();
  for (auto& entry : stopping) entry.second.reset();
}

void stopAllJobs(JobTable& table) {
  for (auto& entry : table.takeAll()) entry.second->stop();
}

void stopEveryWorker(RequestTable& table) {
  for (;;) {
    stopAllRequests(table);
    if (vela::http::http_request_helper::runningWorkers() == 0 && table.size() == 0) return;
    // A removal on another thread is joining its own worker, or a start
    // stored its request after the table was emptied: both end within
    // milliseconds, the new one refused by the HTTP system.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

JsonDocumentTable& jsonDocuments() { return library.json; }
RequestTable& requests() { return library.requests; }
JobTable& jobs() { return library.jobs; }
LogRecordQueue& logQueue() { return library.log; }
platform::RecursiveLock& shutdownLock() { return library.shutdown; }

}  // namespace ql
