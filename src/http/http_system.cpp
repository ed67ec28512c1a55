#include "http/http_system.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <new>

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

void http_system::release() {
  std::lock_guard<ql::platform::RecursiveLock> guard(lock_);
  if (refCount_ == 0) return;
  if (refCount_ == 1) {
    curl_global_cleanup();
    initResult_ = CURLE_FAILED_INIT;
  }
  --refCount_;
}

}  // namespace vela::http
