#include "http/http_request_file_helper.h"

#include <cmath>
#include <string>

namespace vela::http {
namespace {

constexpr const char16_t* kSourceFile = u"velaBase\\velaHttpRequestFileHelper";
constexpr const char16_t* kStartSignature =
    u"bool __thiscall vela::http::http_request_file_helper::Start(const char *,const wchar_t *,__int64,const unsigned "
    u"int)";
constexpr const char16_t* kReceiveInfoSignature =
    u"bool __thiscall vela::http::http_request_file_helper::onReceiveInfo(void)";
constexpr const char16_t* kReceiveDataSignature =
    u"bool __thiscall vela::http::http_request_file_helper::onReceiveData(void *,unsigned int)";
constexpr const char16_t* kFinishedSignature =
    u"void __thiscall vela::http::http_request_file_helper::onFinished(bool)";

// Where a run starts writing. Only a resume keeps bytes, and never more than
// the file holds; a file already larger than the expected whole cannot be a
// prefix of it and starts over.
int64_t startOffset(int64_t existing, int64_t hint, uint32_t options) {
  if ((options & http_request_file_helper::resume_existing) == 0) return 0;
  if (hint > 0 && existing > hint) return 0;
  return existing;
}

}  // namespace

http_request_file_helper::~http_request_file_helper() {
  stopWorker();
  Guard guard(*this);
  closeFile();
}

bool http_request_file_helper::Start(const char* url, const char16_t* file_name, int64_t hint, uint32_t options) {
  Guard guard(*this);
  if (!isFinished()) return false;
  closeFile();
  http_request_params params;
  int64_t full_size = 0;
  try {
    using ql::platform::lastError;
    if (file_name == nullptr || *file_name == u'\0') {
      // What the system says for an empty path; no open is attempted.
      throw SysException(ql::platform::kErrorPathNotFound, kSourceFile, __LINE__, kStartSignature);
    }
    if (!file_.openExclusive(file_name)) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    int64_t existing = 0;
    if (!file_.size(existing)) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    const int64_t offset = startOffset(existing, hint, options);
    if (!file_.seek(offset)) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    if (!file_.truncate()) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);

    params.url = url == nullptr ? "" : url;
    params.method = http_method::get;
    params.headers.push_back("Range: bytes=" + std::to_string(offset) + "-");
    full_size = hint > 0 ? hint : 0;
  } catch (const Exception& error) {
    closeFile();
    setError(clone_owned(error));
    return false;
  }
  full_size_ = full_size;
  if (!startThread(params)) {
    // No worker will end this run, so it ends here, as a worker would have:
    // the file is released and the failure reported.
    onFinished(false);
    return false;
  }
  return true;
}

int64_t http_request_file_helper::getDownloadedSize() {
  Guard guard(*this);
  // What the worker has written, kept by the file: no system call per poll.
  return file_.isOpen() ? file_.writtenSize() : 0;
}

void http_request_file_helper::verifyFile() {
  Guard guard(*this);
  // A run that already failed keeps its own error.
  if (!file_.isOpen() || getError() != nullptr) return;
  if (!file_.verifyIntact()) {
    setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kFinishedSignature));
  }
}

void http_request_file_helper::closeFile() {
  Guard guard(*this);
  file_.close();
  full_size_ = 0;
}

bool http_request_file_helper::onReceiveInfo() {
  using ql::platform::lastError;
  int32_t status = 0;
  double announced = 0.0;
  getResponseCode(&status);
  getContentLength(&announced);

  if (status == 200) {
    // The whole file comes (the range was ignored): start it over.
    if (!file_.seek(0)) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    if (!file_.truncate()) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    return true;
  }
  if (status == 206) {
    int64_t current = 0;
    if (!file_.size(current)) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    if (full_size_ != 0) {
      const auto length = static_cast<int64_t>(announced);
      if (full_size_ != current + length) {
        setError(make_length_error(full_size_, current, length));
        return false;
      }
    }
    return true;
  }
  setError(make_status_error(status));
  return false;
}

bool http_request_file_helper::onReceiveData(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return true;
  uint32_t written = 0;
  if (!file_.write(data, size, written) || written != size) {
    setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kReceiveDataSignature));
    return false;
  }
  return true;
}

void http_request_file_helper::onFinished(bool) {
  verifyFile();
  closeFile();
}

FileDownloadRequest::~FileDownloadRequest() { stopWorker(); }

FileDownloadRequest::head_info FileDownloadRequest::headInfo() {
  Guard guard(*this);
  return head_;
}

std::pair<http_request_helper::status_snapshot, FileDownloadRequest::head_info>
FileDownloadRequest::downloadSnapshot() {
  Guard guard(*this);
  return {snapshot(), head_};
}

bool FileDownloadRequest::onReceiveInfo() {
  head_.infoReceived = true;
  double length = 0.0;
  if (getContentLength(&length)) {
    // The low 32 bits of the whole number of bytes; an unknown length stays -1.
    head_.contentLength = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(std::floor(length))));
  } else {
    records_(u"Failed to get downloadable content length");
  }
  int32_t status = 0;
  if (getResponseCode(&status)) {
    head_.responseCode = status;
  } else {
    records_(u"Failed to get response code");
  }
  return http_request_file_helper::onReceiveInfo();
}

void FileDownloadRequest::onFinished(bool) {
  // Whether the file still holds what was written belongs to the outcome.
  verifyFile();
  // The recorded error alone decides the text.
  std::unique_ptr<vela::Exception> error = getError();
  records_(u"Request finished: " + (error ? error->text() : std::u16string(u"success")));
  closeFile();
}

}  // namespace vela::http
