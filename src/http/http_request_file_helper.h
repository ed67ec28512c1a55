// A download of one URL into one file with a ranged GET. The target is opened
// without sharing, so a second download onto the same file fails at start.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "http/http_request_helper.h"
#include "platform/platform.h"

namespace vela::http {

class http_request_file_helper : public http_request_helper {
 public:
  // `options` flag: continue after the bytes already in the file instead of
  // emptying it. The range then starts at the existing size.
  static constexpr uint32_t resume_existing = 0x1;

  http_request_file_helper() = default;
  ~http_request_file_helper() override;

  // Opens `file_name` (created when missing), cuts it at the start offset and
  // starts the worker. `hint`, when positive, is the expected full size of
  // the file; a 206 answer must then complete the file to exactly that size.
  // Failures are recorded as the request's error, never thrown.
  bool Start(const char* url, const char16_t* file_name, int64_t hint, uint32_t options);

  // Size of the open target file; 0 once the run has ended and closed it.
  int64_t getDownloadedSize();

 protected:
  bool onReceiveInfo() override;
  bool onReceiveData(const void* data, uint32_t size) override;
  void onFinished(bool success) override;

  void closeFile();
  // At the end of a run that has not failed: records an error when the file
  // is no longer the one written, or no longer holds what was written.
  void verifyFile();

 private:
  ql::platform::File file_;
  int64_t full_size_ = 0;  // 0: unknown
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

  explicit FileDownloadRequest(record_sink records) : records_(std::move(records)) {}
  ~FileDownloadRequest() override;

  head_info headInfo();  // one consistent reading under the request lock
  // The run's status and the head together, under one hold of the lock.
  std::pair<status_snapshot, head_info> downloadSnapshot();

 private:
  bool onReceiveInfo() override;
  void onFinished(bool success) override;

  const record_sink records_;
  head_info head_;
};

}  // namespace vela::http
