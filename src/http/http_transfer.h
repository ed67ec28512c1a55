// One libcurl easy transfer, owned by its request and run on the request's
// worker thread. Its handles come from the process-wide pool and go back
// to it as soon as a run ends, so that a finished request holds no
// connection of its own; what the response head queries read is kept with
// the transfer until the next set-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "http/handle_pool.h"
#include "http/http_request_callback.h"
#include "http/http_request_params.h"
#include "http/proxy_route.h"
#include "platform/platform.h"

struct curl_slist;

namespace vela::http {

class http_transfer {
 public:
  static constexpr const char* kUserAgent = "zep::setup/22.04.01.0365";
  static constexpr long kConnectTimeout = 60;  // seconds
  static constexpr long kLowSpeedLimit = 1;    // bytes per second ...
  static constexpr long kLowSpeedTime = 60;    // ... for this many seconds
  static constexpr long kMaxRedirects = 30;
  // What libcurl reads from the socket at a time: as large as the curl
  // tool's, so a fast download costs as few receive calls per byte.
  static constexpr long kReceiveBufferBytes = 100 * 1024;
  // A server's bursts fill all of it, and it stays resident while the
  // transfer runs: at thousands of transfers it would double the memory.
  // So only this many transfers at once read with it; the others take
  // libcurl's default, which slows only a fast transfer, and many at once
  // share the bandwidth anyway.
  static constexpr int kLargeBufferTransfers = 16;
  static constexpr long kSmallReceiveBufferBytes = 16 * 1024;  // libcurl's default
  // The only schemes used, for the request and for every redirect: no local
  // files and no other protocols, whatever a URL or a server names.
  static constexpr const char* kProtocols = "http,https";

  http_transfer();
  ~http_transfer();
  http_transfer(const http_transfer&) = delete;
  http_transfer& operator=(const http_transfer&) = delete;

  // Configures a handle from the pool, from scratch, from `params`, going
  // direct; on failure result() says why.
  bool setup(const http_request_params& params);
  // Runs one whole transfer on the calling thread and gives the handle back:
  // through the proxies its route names, each tried in turn while the one
  // before cannot be reached. True when libcurl reported success and the
  // callback accepted the head.
  bool perform(const http_request_params& params, http_request_callback* callback);
  void reset();

  // Cuts short the running transfer's wait for network activity, so that it
  // asks its callback about a cancel at once rather than within a second.
  // Any thread; takes only a lock of its own, never the transfer lock.
  void wakeUp();

  // Writes the readable description of result() into `out`; returns result().
  int32_t errorText(std::string& out);
  // The description errorText() gives for `code` on a transfer limited to
  // `timeout` seconds.
  static std::string describe(int32_t code, int32_t timeout);

  int32_t result();
  // Response head queries, answered by the handle while it exists and, after
  // a run, as libcurl answered them at its end; false when libcurl refused
  // them or the run never had a handle.
  bool responseCode(long& out);
  bool contentLength(double& out);  // -1 when the response announced none
  // The value of the last response's header `name`, while the transfer runs
  // (its callbacks); false when there is none.
  bool header(const char* name, std::string& out);

  // The same answers as kept when the last run let its handle go, read
  // without the transfer lock: only for a caller ordered after the run's end
  // (its request's lock, which the worker takes once the run is over).
  bool keptResponseCode(long& out) const;
  bool keptContentLength(double& out) const;

  // What the handle made by the last setup() reads with at a time; 0 before
  // any handle.
  long receiveBufferBytes();

  // The words a failure of the last (or running) transfer adds for the
  // proxy it went through; empty when it went direct.
  std::u16string viaWords();
  // Whether the last run ended at a proxy that wanted a sign-in (407) it did
  // not get or accept.
  bool proxySignInRefused();

  // The transfer lock, for callers that query the handle.
  ql::platform::RecursiveLock& lock() { return lock_; }

 private:
  struct ListDeleter {
    void operator()(curl_slist* list) const;
  };

  // One of the kLargeBufferTransfers places, held by the handle that reads
  // with the large buffer and given back with it.
  class large_buffer_slot {
   public:
    large_buffer_slot() = default;
    ~large_buffer_slot() { giveBack(); }
    large_buffer_slot(const large_buffer_slot&) = delete;
    large_buffer_slot& operator=(const large_buffer_slot&) = delete;
    bool take();  // false when every place is held
    void giveBack();

   private:
    bool held_ = false;
  };

  friend struct transfer_callbacks;  // libcurl's write, read and progress callbacks
  friend class download_job;         // drives the transfer on its own multi handle

  // Holds a transfer's receive rate to its cap. libcurl's own cap averages
  // over seconds and, in the versions we ship, lets a fast server's whole
  // burst through; this one counts the body bytes handed on and pauses the
  // transfer whenever they run ahead of the cap, so at any moment at most
  // one receive buffer is ahead of it.
  class receive_pace {
   public:
    using clock = std::chrono::steady_clock;
    void start(int64_t bytesPerSecond);
    // Whether more bytes may be handed on now; when not, `resumeAt` is when
    // they may. count() then counts those handed on.
    bool ready(clock::time_point now, clock::time_point& resumeAt);
    void count(std::size_t n) { handedOn_ += static_cast<int64_t>(n); }
    int64_t handedOn() const { return handedOn_; }

   private:
    int64_t cap_ = 0;  // bytes per second, 0 for none
    bool started_ = false;
    clock::time_point since_;
    int64_t handedOn_ = 0;
  };

  // The response head queries' answers, each with whether libcurl gave it.
  struct head_info {
    bool codeRead = false;
    long code = 0;
    bool lengthRead = false;
    int64_t length = -1;
    long proxyCode = 0;  // the proxy's answer to a tunnel's CONNECT
  };

  // setup() for hop `hop` of `route`.
  bool setup(const http_request_params& params, const proxy_route& route, std::size_t hop);
  bool configure();                   // sets the options in order; false on the first refusal
  bool configureProxy(void* handle);  // for a hop through a proxy
  bool run(const http_request_params& params, http_request_callback* callback);
  int drive(void* handle, void* multi);  // the easy handle to its end; libcurl's result code
  bool cancelRequested();                // asks the callback, under the transfer lock
  head_info head();                      // under the transfer lock
  void release();                        // keeps head(), then lets the handle and its list go
  void dropHandle();                     // the handles back to the pool, then the list and the hold on the HTTP system

  ql::platform::RecursiveLock lock_;
  // The waiting multi handle of a running transfer, for wakeUp(); guarded by
  // a leaf lock of its own, as a cancel holds the request lock.
  ql::platform::RecursiveLock wakeLock_;
  void* waiting_ = nullptr;
  pooled_handles handles_;
  std::unique_ptr<curl_slist, ListDeleter> headerList_;
  large_buffer_slot largeBuffer_;
  long receiveBufferBytes_ = 0;
  head_info kept_;
  int32_t result_ = 0;
  bool holding_ = false;  // of the HTTP system, while there is a handle
  bool headersPending_ = true;
  receive_pace pace_;
  receive_pace* sharedPace_ = nullptr;  // a job's cap over all its transfers, on the job's thread
  bool paced_ = false;                  // paused by a cap until pacedUntil_
  receive_pace::clock::time_point pacedUntil_;
  std::shared_ptr<transfer_driver> waitingDriver_;  // the driver of a running transfer, for wakeUp()
  http_request_params params_;
  proxy_route route_;
  std::size_t hop_ = 0;  // the entry of route_.hops in use
  http_request_callback* callback_ = nullptr;
  uintptr_t user_data_ = 0;
};

// After a transfer on `easy` ended with libcurl's `result`: keeps libcurl's
// code mapped when the transfer left its resolver thread behind.
void noteLeftResolver(void* easy, int result);

}  // namespace vela::http
