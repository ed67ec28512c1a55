#include "http/handle_pool.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <new>

namespace vela::http {

using Guard = std::lock_guard<ql::platform::RecursiveLock>;

namespace {

// "scheme://host:port" of a URL, the port filled in when the URL leaves it
// out; empty for a URL libcurl cannot parse.
std::string originOf(const std::string& url) {
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  std::string origin;
  const CURLUPart parts[] = {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT};
  const char* const separators[] = {"://", ":", ""};
  for (std::size_t i = 0; i < 3; ++i) {
    char* part = nullptr;
    if (curl_url_get(parsed.get(), parts[i], &part, CURLU_DEFAULT_PORT) != CURLUE_OK) return {};
    const std::unique_ptr<char, void (*)(void*)> owned(part, curl_free);
    origin += part;
    origin += separators[i];
  }
  return origin;
}

}  // namespace

void pooled_handles::EasyDeleter::operator()(void* handle) const { curl_easy_cleanup(handle); }
void pooled_handles::MultiDeleter::operator()(void* multi) const { curl_multi_cleanup(multi); }

pooled_handles::~pooled_handles() {
  // A child of a fork must not clean up what it inherited: closing a TLS
  // connection writes on the socket it shares with the parent.
  if (generation_ != ql::platform::forkGeneration()) abandon();
}

void pooled_handles::abandon() {
  (void)easy_.release();
  (void)multi_.release();
}

struct handle_pool::state {
  explicit state(uint32_t forkGeneration) : generation(forkGeneration) {}

  const uint32_t generation;
  ql::platform::RecursiveLock lock;
  std::vector<pooled_handles> idle;  // oldest first
  CURLSH* share = nullptr;
  bool shareFailed = false;  // libcurl refused one: the transfers go without
  // libcurl asks for one lock per kind of shared data.
  ql::platform::RecursiveLock shareLocks[CURL_LOCK_DATA_LAST];
};

namespace {

void lockShared(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<ql::platform::RecursiveLock*>(user)[data].lock();
}

void unlockShared(CURL*, curl_lock_data data, void* user) {
  static_cast<ql::platform::RecursiveLock*>(user)[data].unlock();
}

}  // namespace

std::vector<pooled_handles> handle_pool::takeExpired(std::vector<pooled_handles>& idle) {
  const auto oldest = std::chrono::steady_clock::now() - kMaxIdleAge;
  auto firstKept = idle.begin();
  while (firstKept != idle.end() && firstKept->idleSince_ < oldest) ++firstKept;
  std::vector<pooled_handles> expired(std::make_move_iterator(idle.begin()), std::make_move_iterator(firstKept));
  idle.erase(idle.begin(), firstKept);
  return expired;
}

// The pool and the process's first state live in static storage and are
// never destroyed by the C++ runtime: the HTTP system's take-down closes the
// pool before libcurl's global clean-up, and a library that is unloaded
// leaves nothing of it on the heap.
handle_pool::handle_pool() {
  alignas(state) static unsigned char first[sizeof(state)];
  state_.store(new (first) state(ql::platform::forkGeneration()));
}

handle_pool& handle_pool::instance() {
  alignas(handle_pool) static unsigned char storage[sizeof(handle_pool)];
  static handle_pool* const pool = new (storage) handle_pool();
  return *pool;
}

handle_pool::state& handle_pool::current() {
  const uint32_t generation = ql::platform::forkGeneration();
  for (;;) {
    state* s = state_.load();
    if (s->generation == generation) return *s;
    // The parent's state stays allocated and untouched.
    auto* fresh = new state(generation);
    if (!state_.compare_exchange_strong(s, fresh)) delete fresh;
  }
}

void* handle_pool::shareOf(state& s) {
  if (s.share != nullptr || s.shareFailed) return s.share;
  CURLSH* share = curl_share_init();
  const bool made = share != nullptr && curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &lockShared) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &unlockShared) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_USERDATA, static_cast<void*>(s.shareLocks)) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
  if (!made) {
    if (share != nullptr) curl_share_cleanup(share);
    s.shareFailed = true;
    return nullptr;
  }
  s.share = share;
  return share;
}

pooled_handles handle_pool::take(const std::string& url) {
  const std::string origin = originOf(url);
  state& s = current();
  pooled_handles taken;
  std::vector<pooled_handles> expired;
  {
    Guard guard(s.lock);
    expired = takeExpired(s.idle);
    if (!s.idle.empty()) {
      // The freshest connection is the least likely to have been closed by
      // its server.
      auto match = std::find_if(s.idle.rbegin(), s.idle.rend(),
                                [&](const pooled_handles& idle) { return idle.origin_ == origin; });
      auto chosen = match != s.idle.rend() ? std::prev(match.base()) : std::prev(s.idle.end());
      taken = std::move(*chosen);
      s.idle.erase(chosen);
      return taken;
    }
  }
  return fresh();
}

pooled_handles handle_pool::fresh() {
  state& s = current();
  pooled_handles made;
  {
    Guard guard(s.lock);
    made.share_ = shareOf(s);
  }
  made.generation_ = s.generation;
  made.easy_.reset(curl_easy_init());
  made.multi_.reset(curl_multi_init());
  // One connection per pair, so the descriptors stay bounded with the pool:
  // a transfer that goes to another host closes the one it found.
  if (!made || curl_multi_setopt(made.multi(), CURLMOPT_MAXCONNECTS, 1L) != CURLM_OK) return {};
  return made;
}

void handle_pool::giveBack(pooled_handles handles, const char* effectiveUrl) noexcept {
  if (!handles || handles.generation_ != ql::platform::forkGeneration()) return;
  state& s = current();
  std::vector<pooled_handles> closing;
  // Short of memory the pair is closed instead: on a throw it is still in
  // `handles`, which push_back leaves as it was.
  try {
    // Read before the reset, which frees the URL.
    if (effectiveUrl != nullptr) handles.origin_ = originOf(effectiveUrl);
    curl_easy_reset(handles.easy());
    handles.used_ = true;
    handles.idleSince_ = std::chrono::steady_clock::now();
    Guard guard(s.lock);
    closing = takeExpired(s.idle);
    s.idle.push_back(std::move(handles));
    if (s.idle.size() > kMaxIdle) {
      closing.push_back(std::move(s.idle.front()));
      s.idle.erase(s.idle.begin());
    }
  } catch (...) {
  }
}

void handle_pool::close() {
  state& s = current();
  std::vector<pooled_handles> closing;
  CURLSH* share = nullptr;
  {
    Guard guard(s.lock);
    closing.swap(s.idle);
    share = s.share;
    s.share = nullptr;
    s.shareFailed = false;
  }
  // The share handle refuses to go while an easy handle still uses it.
  closing.clear();
  if (share != nullptr) curl_share_cleanup(share);
}

}  // namespace vela::http
