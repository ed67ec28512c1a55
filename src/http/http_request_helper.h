// The base of every request object: one HTTP transfer run to its end on a
// worker thread of its own, with a cancel flag and the recorded error of the
// last run. The worker uses the object without owning it and makes virtual
// calls on it until it ends, so the worker must be stopped before any part of
// the object is destroyed: make_request's owners do that, and the request
// classes are final, each stopping the worker first in its own destructor.
// No destructor may therefore run on the worker itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "http/http_exception.h"
#include "http/http_request_callback.h"
#include "http/http_request_params.h"
#include "http/http_transfer.h"
#include "http/syncronized_object.h"
#include "platform/platform.h"

namespace vela::http {

class http_request_helper : public http_lockable, public http_request_callback {
 public:
  http_request_helper() = default;
  virtual ~http_request_helper();

  // The callback operations: each takes the request lock and hands over to
  // the matching handler below.
  bool isCancelled(http_transfer& transfer, uintptr_t user_data) override;
  bool provideData(http_transfer& transfer, uintptr_t user_data, void* buffer, uint32_t size,
                   uint32_t& written) override;
  bool receiveInfo(http_transfer& transfer, uintptr_t user_data) override;
  bool receiveData(http_transfer& transfer, uintptr_t user_data, const void* data, uint32_t size) override;

  // True when no worker runs (also for a request that never started), and
  // it is not waiting in a queue.
  bool isFinished();
  // A request that waits for room to start (a job's file) reads as running;
  // a cancel meanwhile ends it at once, as cancelled. leaveQueue() is false
  // when it no longer waits.
  void markQueued();
  bool leaveQueue();
  // Blocks without a time limit until the worker has ended.
  bool waitThread();
  void cancel();
  // Sets the cancel flag and joins the worker.
  void stopWorker();

  // Workers of every request, process-wide, that have not yet finished their
  // run; a worker counts until its last record is written.
  static int runningWorkers();
  // In a forked child, where none of the parent's workers runs.
  static void forgetWorkersInForkedChild();

  // One reading for the host, under the request lock: whether the worker has
  // ended, whether the run failed, its libcurl code and, once the worker has
  // ended, the response head its transfer kept.
  struct status_snapshot {
    bool finished = false;
    bool failed = false;
    int32_t curlCode = -1;
    bool statusRead = false;
    int32_t status = 0;
    bool lengthRead = false;
    double length = 0.0;  // -1 when no length was announced
  };
  status_snapshot snapshot();

  // Owned copy of the recorded error, null when none.
  std::unique_ptr<Exception> getError();
  // Records `error` in place of any earlier one; resets the libcurl code.
  void setError(std::unique_ptr<Exception> error);
  int32_t getCurlCode();
  // The response head of the last run, under the transfer lock alone. Host
  // threads ask only once the worker has finished; handlers ask on the worker.
  bool getResponseCode(int32_t* out);
  bool getContentLength(double* out);  // -1 when no length was announced
  // A header of the response being received, for handlers on the worker.
  bool getHeader(const char* name, std::string& out);

 protected:
  using Guard = std::lock_guard<SyncronizedObject>;

  // What one transfer of a run came to.
  struct transfer_outcome {
    bool transferred = false;
    int32_t code = 0;  // libcurl code and its description when not transferred
    std::string text;
    bool statusRead = false;
    int32_t status = 0;
    bool complete = false;       // a status other than 200 and 206 that a handler took as the whole answer
    std::u16string via;          // the proxy it went through, for the failure's words
    bool signInRefused = false;  // at a proxy that wanted a sign-in
  };

  // Starts a run with `params`. False while an earlier run is still going, and
  // when the worker thread cannot be created (then an error is recorded).
  bool startThread(const http_request_params& params);
  // A run may take more than one transfer. On the worker, without the request
  // lock: beforeTransfer() before each one, which may change `params` or end
  // the run with false (its error recorded); afterTransfer() after each one,
  // true to transfer again with `params`. It may change the outcome that
  // the run then records; an error it leaves recorded decides the failure.
  virtual bool beforeTransfer(http_request_params& params);
  virtual bool afterTransfer(transfer_outcome& outcome, http_request_params& params);
  // Whether the host asked this run to stop.
  bool cancelRequested();
  // The words a failure of the running transfer adds for its proxy.
  std::u16string proxyWords() { return transfer_.viaWords(); }
  // On the worker once the run's outcome is recorded and before
  // onFinished(), without the request lock: for a last step that may take
  // seconds, while the host's polls and cancels carry on. The run still
  // counts as running.
  virtual void beforeFinished(bool success);
  // Handlers, run on the worker with the request lock held.
  virtual bool onSendData(void* buffer, uint32_t size, uint32_t& written);
  virtual bool onReceiveInfo();
  virtual bool onReceiveData(const void* data, uint32_t size);
  virtual void onFinished(bool success);

 private:
  static unsigned threadEntry(void* self);
  void run() noexcept;
  bool recordOutcome(const transfer_outcome& outcome);  // under the request lock

  // Shared so that a waiter keeps the handle alive while another thread reaps it.
  std::shared_ptr<ql::platform::Thread> thread_;
  http_transfer transfer_;
  bool cancelled_ = false;
  bool queued_ = false;
  std::unique_ptr<Exception> error_;
  int32_t curl_code_ = -1;
  http_request_params params_;
};

// A request for shared owners: whoever lets go last stops the worker before
// the object's destruction begins.
template <typename Request, typename... Args>
std::shared_ptr<Request> make_request(Args&&... args) {
  static_assert(std::is_final_v<Request>, "a class derived from it could be destroyed under its worker");
  return std::shared_ptr<Request>(new Request(std::forward<Args>(args)...), [](Request* request) {
    request->stopWorker();
    delete request;
  });
}

}  // namespace vela::http
