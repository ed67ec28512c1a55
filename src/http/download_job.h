// A job: many downloads that the library runs itself, as many at a time as
// the job allows, through one libcurl multi handle on one thread of its own,
// so that connections are shared (HTTP/2 carries many files over one) and
// the next file starts as soon as one ends, whatever the host's poll rate.
//
// Each file keeps its whole download logic (ranges, answers, digests,
// retries, mirrors): its request's worker runs it as for any download and
// hands each transfer to the job's thread, waiting for its end meanwhile.
// Only files that transfer have a worker; the others wait in the job's queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_request_file_helper.h"
#include "http/http_request_params.h"
#include "http/http_transfer.h"
#include "platform/platform.h"

namespace vela::http {

struct job_settings {
  bool http1 = false;          // keep every transfer on HTTP/1.1
  uint32_t maxTransfers = 16;  // files transferring at once
  uint32_t maxConnectionsPerHost = 6;
  int64_t maxBytesPerSecond = 0;  // for the whole job, 0 for none
};

class download_job final : public transfer_driver, public std::enable_shared_from_this<download_job> {
 public:
  struct figures {
    uint32_t files = 0;
    uint32_t filesDone = 0;
    uint32_t filesFailed = 0;
    int64_t bytesTotal = 0;  // -1 while a file's size is unknown
    int64_t bytesWritten = 0;
    int64_t bytesPerSecond = 0;
    bool paused = false;
  };

  // `records` takes the job's log records; `id` names it in them.
  download_job(job_settings settings, record_sink records, uint32_t id);
  ~download_job() override;
  download_job(const download_job&) = delete;
  download_job& operator=(const download_job&) = delete;

  // Makes the multi handle and starts the thread; false when either fails.
  bool start();
  // Queues `file` to download `options` into `target`; false once the job
  // is stopping, and the file is then left alone.
  bool add(const std::shared_ptr<FileDownloadRequest>& file, std::u16string target, download_options options);
  figures progress();
  void pause(bool paused);
  // True once every file added so far has ended, within `limit`.
  bool wait(std::chrono::milliseconds limit);
  // Cancels every file, waits for their ends, and ends the thread. Returns
  // the ids of the files added. The job takes no files from then on.
  std::vector<uint32_t> stop();

  // For the files: one of them ended, after it was started or while it
  // waited.
  void fileEnded(bool success, bool started);

  // transfer_driver, for the files' workers.
  int run(void* easy, http_transfer& transfer) override;
  void wake() override;

 private:
  // A transfer handed over by a worker, which waits until `done`.
  struct active {
    void* easy = nullptr;
    http_transfer* transfer = nullptr;
    bool added = false;
    bool done = false;
    int code = 0;
    // Its own, so that an end wakes only its worker, not every waiting one.
    std::condition_variable ended;
  };
  struct queued {
    std::weak_ptr<FileDownloadRequest> file;
  };

  static unsigned threadEntry(void* self);
  void loop();
  // On the job's thread: starts files while there is room.
  void startFiles();
  void finish(active& transfer, int code);
  void samplePace();

  const job_settings settings_;
  const record_sink records_;
  const uint32_t id_;
  void* multi_ = nullptr;
  bool holding_ = false;  // of the HTTP system, while the multi handle exists
  ql::platform::Thread thread_;
  http_transfer::receive_pace pace_;  // the job's cap over all its transfers; the thread's alone

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<queued> queue_;
  std::vector<std::weak_ptr<FileDownloadRequest>> files_;
  std::vector<active*> submitted_;  // handed over, not yet on the multi handle
  std::vector<active*> running_;    // on the multi handle (the thread's alone)
  // Files the thread started, let go by the host's next call: never on the
  // thread, where a last owner would join a worker that waits for it.
  std::vector<std::shared_ptr<FileDownloadRequest>> graveyard_;
  uint32_t transferring_ = 0;  // files started and not yet ended
  uint32_t done_ = 0;
  uint32_t failed_ = 0;
  bool paused_ = false;
  bool pauseApplied_ = false;  // the thread's alone
  bool stopping_ = false;
  bool exiting_ = false;
  // HTTP/2 stream errors per host (the thread's alone); from the third on
  // that host's transfers keep to HTTP/1.1.
  std::map<std::string, int> streamErrors_;
  // Bytes received over time, for the speed of the last seconds.
  std::deque<std::pair<std::chrono::steady_clock::time_point, int64_t>> samples_;
};

}  // namespace vela::http
