#include "http/http_request_file_helper.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/download_job.h"
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
    case 16:  // HTTP/2 framing
    case 92:  // an HTTP/2 stream reset by the server
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

// A Content-Range value: "bytes 0-99/1234", "bytes 0-99/*" or "bytes */1234".
struct content_range {
  int64_t first = -1;  // -1 for "*"
  int64_t last = -1;
  int64_t total = -1;  // -1 for "*"
};

// Reads the decimal number at `at`; false when there is none or it does not
// fit in 18 digits.
bool readNumber(const std::string& text, std::size_t& at, int64_t& value) {
  const std::size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 18) {
    value = value * 10 + (text[at++] - '0');
  }
  return at > start && (at == text.size() || text[at] < '0' || text[at] > '9');
}

bool parseContentRange(const std::string& text, content_range& out) {
  out = content_range{};
  std::size_t at = 0;
  const auto skipSpaces = [&] {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  };
  skipSpaces();
  static const char kUnit[] = "bytes";
  for (std::size_t i = 0; i + 1 < sizeof kUnit; ++i, ++at) {
    if (at >= text.size() || (text[at] | 0x20) != kUnit[i]) return false;
  }
  if (at >= text.size() || (text[at] != ' ' && text[at] != '\t')) return false;
  skipSpaces();
  if (at < text.size() && text[at] == '*') {
    ++at;
  } else if (!readNumber(text, at, out.first) || at >= text.size() || text[at++] != '-' ||
             !readNumber(text, at, out.last) || out.last < out.first) {
    return false;
  }
  if (at >= text.size() || text[at++] != '/') return false;
  if (at < text.size() && text[at] == '*') {
    ++at;
  } else if (!readNumber(text, at, out.total)) {
    return false;
  }
  skipSpaces();
  if (at != text.size()) return false;
  // A range needs a size it lies inside, and "*" stands only for no range.
  if (out.first < 0) return out.total >= 0;
  return out.total < 0 || out.last < out.total;
}

// What may be sent back in If-Range: visible ASCII, as ETags and dates are,
// and nothing that could end the header line.
bool usableValidator(const std::string& value) {
  if (value.empty() || value.size() > 512) return false;
  return std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The record of the version a partial file holds, one field a line.
constexpr const char* kRecordHead = "quillet partial download 1";
constexpr std::size_t kRecordLimit = 16 * 1024;

std::string recordText(const std::string& url, int64_t size, const std::string& validator) {
  return std::string(kRecordHead) + "\nurl " + url + "\nsize " + std::to_string(size) + "\nvalidator " + validator +
         "\nend\n";
}

// The fields of a record; false for anything but a whole record.
bool parseRecord(const std::string& text, std::string& url, int64_t& size, std::string& validator) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(text.substr(begin, end - begin));
  }
  if (begin != text.size() || lines.size() != 5 || lines[0] != kRecordHead || lines[4] != "end") return false;
  const auto field = [&](std::size_t line, const char* name, std::string& value) {
    const std::string prefix = std::string(name) + " ";
    if (lines[line].compare(0, prefix.size(), prefix) != 0) return false;
    value = lines[line].substr(prefix.size());
    return true;
  };
  std::string sizeText;
  if (!field(1, "url", url) || !field(2, "size", sizeText) || !field(3, "validator", validator)) return false;
  if (!validator.empty() && !usableValidator(validator)) return false;
  std::size_t at = sizeText.compare(0, 1, "-") == 0 ? 1 : 0;
  if (!readNumber(sizeText, at, size) || at != sizeText.size()) return false;
  if (sizeText[0] == '-') size = -1;
  return true;
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
  options_ = options;
  full_size_ = options.expectedSize;
  check_end_size_ = options.expectedSize >= 0;
  validator_.clear();
  record_.clear();
  keep_record_ = options.resume || options.atomic;
  try {
    using ql::platform::lastError;
    if (file_name == nullptr || *file_name == u'\0') {
      // What the system says for an empty path; no open is attempted.
      throw SysException(ql::platform::kErrorPathNotFound, kSourceFile, __LINE__, kStartSignature);
    }
    // The target is judged now, as the plain download's open judges it, not
    // when the whole body has arrived for it.
    if (options.atomic && !ql::platform::mayReplace(file_name)) {
      throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    }
    const std::u16string path = options.atomic ? file_name + std::u16string(kPartSuffix) : std::u16string(file_name);
    // A verified resume reads the kept bytes back into the hash.
    if (!file_.openExclusive(path, options.verify && options.resume)) {
      throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    }
    // The size the open found, under its lock.
    offset = startOffset(file_.writtenSize(), options.expectedSize, options.resume);
    if (offset > 0 && keep_record_) offset = loadRecord(offset);
    if (!file_.seek(offset)) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);
    if (!file_.truncate()) throw SysException(lastError(), kSourceFile, __LINE__, kStartSignature);

    params.url = options.urls.empty() ? "" : options.urls.front();
    params.method = http_method::get;
    params.maxRecvSpeed = options.maxBytesPerSecond;
    params.driver = options.driver;
    params.allowHttp2 = options.allowHttp2;
    hash_ = options.verify ? std::make_unique<ql::platform::Sha256>() : nullptr;
    target_ = file_name;
  } catch (const Exception& error) {
    closeFile();
    setError(clone_owned(error));
    return false;
  }
  kept_ = offset;
  unhashed_ = hash_ ? offset : 0;
  skip_body_ = false;
  complete_ = false;
  started_over_ = false;
  range_misfit_ = false;
  restart_ = false;
  retry_after_ = -1;
  url_index_ = 0;
  attempt_ = 0;
  if (offset > 0) note(u"Resume download", u"from " + decimal(offset) + u" bytes");
  rangeFromWritten(params);
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
  const int64_t from = file_.writtenSize();
  params.headers.clear();
  params.headers.push_back("Range: bytes=" + std::to_string(from) + "-");
  if (from == 0) return;
  if (!validator_.empty()) {
    params.headers.push_back("If-Range: " + validator_);
  } else {
    note(u"Resume without validator",
         u"from " + decimal(from) + u" bytes: a changed file on the server would not be noticed");
  }
}

const char16_t* http_request_file_helper::recordSuffix() const {
  // Beside the file written: "<target>.part" gains ".meta", the target itself
  // ".part.meta", so the record has one name either way.
  return options_.atomic ? u".meta" : kRecordSuffix;
}

void http_request_file_helper::keepRecord() {
  if (!keep_record_ || !file_.isOpen()) return;
  std::string text = recordText(options_.urls[url_index_], full_size_, validator_);
  if (text == record_) return;
  // Without a record a later run resumes without a validator: not a reason
  // to fail this one.
  if (file_.writeBeside(recordSuffix(), text)) record_ = std::move(text);
}

int64_t http_request_file_helper::loadRecord(int64_t offset) {
  std::string text;
  std::string url;
  int64_t size = -1;
  std::string validator;
  if (!file_.readBeside(recordSuffix(), text, kRecordLimit) || !parseRecord(text, url, size, validator)) return offset;
  // A record of another download, or of another size than the one expected,
  // says nothing of these bytes.
  if (std::find(options_.urls.begin(), options_.urls.end(), url) == options_.urls.end()) return offset;
  if (size >= 0 && options_.expectedSize >= 0 && size != options_.expectedSize) return offset;
  // More bytes than the version they came from had cannot be a prefix of it.
  if (size >= 0 && offset > size) return 0;
  validator_ = validator;
  if (full_size_ < 0) full_size_ = size;
  record_ = std::move(text);
  return offset;
}

void http_request_file_helper::dropRecord() {
  if (keep_record_ && file_.isOpen()) file_.removeBeside(recordSuffix());
  record_.clear();
}

std::string http_request_file_helper::validatorOfAnswer() {
  std::string etag;
  std::string modified;
  if (getHeader("ETag", etag) && (etag.compare(0, 2, "W/") == 0 || !usableValidator(etag))) etag.clear();
  if (getHeader("Last-Modified", modified) && !usableValidator(modified)) modified.clear();
  // With a digest to judge the result, the date comes first: mirrors and a
  // CDN's edges mostly agree on it, where each may make ETags of its own
  // and so cost a needless new start. Without one the ETag is the surer
  // proof that the version is the same.
  if (options_.verify) return !modified.empty() ? modified : etag;
  return !etag.empty() ? etag : modified;
}

bool http_request_file_helper::startOver() {
  kept_ = 0;
  unhashed_ = 0;
  if (hash_) hash_->reset();
  validator_.clear();
  full_size_ = options_.expectedSize;
  if (!file_.seek(0) || !file_.truncate()) {
    setError(std::make_unique<SysException>(ql::platform::lastError(), kSourceFile, __LINE__, kFinishedSignature));
    return false;
  }
  return true;
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
    // Complete: nothing is left to resume. A rename that fails after this
    // leaves a whole .part, which a resume finds complete without a record.
    dropRecord();
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
    // The whole file comes (the range was ignored, or the version kept is
    // gone): start it over, unless it is not the file expected.
    if (check_end_size_ && length >= 0 && length != options_.expectedSize) {
      setError(make_length_error(options_.expectedSize, 0, length));
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
    // This version's size and validator, not those of the bytes it replaces.
    full_size_ = check_end_size_ ? options_.expectedSize : (length >= 0 ? length : -1);
    validator_ = validatorOfAnswer();
    if (!roomForTheRest()) return false;
    keepRecord();
    return true;
  }
  if (status == 206) return takePartial(length, file_.writtenSize());
  if (status == 416 && takeUnsatisfiable(file_.writtenSize())) return true;
  if (getError() != nullptr) return false;
  if (status == 429 || status == 503) {
    std::string value;
    retry_after_ = getHeader("Retry-After", value) ? secondsOfRetryAfter(value) : -1;
  }
  setError(make_status_error(status, proxyWords()));
  return false;
}

bool http_request_file_helper::takePartial(int64_t length, int64_t kept) {
  // Only the rest of the file fits: from exactly the bytes kept to the end
  // (the range asked for), and as long as the announced length says.
  std::string value;
  content_range range;
  const bool given = getHeader("Content-Range", value);
  if (!given || !parseContentRange(value, range) || range.first != kept ||
      (range.total >= 0 && range.last != range.total - 1) || (length >= 0 && length != range.last - range.first + 1)) {
    range_misfit_ = true;
    setError(std::make_unique<http_exception>(u"Invalid partial answer: Content-Range " +
                                              (given ? u"\"" + ql::widenBytes(value) + u"\"" : u"missing") +
                                              u" for the bytes from " + decimal(kept)));
    return false;
  }
  if (range.total >= 0 && full_size_ >= 0 && range.total != full_size_) {
    if (check_end_size_) {
      setError(make_length_error(full_size_, kept, range.total - kept));
      return false;
    }
    // An earlier answer or the record gave another size: the kept bytes
    // belong to a version the server no longer has.
    restart_ = true;
    setError(std::make_unique<http_exception>(u"The file changed on the server: " + decimal(range.total) + u" bytes, " +
                                              decimal(full_size_) + u" before"));
    return false;
  }
  // A server that ignored If-Range names another version by its ETag.
  std::string etag;
  if (!validator_.empty() && validator_[0] == '"' && getHeader("ETag", etag) && etag[0] == '"' && etag != validator_) {
    restart_ = true;
    setError(std::make_unique<http_exception>(u"The file changed on the server: ETag " + ql::widenBytes(etag) + u", " +
                                              ql::widenBytes(validator_) + u" before"));
    return false;
  }
  if (full_size_ < 0) full_size_ = range.total;
  // The version the rest comes from, when nothing named the kept one.
  if (validator_.empty()) validator_ = validatorOfAnswer();
  if (!roomForTheRest()) return false;
  keepRecord();
  return true;
}

bool http_request_file_helper::roomForTheRest() {
  int64_t available = 0;
  const int64_t needed = full_size_ - file_.writtenSize();
  // A volume that cannot say is given the benefit of the doubt: a full disk
  // still fails the write, with the system's words.
  if (!options_.checkSpace || full_size_ < 0 || needed <= 0 || !file_.spaceLeft(available) || available >= needed) {
    return true;
  }
  no_room_ = true;
  setError(std::make_unique<http_exception>(u"Not enough disk space: " + decimal(needed) + u" bytes needed, " +
                                            decimal(available) + u" available"));
  return false;
}

bool http_request_file_helper::takeUnsatisfiable(int64_t kept) {
  // Nothing is left past the bytes kept: the file is whole when they are
  // exactly its size, an empty file included.
  std::string value;
  content_range range;
  const int64_t total = getHeader("Content-Range", value) && parseContentRange(value, range) ? range.total : full_size_;
  if (total == kept) {
    full_size_ = total;
    skip_body_ = true;
    complete_ = true;
    return true;
  }
  if (total >= 0 && total < kept) {
    // Longer than the server's file, so no prefix of it: start over, or the
    // same answer would come every time.
    restart_ = true;
    setError(std::make_unique<http_exception>(u"Range not satisfiable: the file has " + decimal(total) + u" bytes, " +
                                              decimal(kept) + u" kept"));
  }
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
    range_misfit_ = false;
    restart_ = false;
    no_room_ = false;
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
  if (no_room_) return failure::request;
  // Every URL goes through the same proxy; trying again asks it the same.
  if (outcome.signInRefused) return failure::request;
  // A server or a cache that answered with the wrong bytes may answer right
  // the next time; nothing was written.
  if (range_misfit_) return failure::transient;
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
  return make_curl_error(outcome.code, ql::platform::ansiToWide(outcome.text.c_str()), outcome.via)->text();
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
  if (restart_ && !started_over_ && !cancelRequested()) {
    // Once per run, so that a server that keeps contradicting itself cannot
    // keep the download going for ever.
    started_over_ = true;
    note(u"Start download over", failureWords(outcome));
    setError(nullptr);
    if (!startOver()) return -1;
    rangeFromWritten(params);
    return 0;
  }
  const bool answered = outcome.transferred && getError() == nullptr;
  bool wrongFile = false;
  if (answered) {
    outcome.complete = complete_;
    // The full size is known from the options or from the server's own
    // Content-Range, which a body without a length cannot be checked against
    // otherwise.
    if (full_size_ >= 0 && file_.writtenSize() != full_size_) {
      setError(make_length_error(full_size_, file_.writtenSize(), 0));
    } else if (!hash_ || verifyDigest()) {
      return -1;  // done
    } else if (kept_ > 0 && !started_over_) {
      // The kept bytes may be what is wrong: once more from the start.
      started_over_ = true;
      note(u"Verification failed", failureWords(outcome) + u"; starting over");
      setError(nullptr);
      if (!startOver()) return -1;
      rangeFromWritten(params);
      return 0;
    } else {
      note(u"Verification failed", failureWords(outcome));
      wrongFile = true;
      // Whatever comes next starts from an empty file.
      if (!startOver()) return -1;
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
    if (wrongFile) {
      dropRecord();
      file_.remove();
    }
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

void FileDownloadRequest::joinJob(std::shared_ptr<download_job> job, std::u16string target, download_options options) {
  Guard guard(*this);
  job_ = std::move(job);
  queuedTarget_ = std::move(target);
  queuedOptions_ = std::move(options);
  markQueued();
}

bool FileDownloadRequest::startQueued() {
  Guard guard(*this);
  // A cancel ended it while it waited; under the lock no cancel comes
  // between leaving the queue and the start.
  if (!leaveQueue()) return false;
  started_ = true;
  if (!Start(queuedTarget_.c_str(), queuedOptions_)) reportToJob(false);
  return true;
}

void FileDownloadRequest::reportToJob(bool success) {
  Guard guard(*this);
  if (!job_ || reported_) return;
  reported_ = true;
  job_->fileEnded(success, started_);
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
  reportToJob(error == nullptr);
}

}  // namespace vela::http
