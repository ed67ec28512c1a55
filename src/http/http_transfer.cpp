#include "http/http_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "http/http_system.h"
#include "platform/system_proxy.h"

namespace vela::http {

using Guard = std::lock_guard<ql::platform::RecursiveLock>;

namespace {
// The large buffer's places held now, process-wide.
std::atomic<int> largeBuffersHeld{0};

// A transfer that ends while its name look-up still runs leaves libcurl's
// resolver thread to finish the look-up alone (CURLOPT_QUICK_EXIT): waiting
// for it would hold a cancel, a clean-up or the process's exit for as long as
// a silent name server keeps the system's resolver waiting, half a minute by
// default. That thread runs libcurl's code, which must stay mapped until it
// ends, also when the library is unloaded first.
const void* const kResolverCode = reinterpret_cast<const void*>(&curl_easy_init);
struct resolver_code_kept_at_load {
  resolver_code_kept_at_load() { ql::platform::keepMappedForLeftThreads(kResolverCode); }
} const resolverCodeKeptAtLoad;

bool http2Available() {
  static const bool available = (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTP2) != 0;
  return available;
}

// HTTP/2 is only ever asked for over TLS.
bool mayMultiplex(const http_request_params& params) {
  if (!params.allowHttp2 || !http2Available() || params.url.size() < 8) return false;
  std::string scheme = params.url.substr(0, 8);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return scheme == "https://";
}

}  // namespace

void noteLeftResolver(void* easy, int result) {
  auto* handle = static_cast<CURL*>(easy);
  const auto code = static_cast<CURLcode>(result);
  if (code == CURLE_OK || code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY) return;
  curl_off_t lookup = 0;
  if (curl_easy_getinfo(handle, CURLINFO_NAMELOOKUP_TIME_T, &lookup) == CURLE_OK && lookup > 0) return;
  ql::platform::leavingThreadIn(kResolverCode);
}

// libcurl calls these with the transfer as its data pointer. None may let an
// exception escape into libcurl: a throwing receiver counts as a refusal.
struct transfer_callbacks {
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<http_transfer*>(self);
    Guard guard(transfer.lock_);
    const std::size_t n = size * count;
    const std::size_t refusal = n == 0 ? 1 : 0;  // anything but n ends the transfer with 23
    try {
      if (transfer.headersPending_) {
        transfer.headersPending_ = false;
        if (transfer.callback_ != nullptr && !transfer.callback_->receiveInfo(transfer, transfer.user_data_)) {
          return refusal;
        }
      }
      // Bytes held back come again once the transfer is resumed.
      const auto now = http_transfer::receive_pace::clock::now();
      if (!transfer.pace_.ready(now, transfer.pacedUntil_) ||
          (transfer.sharedPace_ != nullptr && !transfer.sharedPace_->ready(now, transfer.pacedUntil_))) {
        transfer.paced_ = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      transfer.pace_.count(n);
      if (transfer.sharedPace_ != nullptr) transfer.sharedPace_->count(n);
      if (transfer.callback_ != nullptr &&
          !transfer.callback_->receiveData(transfer, transfer.user_data_, data, static_cast<uint32_t>(n))) {
        return refusal;
      }
    } catch (...) {
      return refusal;
    }
    return n;
  }

  static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<http_transfer*>(self);
    Guard guard(transfer.lock_);
    if (transfer.callback_ == nullptr) return 0;
    uint32_t written = 0;
    try {
      if (!transfer.callback_->provideData(transfer, transfer.user_data_, buffer, static_cast<uint32_t>(size * count),
                                           written)) {
        return CURL_READFUNC_ABORT;
      }
    } catch (...) {
      return CURL_READFUNC_ABORT;
    }
    return written;
  }

  static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<http_transfer*>(self)->cancelRequested() ? 1 : 0;
  }
};

void http_transfer::receive_pace::start(int64_t bytesPerSecond) {
  *this = receive_pace();
  cap_ = bytesPerSecond;
}

bool http_transfer::receive_pace::ready(clock::time_point now, clock::time_point& resumeAt) {
  if (cap_ <= 0) return true;
  if (!started_) {
    started_ = true;
    since_ = now;
  }
  // When the bytes handed on so far are due at the cap; the clock starts
  // with the first body byte, so connecting earns no credit.
  const clock::time_point due = since_ + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
                                             static_cast<double>(handedOn_) / static_cast<double>(cap_)));
  if (due <= now) return true;
  resumeAt = due;
  return false;
}

void http_transfer::ListDeleter::operator()(curl_slist* list) const { curl_slist_free_all(list); }

bool http_transfer::large_buffer_slot::take() {
  if (held_) return true;
  int held = largeBuffersHeld.load();
  while (held < kLargeBufferTransfers) {
    if (largeBuffersHeld.compare_exchange_weak(held, held + 1)) {
      held_ = true;
      return true;
    }
  }
  return false;
}

void http_transfer::large_buffer_slot::giveBack() {
  if (!held_) return;
  held_ = false;
  largeBuffersHeld.fetch_sub(1);
}

http_transfer::http_transfer() = default;

http_transfer::~http_transfer() { reset(); }

// The handle goes first, reset by the pool: it still points at the list and
// at this transfer. The hold on the HTTP system goes last, once libcurl has
// nothing of this transfer left.
void http_transfer::dropHandle() {
  if (handles_) {
    char* effectiveUrl = nullptr;
    if (result_ == CURLE_OK) curl_easy_getinfo(handles_.easy(), CURLINFO_EFFECTIVE_URL, &effectiveUrl);
    handle_pool::instance().giveBack(std::move(handles_), effectiveUrl);
    handles_ = pooled_handles();
  }
  headerList_.reset();
  largeBuffer_.giveBack();
  if (holding_) {
    holding_ = false;
    http_system::instance().letGo();
  }
}

void http_transfer::reset() {
  Guard guard(lock_);
  dropHandle();
  kept_ = head_info{};
  result_ = 0;
  headersPending_ = true;
  pace_.start(0);
  paced_ = false;
  sharedPace_ = nullptr;
  callback_ = nullptr;
  user_data_ = 0;
}

bool http_transfer::setup(const http_request_params& params) { return setup(params, proxy_route{}, 0); }

bool http_transfer::setup(const http_request_params& params, const proxy_route& route, std::size_t hop) {
  Guard guard(lock_);
  reset();
  route_ = route;
  hop_ = hop;
  result_ = http_system::instance().hold();
  if (result_ != 0) return false;
  holding_ = true;
  handles_ = handle_pool::instance().take(params.url);
  if (!handles_) {
    result_ = CURLE_FAILED_INIT;
    return false;
  }
  receiveBufferBytes_ = largeBuffer_.take() ? kReceiveBufferBytes : kSmallReceiveBufferBytes;
  params_ = params;
  pace_.start(params_.maxRecvSpeed);

  // curl_slist_append returns null on exhaustion and leaves the list as it
  // was; the list is then simply shorter.
  auto append = [this](const std::string& line) {
    curl_slist* longer = curl_slist_append(headerList_.get(), line.c_str());
    if (longer != nullptr) {
      headerList_.release();
      headerList_.reset(longer);
    }
  };
  append("Content-Type: application/xml;charset=UTF-8");
  append("Accept: text/html, text/xml, text/*, */*");
  append("Connection: Keep-Alive");
  for (const std::string& line : params_.headers) append(line);
  if (params_.method == http_method::upload) append("Transfer-Encoding: chunked");

  if (configure()) return true;
  if (!handles_.used()) return false;
  // libcurl refuses some options on a handle whose last transfer ended
  // before it connected (the receive buffer is still there for its size):
  // that pair is closed and a new one set up.
  handles_ = handle_pool::instance().fresh();
  if (!handles_) {
    result_ = CURLE_FAILED_INIT;
    return false;
  }
  return configure();
}

bool http_transfer::configure() {
  CURL* handle = handles_.easy();
  auto set = [this](CURLcode code) {
    result_ = code;
    return code == CURLE_OK;
  };
  const bool posting = params_.method == http_method::post && !params_.body.empty();
  const bool uploading = params_.method == http_method::upload;
  const std::string& proxy = route_.hops[hop_];
  // The order matters: the first refused option ends the set-up.
  return set(curl_easy_setopt(handle, CURLOPT_URL, params_.url.c_str())) &&
         // Always set, so that libcurl never reads the environment itself:
         // the route has read it already, and "" goes direct.
         set(curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str())) && (proxy.empty() || configureProxy(handle)) &&
         set(curl_easy_setopt(handle, CURLOPT_HTTP_VERSION,
                              static_cast<long>(params_.allowHttp2 && http2Available() ? CURL_HTTP_VERSION_2TLS
                                                                                       : CURL_HTTP_VERSION_1_1))) &&
         // On a shared multi handle a transfer that may go over HTTP/2 waits
         // for a connection that may carry it too, rather than opening one of
         // its own. Not otherwise: libcurl lets such waiting transfers go on
         // only one at a time, as others end.
         (!params_.driver || !mayMultiplex(params_) || set(curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L))) &&
         set(curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent)) &&
         set(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList_.get())) &&
         set(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeout)) &&
         set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit)) &&
         set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedTime)) &&
         set(curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(params_.timeout))) &&
         set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L)) &&
         set(curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects)) &&
         set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kProtocols)) &&
         set(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols)) &&
         // TLS 1.0 and 1.1 are deprecated; left unset, Windows' TLS would
         // still agree to them with a server that offers nothing newer.
         set(curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2))) &&
         // Windows' TLS checks revocation; a revocation server out of reach
         // must not fail every handshake (a certificate reported revoked
         // still does). libcurl ignores the option elsewhere.
         set(curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT))) &&
         set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L)) &&
         // An unfinished name look-up is left to end alone rather than waited
         // for when the transfer goes (noteLeftResolver).
         set(curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L)) &&
         // What the pool keeps between transfers: the DNS answers and TLS
         // sessions shared by all, and connections idle no longer than the
         // pool keeps them.
         set(curl_easy_setopt(handle, CURLOPT_SHARE, handles_.share())) &&
         set(curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, static_cast<long>(handle_pool::kMaxIdleAge.count()))) &&
         set(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L)) &&
         set(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &transfer_callbacks::progress)) &&
         set(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(this))) &&
         set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &transfer_callbacks::write)) &&
         set(curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(this))) &&
         set(curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferBytes_)) &&
         (!uploading || (set(curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L)) &&
                         set(curl_easy_setopt(handle, CURLOPT_READFUNCTION, &transfer_callbacks::read)) &&
                         set(curl_easy_setopt(handle, CURLOPT_READDATA, static_cast<void*>(this))))) &&
         (!posting || (set(curl_easy_setopt(handle, CURLOPT_POST, 1L)) &&
                       set(curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, params_.body.c_str())))) &&
         (!params_.noBody || set(curl_easy_setopt(handle, CURLOPT_NOBODY, 1L)));
}

bool http_transfer::configureProxy(void* easy) {
  CURL* handle = easy;
  auto set = [this](CURLcode code) {
    result_ = code;
    return code == CURLE_OK;
  };
  const std::string& proxy = route_.hops[hop_];
  // A password goes only where one was given: with the proxy's URL. Without
  // one, a proxy that asks gets the logged-on user's sign-in where the
  // system has one (an empty user and password tell libcurl's SSPI to use
  // it), and nothing elsewhere.
  constexpr long kSignIn = CURLAUTH_NEGOTIATE | CURLAUTH_NTLM;
  const bool given = proxyHasCredentials(proxy);
  return set(curl_easy_setopt(handle, CURLOPT_NOPROXY, route_.noProxy.c_str())) &&
         (given ? set(curl_easy_setopt(handle, CURLOPT_PROXYAUTH, kSignIn | CURLAUTH_BASIC))
                : !ql::platform::kProxySignInAsUser || (set(curl_easy_setopt(handle, CURLOPT_PROXYAUTH, kSignIn)) &&
                                                        set(curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":"))));
}

bool http_transfer::perform(const http_request_params& params, http_request_callback* callback) {
  // The handle holds the connection and libcurl's internal socket pair until
  // it goes; a host may keep a finished request for as long as it likes.
  struct release_at_end {
    http_transfer& transfer;
    ~release_at_end() { transfer.release(); }
  } releaser{*this};
  return run(params, callback);
}

namespace {
// Codes of a transfer that never reached past its proxy, so that the next
// one its route names may be tried.
bool proxyUnreachable(CURLcode code) {
  return code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT || code == CURLE_PROXY;
}
}  // namespace

bool http_transfer::run(const http_request_params& params, http_request_callback* callback) {
  // Here, on the worker: a PAC look-up may take seconds.
  const std::optional<proxy_route> route =
      routeFor(params.url, [&] { return callback != nullptr && callback->isCancelled(*this, 0); });
  if (!route) {
    Guard guard(lock_);
    reset();
    result_ = CURLE_ABORTED_BY_CALLBACK;
    return false;
  }
  CURLcode code = CURLE_OK;
  for (std::size_t hop = 0; hop < route->hops.size(); ++hop) {
    CURL* handle;
    CURLM* multi;
    {
      Guard guard(lock_);
      if (!setup(params, *route, hop)) return false;
      callback_ = callback;
      user_data_ = 0;
      handle = handles_.easy();
      multi = handles_.multi();
    }
    // Not under the lock: the callbacks take it for their own duration, and the
    // handles only change in setup/reset, which this thread alone calls.
    if (params.driver) {
      {
        Guard wake(wakeLock_);
        waitingDriver_ = params.driver;
      }
      code = static_cast<CURLcode>(params.driver->run(handle, *this));
      Guard wake(wakeLock_);
      waitingDriver_.reset();
    } else {
      code = static_cast<CURLcode>(drive(handle, multi));
    }
    if (route->hops[hop].empty() || !proxyUnreachable(code)) break;
  }

  Guard guard(lock_);
  result_ = code;
  if (code == CURLE_OK && headersPending_ && callback_ != nullptr) {
    // A transfer without body bytes still reports its head, once.
    headersPending_ = false;
    bool accepted = false;
    try {
      accepted = callback_->receiveInfo(*this, user_data_);
    } catch (...) {
    }
    if (!accepted) {
      result_ = CURLE_ABORTED_BY_CALLBACK;
      return false;
    }
  }
  return result_ == CURLE_OK;
}

// What curl_easy_perform does, with the multi handle that came with the easy
// one: its wait can be woken, where curl_easy_perform's sleeps up to a second
// between progress calls and so between looks at the cancel flag. The easy
// handle leaves the multi handle at the end; its connection stays in the
// multi handle's cache for the next transfer that takes the pair.
int http_transfer::drive(void* handle, void* multi) {
  if (curl_multi_add_handle(multi, handle) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  {
    Guard wake(wakeLock_);
    waiting_ = multi;
  }
  CURLcode code = CURLE_OK;
  int running = 1;
  while (running != 0) {
    CURLMcode step = curl_multi_perform(multi, &running);
    int waitMs = 1000;
    if (step == CURLM_OK && running != 0 && paced_) {
      // A paused transfer reads nothing, so libcurl would not ask about a
      // cancel until it is resumed: this loop asks instead.
      if (cancelRequested()) {
        code = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(pacedUntil_ - receive_pace::clock::now());
      if (left.count() <= 0) {
        paced_ = false;
        // Hands on the bytes held back, which may pause the transfer again.
        code = curl_easy_pause(handle, CURLPAUSE_CONT);
        if (code != CURLE_OK) break;
        continue;
      }
      waitMs = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), waitMs));
    }
    if (step == CURLM_OK && running != 0) step = curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    if (step != CURLM_OK) {
      code = step == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
      break;
    }
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == handle) code = message->data.result;
  }
  {
    Guard wake(wakeLock_);
    waiting_ = nullptr;
  }
  noteLeftResolver(handle, code);
  curl_multi_remove_handle(multi, handle);
  return code;
}

bool http_transfer::cancelRequested() {
  Guard guard(lock_);
  try {
    return callback_ != nullptr && callback_->isCancelled(*this, user_data_);
  } catch (...) {
    return true;
  }
}

void http_transfer::wakeUp() {
  Guard wake(wakeLock_);
  if (waiting_ != nullptr) curl_multi_wakeup(waiting_);
  if (waitingDriver_) waitingDriver_->wake();
}

std::u16string http_transfer::viaWords() {
  Guard guard(lock_);
  return vela::http::viaWords(route_.hops[hop_], route_.source);
}

bool http_transfer::proxySignInRefused() {
  Guard guard(lock_);
  const head_info answers = head();
  return !route_.hops[hop_].empty() && (answers.proxyCode == 407 || (answers.codeRead && answers.code == 407));
}

long http_transfer::receiveBufferBytes() {
  Guard guard(lock_);
  return receiveBufferBytes_;
}

int32_t http_transfer::result() {
  Guard guard(lock_);
  return result_;
}

std::string http_transfer::describe(int32_t code, int32_t timeout) {
  std::string out;
  if (code == CURLE_PARTIAL_FILE) out += "Transfer closed. ";
  if (code == CURLE_OPERATION_TIMEDOUT) {
    out += "Operation too slow. Less than 1 bytes/sec";
    if (timeout != 0) out += " transferred the last " + std::to_string(timeout) + " seconds";
    out += ". ";
  }
  out += curl_easy_strerror(static_cast<CURLcode>(code));
  return out;
}

int32_t http_transfer::errorText(std::string& out) {
  Guard guard(lock_);
  out.clear();
  out = describe(result_, params_.timeout);
  return result_;
}

http_transfer::head_info http_transfer::head() {
  if (!handles_) return kept_;
  head_info answers;
  answers.codeRead = curl_easy_getinfo(handles_.easy(), CURLINFO_RESPONSE_CODE, &answers.code) == CURLE_OK;
  curl_off_t length = -1;
  answers.lengthRead = curl_easy_getinfo(handles_.easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK;
  answers.length = length;
  curl_easy_getinfo(handles_.easy(), CURLINFO_HTTP_CONNECTCODE, &answers.proxyCode);
  return answers;
}

void http_transfer::release() {
  Guard guard(lock_);
  kept_ = head();
  dropHandle();
}

bool http_transfer::responseCode(long& out) {
  Guard guard(lock_);
  const head_info answers = head();
  if (answers.codeRead) out = answers.code;
  return answers.codeRead;
}

bool http_transfer::contentLength(double& out) {
  Guard guard(lock_);
  const head_info answers = head();
  if (answers.lengthRead) out = static_cast<double>(answers.length);
  return answers.lengthRead;
}

bool http_transfer::header(const char* name, std::string& out) {
  Guard guard(lock_);
  if (!handles_) return false;
  curl_header* found = nullptr;
  if (curl_easy_header(handles_.easy(), name, 0, CURLH_HEADER, -1, &found) != CURLHE_OK || found == nullptr) {
    return false;
  }
  out = found->value;
  return true;
}

bool http_transfer::keptResponseCode(long& out) const {
  if (kept_.codeRead) out = kept_.code;
  return kept_.codeRead;
}

bool http_transfer::keptContentLength(double& out) const {
  if (kept_.lengthRead) out = static_cast<double>(kept_.length);
  return kept_.lengthRead;
}

}  // namespace vela::http
