#include "http/http_system.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "http/handle_pool.h"
#include "http/proxy_route.h"

namespace vela::http {
namespace {

// The instance lives in static storage and is never destroyed by the C++
// runtime: the library frame releases it at unload, after every request has
// stopped, so libcurl's global clean-up never runs under a live transfer.
std::once_flag builtFlag;
alignas(http_system) unsigned char storage[sizeof(http_system)];
std::atomic<http_system*> built{nullptr};

}  // namespace

http_system::http_system() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  initResult_ = static_cast<int>(curl_global_init(CURL_GLOBAL_ALL));
  // OpenSSL has set up its clean-up at exit by now, if this was its first
  // initialisation: it frees the state it keeps for a worker's thread when
  // that thread ends, but not once that clean-up has run. A host that exits
  // without QL_Cleanup would leave the kept threads' state behind, so they
  // end first.
  ql::platform::retireKeptThreadsAtExit();
  refCount_ = 1;
}

http_system& http_system::instance() {
  std::call_once(builtFlag, [] { built.store(new (storage) http_system()); });
  return *built.load();
}

http_system* http_system::existing() { return built.load(); }

int http_system::initResult() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  return initResult_;
}

void http_system::release() { takeDown(true); }

void http_system::takeDown(bool mayWait) {
  std::unique_lock<ql::platform::RecursiveLock> guard(lock_);
  if (refCount_ == 0) return;
  if (refCount_ == 1) {
    refusing_ = true;
    // The transfers that still have a handle were cancelled by their owners
    // and end within milliseconds; a poll keeps this instance, which is never
    // destroyed, free of anything that allocates.
    while (mayWait && holds_ != 0) {
      guard.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      guard.lock();
    }
    holdsAtCleanup_ = holds_;
    if (holds_ == 0) {
      // No transfer has handles now: the idle ones and their connections
      // go first, while libcurl is still there to close them; the routes
      // kept for the hosts go too.
      handle_pool::instance().close();
      forgetRoutes();
      curl_global_cleanup();
    }
    initResult_ = CURLE_FAILED_INIT;
  }
  --refCount_;
}

http_system::shutdown::shutdown(http_system* system, bool mayWait) : system_(system), mayWait_(mayWait) {
  if (system_ == nullptr) return;
  std::lock_guard<ql::platform::RecursiveLock> guard(system_->lock_);
  if (system_->refCount_ != 0) system_->refusing_ = true;
}

void http_system::shutdown::finish() {
  if (system_ == nullptr) return;
  http_system* system = system_;
  system_ = nullptr;
  system->takeDown(mayWait_);
}

void http_system::lockForFork() { lock_.lock(); }

void http_system::unlockAfterFork() { lock_.unlock(); }

void http_system::resetInForkedChild() {
  lock_.resetInForkedChild();
  holds_ = 0;
}

int http_system::hold() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  if (initResult_ != 0) return initResult_;
  if (refusing_) return CURLE_FAILED_INIT;
  ++holds_;
  return 0;
}

void http_system::letGo() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  --holds_;
}

int http_system::liveHolds() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  return holds_;
}

int http_system::holdsAtCleanup() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  return holdsAtCleanup_;
}

void http_system::reviveForTesting() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  if (refCount_ != 0) return;
  initResult_ = static_cast<int>(curl_global_init(CURL_GLOBAL_ALL));
  refCount_ = 1;
  refusing_ = false;
  holdsAtCleanup_ = -1;
}

}  // namespace vela::http
