// A download of one URL into one file with a ranged GET. The target is opened
// without sharing, so a second download onto the same file fails at start.
// A download may also resume the bytes already on disk, write into a side
// file that replaces the target only once complete, verify a SHA-256 while
// the bytes arrive, retry transient failures and fall back to mirrors.
//
// Bytes are only ever appended to bytes of the same version of the file: a
// partial answer must start exactly at the bytes kept and end at the file's
// end, and every request for the rest names the version kept (If-Range with
// its validator), so that a server holding another version sends it whole.
// A resumable download keeps that validator beside the partial file
// ("<target>.part.meta"), for a run after the host or the machine restarted.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/http_request_helper.h"
#include "platform/platform.h"

namespace vela::http {

// How a download runs; the defaults make the plain download.
struct download_options {
  std::vector<std::string> urls;  // the URL, then the mirrors in the order tried
  bool resume = false;            // keep the bytes on disk and ask only for the rest
  bool atomic = false;            // write "<target>.part", renamed onto the target once complete
  int64_t expectedSize = -1;      // the full size, -1 when unknown
  bool verify = false;            // check sha256 at the end
  std::array<unsigned char, ql::platform::Sha256::kDigestSize> sha256{};
  uint32_t retries = 0;  // per URL, for transient failures
  int64_t maxBytesPerSecond = 0;
  bool checkSpace = false;  // refuse a file whose rest does not fit on its volume, before its first byte
  std::shared_ptr<transfer_driver> driver;  // where the transfers run: null for the request's own
  bool allowHttp2 = false;
};

class download_job;

class http_request_file_helper : public http_request_helper {
 public:
  // `options` flag: continue after the bytes already in the file instead of
  // emptying it. The range then starts at the existing size.
  static constexpr uint32_t resume_existing = 0x1;
  // The side file of an atomic download: the target's name with this added.
  static constexpr const char16_t* kPartSuffix = u".part";
  // The record of the version a partial file holds: the target's name with
  // this added, whether the download is atomic or not.
  static constexpr const char16_t* kRecordSuffix = u".part.meta";

  http_request_file_helper() = default;
  ~http_request_file_helper() override;

  // Opens `file_name` (created when missing), cuts it at the start offset and
  // starts the worker. `hint`, when positive, is the expected full size of
  // the file; a 206 answer must then complete the file to exactly that size.
  // Failures are recorded as the request's error, never thrown.
  bool Start(const char* url, const char16_t* file_name, int64_t hint, uint32_t options);
  // The same with every option of a download; `options.urls` holds at least one.
  bool Start(const char16_t* file_name, const download_options& options);
  // Ends a request that never starts, with `words` as its error.
  void refuse(std::u16string words);

  // Size of the open target file; 0 once the run has ended and closed it.
  int64_t getDownloadedSize();
  // The full size (expected, or learnt from the answers; -1 when unknown)
  // and the bytes in the file, also after the run has closed it.
  std::pair<int64_t, int64_t> progress();

 protected:
  bool onReceiveInfo() override;
  bool onReceiveData(const void* data, uint32_t size) override;
  void onFinished(bool success) override;
  bool beforeTransfer(http_request_params& params) override;
  bool afterTransfer(transfer_outcome& outcome, http_request_params& params) override;
  void beforeFinished(bool success) override;  // verifyFile()
  // What the download does on the way, for the host's log: `what` happened,
  // and how.
  virtual void note(const char16_t* what, std::u16string detail);

  void closeFile();
  // At the end of a run that has not failed, without the request lock:
  // records an error when the file is no longer the one written, or no
  // longer holds what was written; an atomic download's file then replaces
  // the target.
  void verifyFile();

 private:
  enum class failure { transient, url, request };
  failure classify(const transfer_outcome& outcome);
  // Checks the whole file; on a mismatch the file is emptied for a new start.
  bool verifyDigest();
  // After a transfer, under the request lock: the seconds to wait before the
  // next one, with `params` set for it, or -1 when the run is over.
  int64_t nextAttempt(transfer_outcome& outcome, http_request_params& params);
  // Waits out a retry's delay; false when the host cancelled meanwhile.
  bool backOff(int64_t seconds);
  std::u16string failureWords(const transfer_outcome& outcome);
  // The next request's range, naming the version kept when there are bytes.
  void rangeFromWritten(http_request_params& params);
  // Handlers of a 206 and a 416 answer; `kept` is the bytes in the file.
  bool takePartial(int64_t length, int64_t kept);
  bool takeUnsatisfiable(int64_t kept);
  // The answer's validator: the strong ETag or the Last-Modified date, in
  // the order the download prefers; empty when it gives neither.
  std::string validatorOfAnswer();
  // Empties the file for a new start from byte 0, forgetting the version.
  bool startOver();
  // Before the first body byte of an answer: false, with the error
  // recorded, when the rest of the file cannot fit on its volume.
  bool roomForTheRest();
  // The record of the version on disk: kept in step with the answers,
  // read back by a resume, dropped once the file is complete.
  void keepRecord();
  int64_t loadRecord(int64_t offset);
  void dropRecord();
  const char16_t* recordSuffix() const;

  ql::platform::File file_;
  int64_t full_size_ = -1;  // -1: unknown
  download_options options_;
  std::u16string target_;
  std::unique_ptr<ql::platform::Sha256> hash_;  // while verifying
  int64_t kept_ = 0;                            // bytes of an earlier run kept at the start, still in the file
  int64_t unhashed_ = 0;                        // kept bytes the hash has yet to read
  int64_t last_written_ = 0;                    // the file's size when it was closed
  bool check_end_size_ = false;
  bool skip_body_ = false;  // the answer's body is not the file's (a 416)
  bool complete_ = false;   // the file was already whole
  bool started_over_ = false;
  bool range_misfit_ = false;  // the answer's range did not fit: a retry may do better
  bool restart_ = false;       // the server's file is not the kept bytes' version: start over
  bool no_room_ = false;       // the volume cannot hold the file: no server can help
  std::string validator_;      // If-Range value of the version on disk; empty when unknown
  bool keep_record_ = false;   // the partial file may be resumed by a later run
  std::string record_;         // the record as last written or read
  int64_t retry_after_ = -1;   // seconds the server asked for
  std::size_t url_index_ = 0;
  uint32_t attempt_ = 0;
};

// Where a download's records go: the export layer hands in the host's queue.
using record_sink = std::function<void(std::u16string)>;

// The download the host starts with QL_DownloadFile: it keeps what the
// response head announced for the host to poll, and logs the end of its run.
class FileDownloadRequest final : public http_request_file_helper {
 public:
  struct head_info {
    bool infoReceived = false;
    int32_t contentLength = 0;  // -1 when the response announced none
    int32_t responseCode = 0;
  };

  explicit FileDownloadRequest(record_sink records, uint32_t id = 0) : records_(std::move(records)), id_(id) {}
  ~FileDownloadRequest() override;

  head_info headInfo();  // one consistent reading under the request lock

  // A file of `job`, which starts it with startQueued() once it has room; it
  // reads as running until then. startQueued() is false when a cancel ended
  // it while it waited.
  void joinJob(std::shared_ptr<download_job> job, std::u16string target, download_options options);
  bool startQueued();
  uint32_t id() const { return id_; }
  // The run's status and the head together, under one hold of the lock.
  std::pair<status_snapshot, head_info> downloadSnapshot();

 private:
  bool onReceiveInfo() override;
  void onFinished(bool success) override;
  void note(const char16_t* what, std::u16string detail) override;

  // Tells the job, once, that this file has ended.
  void reportToJob(bool success);

  const record_sink records_;
  const uint32_t id_;
  head_info head_;
  std::shared_ptr<download_job> job_;
  std::u16string queuedTarget_;
  download_options queuedOptions_;
  bool reported_ = false;
  bool started_ = false;  // left the job's queue
};

}  // namespace vela::http
