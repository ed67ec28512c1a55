// The request exports: start in-memory requests and downloads, then poll,
// read, cancel and remove them by identifier. The table lock is held only
// for the map operations; the work on a request happens through a shared
// pointer copied out of the table.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>

#include "api/export_guard.h"
#include "api/library.h"
#include "api/log_queue.h"
#include "http/download_job.h"
#include "http/http_request_data_helper.h"
#include "http/http_request_file_helper.h"
#include "platform/platform.h"
#include "quillet/quillet.h"
#include "text/text.h"

namespace {

using vela::http::FileDownloadRequest;
using vela::http::http_method;
using vela::http::http_request_data_helper;

const char16_t* hostText(const QL_WCHAR* text) {
  static_assert(sizeof(QL_WCHAR) == sizeof(char16_t), "the host's wide text is UTF-16");
  return reinterpret_cast<const char16_t*>(text);
}

std::u16string orEmpty(const char16_t* text) { return text == nullptr ? std::u16string() : text; }

// A start that throws (out of memory) fails the export, which then returns 0:
// the request must not stay behind under an identifier the host never learns.
template <typename Start>
void startOrDrop(uint32_t id, Start&& start) {
  try {
    start();
  } catch (...) {
    ql::requests().extract(id);  // the export's own copy, let go on the way out, is the last
    throw;
  }
}

uint32_t startRequest(int post, const char* url, const char* data) {
  const uint32_t id = ql::requests().issueId();
  ql::pushLogRecord(u"Sending request: " + ql::toDecimalText(id) + u" <" + ql::platform::ansiToWide(url) + u">");
  auto request = vela::http::make_request<http_request_data_helper>();
  ql::requests().insert(id, request);
  // The outcome, a failed start included, is read through QL_RequestInfo.
  startOrDrop(id, [&] { request->Start(url, post != 0 ? http_method::post : http_method::get, data); });
  return id;
}

// The host and the library must agree on this layout in either width: the
// 64-bit fields sit on 8-byte offsets, also where a pointer takes 4 bytes.
static_assert(offsetof(QL_DOWNLOAD_OPTIONS, expectedSize) == 8, "expectedSize at 8");
static_assert(offsetof(QL_DOWNLOAD_OPTIONS, sha256) == 16, "sha256 at 16");
static_assert(sizeof(void*) == 8
                  ? offsetof(QL_DOWNLOAD_OPTIONS, maxBytesPerSecond) == 40 && sizeof(QL_DOWNLOAD_OPTIONS) == 48
                  : offsetof(QL_DOWNLOAD_OPTIONS, maxBytesPerSecond) == 32 && sizeof(QL_DOWNLOAD_OPTIONS) == 40,
              "48 bytes on 64-bit, 40 on 32-bit");

constexpr unsigned int kKnownDownloadFlags = QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseSha256(const char* text, vela::http::download_options& options) {
  for (std::size_t i = 0; i < options.sha256.size() * 2; ++i) {
    const int value = hexValue(text[i]);  // stops at the NUL of a shorter text
    if (value < 0) return false;
    options.sha256[i / 2] = static_cast<unsigned char>(options.sha256[i / 2] << 4 | value);
  }
  return text[options.sha256.size() * 2] == '\0';
}

// The host's options as the download takes them; the words of the first
// problem when they cannot be taken.
std::u16string readOptions(const char* url, const QL_DOWNLOAD_OPTIONS& in, vela::http::download_options& out) {
  if (in.size != sizeof(QL_DOWNLOAD_OPTIONS)) {
    return u"Invalid download options: size " + ql::toDecimalText(in.size) + u", expected " +
           ql::toDecimalText(static_cast<uint32_t>(sizeof(QL_DOWNLOAD_OPTIONS)));
  }
  if ((in.flags & ~kKnownDownloadFlags) != 0) return u"Invalid download options: unknown flags";
  if (in.expectedSize < -1) return u"Invalid download options: expectedSize below -1";
  if (in.maxBytesPerSecond < 0) return u"Invalid download options: maxBytesPerSecond below 0";
  if (in.sha256 != nullptr && !parseSha256(in.sha256, out)) {
    return u"Invalid download options: sha256 is not 64 hex digits";
  }
  out.urls.emplace_back(url == nullptr ? "" : url);
  if (in.mirrors != nullptr) {
    const std::string mirrors = in.mirrors;
    std::size_t begin = 0;
    while (begin <= mirrors.size()) {
      std::size_t end = mirrors.find('\n', begin);
      if (end == std::string::npos) end = mirrors.size();
      std::string line = mirrors.substr(begin, end - begin);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) out.urls.push_back(std::move(line));
      begin = end + 1;
    }
  }
  out.verify = in.sha256 != nullptr;
  out.resume = (in.flags & QL_DOWNLOAD_RESUME) != 0;
  // A file that must be verified never stands under its real name unverified.
  out.atomic = (in.flags & QL_DOWNLOAD_ATOMIC) != 0 || out.verify;
  // A zero-filled struct means no size, as the header promises for every
  // field left at 0; an empty file is still judged by its SHA-256.
  out.expectedSize = in.expectedSize > 0 ? in.expectedSize : -1;
  out.retries = in.retries;
  out.checkSpace = true;
  out.maxBytesPerSecond = in.maxBytesPerSecond;
  return {};
}

uint32_t startDownload(const char* url, const QL_WCHAR* path, const QL_DOWNLOAD_OPTIONS* options) {
  const uint32_t id = ql::requests().issueId();
  const char16_t* target = hostText(path);
  ql::pushLogRecord(u"Start download request: " + ql::toDecimalText(id) + u" <" + ql::platform::ansiToWide(url) +
                    u"> " + u"to <" + orEmpty(target) + u">");
  auto request = vela::http::make_request<FileDownloadRequest>(ql::pushLogRecord, id);
  ql::requests().insert(id, request);
  if (options == nullptr) {
    startOrDrop(id, [&] { request->Start(url, target, 0, 0); });
    return id;
  }
  startOrDrop(id, [&] {
    vela::http::download_options taken;
    std::u16string problem = readOptions(url, *options, taken);
    const std::u16string noJob = u"Invalid download options: no job " + ql::toDecimalText(options->job);
    std::shared_ptr<vela::http::download_job> job = options->job != 0 ? ql::jobs().find(options->job) : nullptr;
    if (problem.empty() && options->job != 0 && !job) problem = noJob;
    if (!problem.empty()) {
      request->refuse(problem);
    } else if (!job) {
      request->Start(target, taken);
    } else if (!job->add(request, orEmpty(target), std::move(taken))) {
      request->refuse(noJob);  // removed meanwhile
    }
  });
  return id;
}

// The download stored under `id`; null for an unknown id and for an
// in-memory request.
std::shared_ptr<FileDownloadRequest> findDownload(uint32_t id) {
  return std::dynamic_pointer_cast<FileDownloadRequest>(ql::requests().find(id));
}

}  // namespace

extern "C" {

QL_API unsigned int QL_CALL QL_Request(int post, const char* url, const char* data) {
  return ql::guardExport(0u, [&] { return startRequest(post, url, data); });
}

QL_API unsigned int QL_CALL QL_SendStats(const char* url, const char* data) {
  return ql::guardExport(0u, [&] { return startRequest(1, url, data); });
}

QL_API unsigned int QL_CALL QL_DownloadFile(const char* url, const QL_WCHAR* path) {
  return ql::guardExport(0u, [&] { return startDownload(url, path, nullptr); });
}

QL_API unsigned int QL_CALL QL_DownloadFileEx(const char* url, const QL_WCHAR* path,
                                              const QL_DOWNLOAD_OPTIONS* options) {
  return ql::guardExport(0u, [&] { return startDownload(url, path, options); });
}

QL_API int QL_CALL QL_CancelRequest(unsigned int id) {
  return ql::guardExport(0, [&] {
    ql::pushLogRecord(u"Cancel request: " + ql::toDecimalText(static_cast<uint32_t>(id)));
    auto request = ql::requests().find(id);
    if (!request) {
      ql::pushLogRecord(u"Request not found");
      return 0;
    }
    request->cancel();
    return 1;
  });
}

QL_API int QL_CALL QL_RemoveRequest(unsigned int id) {
  return ql::guardExport(0, [&] {
    ql::pushLogRecord(u"Remove request: " + ql::toDecimalText(static_cast<uint32_t>(id)));
    auto request = ql::requests().extract(id);
    if (!request) {
      ql::pushLogRecord(u"Request not found");
      return 0;
    }
    // When this was the last owner, the request cancels and joins its worker here.
    request.reset();
    return 1;
  });
}

QL_API int QL_CALL QL_RequestInfo(unsigned int id, QL_REQUEST_INFO* info) {
  return ql::guardExport(0, [&] {
    if (info == nullptr) return 0;
    *info = QL_REQUEST_INFO{QL_STATE_NONE, 0, -1, 0, 0};
    auto request = ql::requests().find(id);
    if (!request) return 0;
    // One reading of the request, so that the answer never mixes two moments.
    auto* download = dynamic_cast<FileDownloadRequest*>(request.get());
    const auto [status, head] = download != nullptr
                                    ? download->downloadSnapshot()
                                    : std::make_pair(request->snapshot(), FileDownloadRequest::head_info{});
    info->state = !status.finished ? QL_STATE_RUNNING : status.failed ? QL_STATE_FAILED : QL_STATE_DONE;
    info->curlCode = status.curlCode;

    if (download != nullptr) {
      info->hasInfo = head.infoReceived ? 1 : 0;
      if (head.infoReceived) {
        info->contentLength = head.contentLength;
        info->responseCode = head.responseCode;
      }
    } else if (status.finished) {
      // An in-memory request's head is shown only once its worker has ended.
      info->hasInfo = 1;
      if (status.lengthRead) {
        info->contentLength =
            static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(std::floor(status.length))));
      } else {
        ql::pushLogRecord(u"Failed to get downloadable content length");
      }
      if (status.statusRead) {
        info->responseCode = status.status;
      } else {
        ql::pushLogRecord(u"Failed to get response code");
      }
    }
    return 1;
  });
}

QL_API int QL_CALL QL_RequestDownloadProgress(unsigned int id, int* total, int* downloaded) {
  return ql::guardExport(0, [&] {
    if (total == nullptr || downloaded == nullptr) return 0;
    *total = 0;
    *downloaded = 0;
    const auto download = findDownload(id);
    if (!download) return 0;
    const FileDownloadRequest::head_info head = download->headInfo();
    if (!head.infoReceived) return 0;
    *total = head.contentLength;
    *downloaded = static_cast<int32_t>(static_cast<uint32_t>(download->getDownloadedSize()));
    return 1;
  });
}

QL_API int QL_CALL QL_RequestDownloadProgress64(unsigned int id, long long* total, long long* written) {
  return ql::guardExport(0, [&] {
    if (total == nullptr || written == nullptr) return 0;
    *total = 0;
    *written = 0;
    const auto download = findDownload(id);
    if (!download) return 0;
    const auto [full, onDisk] = download->progress();
    *total = full;
    *written = onDisk;
    return 1;
  });
}

QL_API int QL_CALL QL_RequestError(unsigned int id, QL_WCHAR* buffer, unsigned int capacity, int* length) {
  return ql::guardExport(0, [&] {
    if (length == nullptr) return 0;
    *length = 0;
    auto request = ql::requests().find(id);
    if (!request) return 0;
    const auto status = request->snapshot();
    if (!status.finished || !status.failed) return 0;
    const std::unique_ptr<vela::Exception> error = request->getError();
    if (!error) return 0;
    const std::u16string words = error->text();
    *length = static_cast<int>(words.size());
    if (buffer == nullptr || capacity < words.size()) return 0;
    std::copy(words.begin(), words.end(), reinterpret_cast<char16_t*>(buffer));
    return 1;
  });
}

QL_API int QL_CALL QL_RequestData(unsigned int id, QL_WCHAR* buffer, int* size) {
  return ql::guardExport(0, [&] {
    if (size == nullptr) return 0;
    auto request = ql::requests().find(id);
    if (!request) return 0;
    if (!request->isFinished()) return 0;
    auto* data = dynamic_cast<http_request_data_helper*>(request.get());
    if (data == nullptr) return 0;
    if (buffer == nullptr || *size == 0) {
      *size = static_cast<int>(data->readData(nullptr, 0));
      return 1;
    }
    // A negative count would be read as some 4 GiB: refuse it.
    if (*size < 0) return 0;
    // Widened straight into the host's buffer; units past the body are 0.
    data->readWidened(reinterpret_cast<char16_t*>(buffer), static_cast<uint32_t>(*size));
    return 1;
  });
}

}  // extern "C"
