#include "http/http_request_file_helper.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

#include "text/text.h"

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
int64_t startOffset(int64_t existing, int64_t expected, bool resume) {
  if (!resume) return 0;
  if (expected >= 0 && existing > expected) return 0;
  return existing;
}

std::u16string decimal(int64_t value) { return ql::asciiToWide(std::to_string(value).c_str()); }

std::u16string hex(const unsigned char* digest, std::size_t size) {
  static const char16_t digits[] = u"0123456789abcdef";
  std::u16string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 0xF];
  }
  return text;
}

// Failures that a later attempt at the same URL may not meet: the network,
// the server's load, a name look-up or a handshake that failed this time.
bool transientCode(int32_t code) {
  switch (code) {
    case 6:   // could not resolve the host
    case 7:   // could not connect (refused)
    case 18:  // the body ended before its announced length
    case 28:  // timed out
    case 35:  // TLS handshake
    case 52:  // the server sent nothing
    case 55:  // send failed (reset)
    case 56:  // receive failed (reset)
      return true;
    default: return false;
  }
}

bool transientStatus(int32_t status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// Backoff before retry `attempt` (0 for the first): 1 s, doubling, at most
// 30 s; a server's Retry-After in seconds wins, up to 60 s.
int64_t retryDelay(uint32_t attempt, int64_t retryAfter) {
  if (retryAfter >= 0) return std::min<int64_t>(retryAfter, 60);
  return attempt >= 5 ? 30 : std::min<int64_t>(int64_t{1} << attempt, 30);
}

// "bytes */1234" or "bytes 0-99/1234": the whole size, -1 when not given.
int64_t totalOfContentRange(const std::string& value) {
  const std::size_t slash = value.rfind('/');
  if (slash == std::string::npos || slash + 1 >= value.size()) return -1;
  int64_t total = 0;
  for (std::size_t i = slash + 1; i < value.size(); ++i) {
    const char c = value[i];
    if (c == ' ' || c == '\t' || c == '\r') break;
    if (c < '0' || c > '9' || total > (INT64_MAX - 9) / 10) return -1;
    total = total * 10 + (c - '0');
  }
  return total;
}

// Retry-After in whole seconds; -1 for a date or anything else.
int64_t secondsOfRetryAfter(const std::string& value) {
  if (value.empty() || value.size() > 9) return -1;
  int64_t seconds = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return -1;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

constexpr uint32_t kHashReadBytes = 256 * 1024;

}  // namespace

http_request_file_helper::~http_request_file_helper() {
  stopWorker();
  Guard guard(*this);
  closeFile();
}

bool http_request_file_helper::Start(const char* url, const char16_t* file_name, int64_t hint, uint32_t options) {
  download_options plain;
  plain.urls.emplace_back(url == nullptr ? "" : url);
  plain.resume = (options & resume_existing) != 0;
  plain.expectedSize = hint > 0 ? hint : -1;
  return Start(file_name, plain);
}

bool http_request_file_helper::Start(const char16_t* file_name, const download_options& options) {
  Guard guard(*this);
  if (!isFinished()) return false;
  closeFile();
  http_request_params params;
  int64_t offset = 0;
  try {
    using ql::platform::lastError;
    if (file_name == nullptr || *file_name == u'\0') {
      // What the system says for an empty path; no open is attempted.
      throw SysException(ql::platform::kErrorPathNotFound, kSourceFile, __LINE__, kStartSignature);
    }
    const std::u16string path = options.atomic ? file_name + std::u16string(kPartSuffix) : std::u16string(file_name);
    // A verified resume reads the kept bytes back into the hash.
    if (!file_.openExclusive(path, options.verify && options.resume)) {
      throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    }
    // The size the open found, under its lock.
    offset = startOffset(file_.writtenSize(), options.expectedSize, options.resume);
    if (!file_.seek(offset)) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    if (!file_.truncate()) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);

    params.url = options.urls.empty() ? "" : options.urls.front();
    params.method = http_method::get;
    params.maxRecvSpeed = options.maxBytesPerSecond;
    rangeFromWritten(params);
    hash_ = options.verify ? std::make_unique<ql::platform::Sha256>() : nullptr;
    options_ = options;
    target_ = file_name;
  } catch (const Exception& error) {
    closeFile();
    setError(clone_owned(error));
    return false;
  }
  full_size_ = options.expectedSize;
  check_end_size_ = options.expectedSize >= 0;
  kept_ = offset;
  unhashed_ = hash_ ? offset : 0;
  skip_body_ = false;
  complete_ = false;
  started_over_ = false;
  retry_after_ = -1;
  url_index_ = 0;
  attempt_ = 0;
  if (offset > 0) note(u"Resume download", u"from " + decimal(offset) + u" bytes");
  if (!startThread(params)) {
    // No worker will end this run, so it ends here, as a worker would have:
    // the file is released and the failure reported.
    onFinished(false);
    return false;
  }
  return true;
}

void http_request_file_helper::refuse(std::u16string words) {
  Guard guard(*this);
  setError(std::make_unique<http_exception>(std::move(words)));
}

void http_request_file_helper::note(const char16_t*, std::u16string) {}

void http_request_file_helper::rangeFromWritten(http_request_params& params) {
  params.headers.clear();
  params.headers.push_back("Range: bytes=" + std::to_string(file_.writtenSize()) + "-");
}

int64_t http_request_file_helper::getDownloadedSize() {
  Guard guard(*this);
  // What the worker has written, kept by the file: no system call per poll.
  return file_.isOpen() ? file_.writtenSize() : 0;
}

std::pair<int64_t, int64_t> http_request_file_helper::progress() {
  Guard guard(*this);
  return {full_size_, file_.isOpen() ? file_.writtenSize() : last_written_};
}

void http_request_file_helper::verifyFile() {
  ql::platform::File finished;
  {
    Guard guard(*this);
    // A run that already failed keeps its own error.
    if (!file_.isOpen() || getError() != nullptr) return;
    if (!file_.verifyIntact()) {
      setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kFinishedSignature));
      return;
    }
    if (!options_.atomic) return;
    // Polls read the size from here on, as after the file is closed.
    last_written_ = file_.writtenSize();
    finished = std::move(file_);
  }
  // The rename may wait seconds for another program to let go of the file,
  // which the host's polls must not wait for. The target is not locked: no
  // start is accepted while this worker runs.
  if (!finished.replace(target_)) {
    setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kFinishedSignature));
  }
}

void http_request_file_helper::closeFile() {
  Guard guard(*this);
  if (file_.isOpen()) last_written_ = file_.writtenSize();
  file_.close();
}

bool http_request_file_helper::onReceiveInfo() {
  using ql::platform::lastError;
  int32_t status = 0;
  double announced = -1.0;
  getResponseCode(&status);
  getContentLength(&announced);
  const auto length = static_cast<int64_t>(announced);
  skip_body_ = false;

  if (status == 200) {
    // The whole file comes (the range was ignored): start it over, unless it
    // is not the file expected.
    if (full_size_ >= 0 && check_end_size_ && length >= 0 && length != full_size_) {
      setError(make_length_error(full_size_, 0, length));
      return false;
    }
    if (!file_.seek(0)) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    if (!file_.truncate()) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    kept_ = 0;
    if (hash_) hash_->reset();
    if (full_size_ < 0 && length >= 0) full_size_ = length;
    return true;
  }
  if (status == 206) {
    int64_t current = 0;
    if (!file_.size(current)) {
      setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kReceiveInfoSignature));
      return false;
    }
    if (full_size_ >= 0) {
      if (full_size_ != current + length) {
        setError(make_length_error(full_size_, current, length));
        return false;
      }
    } else if (length >= 0) {
      full_size_ = current + length;
    }
    return true;
  }
  if (status == 416 && options_.resume && file_.writtenSize() > 0) {
    // Nothing is left past the bytes on disk: the file is already whole when
    // they are exactly the full size.
    std::string range;
    const int64_t total = full_size_ >= 0                     ? full_size_
                          : getHeader("Content-Range", range) ? totalOfContentRange(range)
                                                              : -1;
    if (total == file_.writtenSize()) {
      full_size_ = total;
      skip_body_ = true;
      complete_ = true;
      return true;
    }
  }
  if (status == 429 || status == 503) {
    std::string value;
    retry_after_ = getHeader("Retry-After", value) ? secondsOfRetryAfter(value) : -1;
  }
  setError(make_status_error(status));
  return false;
}

bool http_request_file_helper::onReceiveData(const void* data, uint32_t size) {
  if (data == nullptr || size == 0 || skip_body_) return true;
  uint32_t written = 0;
  if (!file_.write(data, size, written) || written != size) {
    setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kReceiveDataSignature));
    return false;
  }
  if (hash_) hash_->update(data, size);
  return true;
}

bool http_request_file_helper::beforeTransfer(http_request_params&) {
  using ql::platform::lastError;
  {
    Guard guard(*this);
    skip_body_ = false;
    complete_ = false;
    retry_after_ = -1;
    if (unhashed_ == 0) return true;
  }
  // The kept bytes are read without the request lock, so that the host's
  // polls go on meanwhile: only this worker uses the file until the run ends.
  std::vector<unsigned char> buffer(kHashReadBytes);
  int64_t offset = 0;
  while (offset < unhashed_) {
    if (cancelRequested()) break;  // the transfer then ends at once as cancelled
    const auto want = static_cast<uint32_t>(std::min<int64_t>(unhashed_ - offset, kHashReadBytes));
    uint32_t read = 0;
    const bool ok = file_.readAt(offset, buffer.data(), want, read);
    if (!ok || read == 0) {
      // A file cut under the download no longer holds what was kept.
      const uint32_t code = ok ? ql::platform::kErrorSharingViolation : lastError();
      setError(std::make_unique<SysException>(code, kSourceFile, __LINE__, kStartSignature));
      return false;
    }
    hash_->update(buffer.data(), read);
    offset += read;
  }
  Guard guard(*this);
  unhashed_ = 0;
  // Windows' reads moved the position that its writes use.
  if (!file_.seek(file_.writtenSize())) {
    setError(std::make_unique<SysException>(lastError(), kSourceFile, __LINE__, kStartSignature));
    return false;
  }
  return true;
}

bool http_request_file_helper::verifyDigest() {
  std::array<unsigned char, ql::platform::Sha256::kDigestSize> digest{};
  unsigned char received[ql::platform::Sha256::kDigestSize];
  if (!hash_->finish(received)) {
    setError(std::make_unique<http_exception>(u"SHA-256 could not be computed"));
    return false;
  }
  std::copy(std::begin(received), std::end(received), digest.begin());
  if (digest == options_.sha256) return true;
  setError(std::make_unique<http_exception>(u"SHA-256 mismatch: expected " +
                                            hex(options_.sha256.data(), options_.sha256.size()) + u", received " +
                                            hex(digest.data(), digest.size())));
  return false;
}

http_request_file_helper::failure http_request_file_helper::classify(const transfer_outcome& outcome) {
  const std::unique_ptr<Exception> error = getError();
  // The disk or the file: another server cannot help.
  if (dynamic_cast<const SysException*>(error.get()) != nullptr) return failure::request;
  // Status 0: no answer came, and libcurl's code tells why.
  const bool answered = outcome.statusRead && outcome.status != 0;
  if (answered && outcome.status != 200 && outcome.status != 206 && !outcome.complete) {
    return transientStatus(outcome.status) ? failure::transient : failure::url;
  }
  if (error != nullptr) return failure::url;  // a length that does not fit, a wrong hash
  if (!outcome.transferred) return transientCode(outcome.code) ? failure::transient : failure::url;
  return failure::url;
}

std::u16string http_request_file_helper::failureWords(const transfer_outcome& outcome) {
  const std::unique_ptr<Exception> error = getError();
  if (error != nullptr) return error->text();
  return make_curl_error(outcome.code, ql::platform::ansiToWide(outcome.text.c_str()))->text();
}

bool http_request_file_helper::backOff(int64_t seconds) {
  // Looks at the cancel flag ten times a second: a cancel ends the wait
  // well within a second.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (cancelRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !cancelRequested();
}

bool http_request_file_helper::afterTransfer(transfer_outcome& outcome, http_request_params& params) {
  int64_t delay = -1;
  {
    Guard guard(*this);
    delay = nextAttempt(outcome, params);
  }
  if (delay < 0) return false;
  // Without the request lock: the host polls and cancels meanwhile.
  if (backOff(delay)) return true;
  // Ended as any cancel ends a transfer.
  Guard guard(*this);
  setError(nullptr);
  outcome = transfer_outcome{};
  outcome.code = 42;
  outcome.text = http_transfer::describe(42, 0);
  return false;
}

int64_t http_request_file_helper::nextAttempt(transfer_outcome& outcome, http_request_params& params) {
  const bool answered = outcome.transferred && getError() == nullptr;
  bool wrongFile = false;
  if (answered) {
    outcome.complete = complete_;
    if (check_end_size_ && file_.writtenSize() != full_size_) {
      setError(make_length_error(full_size_, file_.writtenSize(), 0));
    } else if (!hash_ || verifyDigest()) {
      return -1;  // done
    } else if (kept_ > 0 && !started_over_) {
      // The kept bytes may be what is wrong: once more from the start.
      started_over_ = true;
      note(u"Verification failed", failureWords(outcome) + u"; starting over");
      setError(nullptr);
      kept_ = 0;
      if (!file_.seek(0) || !file_.truncate()) {
        setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kFinishedSignature));
        return -1;
      }
      rangeFromWritten(params);
      return 0;
    } else {
      note(u"Verification failed", failureWords(outcome));
      wrongFile = true;
      // Whatever comes next starts from an empty file.
      if (!file_.seek(0) || !file_.truncate()) return -1;
    }
  }
  if (cancelRequested()) return -1;
  const failure kind = answered ? failure::url : classify(outcome);
  if (kind == failure::request) return -1;
  int64_t delay = 0;
  if (kind == failure::transient && attempt_ < options_.retries) {
    delay = retryDelay(attempt_, retry_after_);
    ++attempt_;
    note(u"Retry download", u"<" + ql::platform::ansiToWide(options_.urls[url_index_].c_str()) + u"> retry " +
                                decimal(attempt_) + u" of " + decimal(options_.retries) + u" in " + decimal(delay) +
                                u" s after: " + failureWords(outcome));
  } else if (url_index_ + 1 < options_.urls.size()) {
    ++url_index_;
    attempt_ = 0;
    note(u"Switch to mirror",
         u"<" + ql::platform::ansiToWide(options_.urls[url_index_].c_str()) + u"> after: " + failureWords(outcome));
  } else {
    // A wrong file is of no use to a later resume.
    if (wrongFile) file_.remove();
    return -1;
  }
  setError(nullptr);
  params.url = options_.urls[url_index_];
  rangeFromWritten(params);
  return delay;
}

void http_request_file_helper::beforeFinished(bool) { verifyFile(); }

void http_request_file_helper::onFinished(bool) { closeFile(); }

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

void FileDownloadRequest::note(const char16_t* what, std::u16string detail) {
  records_(what + (u": " + ql::toDecimalText(id_)) + u" " + detail);
}

void FileDownloadRequest::onFinished(bool) {
  // The recorded error alone decides the text; it includes what verifyFile()
  // found, as whether the file still holds what was written belongs to the
  // outcome.
  std::unique_ptr<vela::Exception> error = getError();
  records_(u"Request finished: " + (error ? error->text() : std::u16string(u"success")));
  closeFile();
}

}  // namespace vela::http
