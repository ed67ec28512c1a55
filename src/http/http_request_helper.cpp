#include "http/http_request_helper.h"

#include <atomic>

#include "platform/platform.h"

namespace vela::http {
namespace {
std::atomic<int> workersRunning{0};
}  // namespace

int http_request_helper::runningWorkers() { return workersRunning.load(); }

void http_request_helper::forgetWorkersInForkedChild() { workersRunning.store(0); }

http_request_helper::~http_request_helper() {
  stopWorker();
  Guard guard(*this);
  error_.reset();
  curl_code_ = -1;
}

void http_request_helper::stopWorker() {
  cancel();
  waitThread();
}

bool http_request_helper::isCancelled(http_transfer&, uintptr_t) {
  Guard guard(*this);
  return cancelled_;
}

bool http_request_helper::provideData(http_transfer&, uintptr_t, void* buffer, uint32_t size, uint32_t& written) {
  Guard guard(*this);
  return onSendData(buffer, size, written);
}

bool http_request_helper::receiveInfo(http_transfer&, uintptr_t) {
  Guard guard(*this);
  return onReceiveInfo();
}

bool http_request_helper::receiveData(http_transfer&, uintptr_t, const void* data, uint32_t size) {
  Guard guard(*this);
  return onReceiveData(data, size);
}

bool http_request_helper::onSendData(void*, uint32_t, uint32_t& written) {
  written = 0;
  return true;
}

bool http_request_helper::onReceiveInfo() { return true; }

bool http_request_helper::onReceiveData(const void*, uint32_t) { return true; }

void http_request_helper::beforeFinished(bool) {}

void http_request_helper::onFinished(bool) {}

bool http_request_helper::beforeTransfer(http_request_params&) { return true; }

bool http_request_helper::afterTransfer(transfer_outcome&, http_request_params&) { return false; }

bool http_request_helper::cancelRequested() {
  Guard guard(*this);
  return cancelled_;
}

bool http_request_helper::startThread(const http_request_params& params) {
  Guard guard(*this);
  if (thread_) {
    if (!thread_->finished()) return false;
    thread_.reset();
  }
  cancelled_ = false;
  error_.reset();  // a new run starts without the last run's error
  curl_code_ = -1;
  params_ = params;
  // The handle is stored before the lock is let go, so nobody sees a running
  // worker without it; it is allocated before the worker exists, so running
  // out of memory cannot leave a worker that nobody joins.
  auto thread = std::make_shared<ql::platform::Thread>();
  ++workersRunning;  // before the worker can end and count itself out
  *thread = ql::platform::Thread::start(&threadEntry, this);
  if (thread->empty()) {
    --workersRunning;
    // Without this the request would read as finished and successful.
    setError(std::make_unique<http_exception>(u"Failed to start request thread"));
    return false;
  }
  thread_ = std::move(thread);
  return true;
}

bool http_request_helper::isFinished() {
  Guard guard(*this);
  if (queued_) return false;
  if (!thread_) return true;
  if (!thread_->finished()) return false;
  thread_.reset();
  return true;
}

bool http_request_helper::waitThread() {
  std::shared_ptr<ql::platform::Thread> thread;
  {
    Guard guard(*this);
    if (!thread_) return true;
    if (thread_->finished()) {
      thread_.reset();
      return true;
    }
    thread = thread_;
  }
  // Outside the lock: the worker needs it to finish.
  thread->wait();
  Guard guard(*this);
  if (thread_ == thread) thread_.reset();
  return true;
}

void http_request_helper::markQueued() {
  Guard guard(*this);
  queued_ = true;
}

bool http_request_helper::leaveQueue() {
  Guard guard(*this);
  const bool waited = queued_;
  queued_ = false;
  return waited;
}

void http_request_helper::cancel() {
  {
    Guard guard(*this);
    cancelled_ = true;
    if (queued_) {
      // Nothing runs that would end it.
      queued_ = false;
      setError(make_curl_error(42, ql::platform::ansiToWide(http_transfer::describe(42, 0).c_str())));
      curl_code_ = 42;
      try {
        onFinished(false);
      } catch (...) {
      }
      return;
    }
  }
  transfer_.wakeUp();  // the flag is read at the progress call this brings on
}

http_request_helper::status_snapshot http_request_helper::snapshot() {
  Guard guard(*this);
  status_snapshot reading;
  reading.finished = isFinished();
  reading.failed = error_ != nullptr;
  reading.curlCode = curl_code_;
  if (reading.finished) {
    // The ended run's head as its transfer kept it. Not through the transfer
    // lock: the worker's callbacks take that lock before the request lock.
    long status = 0;
    reading.statusRead = transfer_.keptResponseCode(status);
    reading.status = static_cast<int32_t>(status);
    reading.lengthRead = transfer_.keptContentLength(reading.length);
  }
  return reading;
}

std::unique_ptr<Exception> http_request_helper::getError() {
  Guard guard(*this);
  return error_ ? clone_owned(*error_) : nullptr;
}

void http_request_helper::setError(std::unique_ptr<Exception> error) {
  Guard guard(*this);
  error_ = std::move(error);
  curl_code_ = -1;
}

int32_t http_request_helper::getCurlCode() {
  Guard guard(*this);
  return curl_code_;
}

// Only the transfer lock: the worker's callbacks take the transfer lock and
// then the request lock, so taking them the other way round here could meet
// them in the opposite order.
bool http_request_helper::getResponseCode(int32_t* out) {
  long code = 0;
  const bool ok = transfer_.responseCode(code);
  if (out != nullptr) *out = static_cast<int32_t>(code);
  return ok;
}

bool http_request_helper::getContentLength(double* out) {
  double length = 0.0;
  const bool ok = transfer_.contentLength(length);
  if (out != nullptr) *out = length;
  return ok;
}

bool http_request_helper::getHeader(const char* name, std::string& out) { return transfer_.header(name, out); }

unsigned http_request_helper::threadEntry(void* self) {
  static_cast<http_request_helper*>(self)->run();
  return 0;
}

void http_request_helper::run() noexcept {
  // params_ is not locked: no start is accepted while this worker runs.
  transfer_outcome outcome;
  try {
    while (beforeTransfer(params_)) {
      outcome = transfer_outcome{};
      outcome.transferred = transfer_.perform(params_, this);
      // Read before the request lock is taken, for the lock order above.
      if (!outcome.transferred) outcome.code = transfer_.errorText(outcome.text);
      outcome.statusRead = getResponseCode(&outcome.status);
      outcome.via = transfer_.viaWords();
      outcome.signInRefused = transfer_.proxySignInRefused();
      if (!afterTransfer(outcome, params_)) break;
    }
  } catch (...) {
  }
  bool success = false;
  {
    Guard guard(*this);
    try {
      success = recordOutcome(outcome);
    } catch (...) {
      success = false;
    }
  }
  try {
    beforeFinished(success);
  } catch (...) {
  }
  Guard guard(*this);
  try {
    onFinished(success);
  } catch (...) {
  }
  --workersRunning;
}

bool http_request_helper::recordOutcome(const transfer_outcome& outcome) {
  // Whatever else went wrong followed from a proxy that let nothing through.
  if (outcome.signInRefused) {
    setError(make_proxy_sign_in_error(outcome.via));
    return false;
  }
  // A handler's own error explains the failure better than the libcurl code
  // its refusal caused.
  if (error_) return false;
  if (!outcome.transferred) {
    setError(make_curl_error(outcome.code, ql::platform::ansiToWide(outcome.text.c_str()), outcome.via));
    curl_code_ = outcome.code;
    return false;
  }
  if (outcome.statusRead && outcome.status != 200 && outcome.status != 206 && !outcome.complete) {
    setError(make_status_error(outcome.status, outcome.via));
    return false;
  }
  return true;
}

}  // namespace vela::http
