#include "host.h"

#include "text.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

namespace quillet_cli {

bool toWidePath(const std::string& path, std::u16string& wide) {
  wide = ql::utf8ToWide(path.data(), path.size());
  return !wide.empty() || path.empty();
}

std::string unwiden(const QL_WCHAR* units, std::size_t count) {
  std::string out(count, '\0');
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(static_cast<unsigned>(units[i]) & 0xFFu);
  return out;
}

std::vector<std::string> drainLog() {
  std::vector<std::string> records;
  std::u16string buffer(256, u'\0');
  for (;;) {
    int length = 0;
    if (QL_PullLogRecord(reinterpret_cast<QL_WCHAR*>(&buffer[0]), static_cast<unsigned>(buffer.size()), &length) == 1) {
      records.push_back(ql::wideToUtf8(buffer.substr(0, static_cast<std::size_t>(length))));
    } else if (length > 0) {
      buffer.resize(static_cast<std::size_t>(length));  // too small: grow and ask again
    } else {
      return records;
    }
  }
}

void LogPrinter::drain() {
  for (auto& record : drainLog()) {
    if (verbose_) std::fprintf(stderr, "quillet: log: %s\n", record.c_str());
    records_.push_back(std::move(record));
  }
}

QL_REQUEST_INFO waitForRequest(unsigned id, const std::atomic<bool>* cancel, const std::function<void()>& tick) {
  bool cancelSent = false;
  for (;;) {
    if (cancel != nullptr && cancel->load() && !cancelSent) {
      QL_CancelRequest(id);
      cancelSent = true;
    }
    QL_REQUEST_INFO info;
    QL_RequestInfo(id, &info);
    if (info.state != QL_STATE_RUNNING) return info;
    if (tick) tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string requestBody(unsigned id) {
  int size = 0;
  if (QL_RequestData(id, nullptr, &size) != 1 || size <= 0) return {};
  std::vector<QL_WCHAR> units(static_cast<std::size_t>(size));
  if (QL_RequestData(id, units.data(), &size) != 1) return {};
  return unwiden(units.data(), units.size());
}

bool stringMember(int document, const std::string& name, std::string& value) {
  unsigned length = 0;
  if (QL_GetStringByPath(static_cast<unsigned>(document), name.c_str(), nullptr, &length) != 1) return false;
  std::vector<QL_WCHAR> units(length + 1u);
  unsigned capacity = length;
  if (QL_GetStringByPath(static_cast<unsigned>(document), name.c_str(), units.data(), &capacity) != 1) return false;
  value = unwiden(units.data(), length);
  return true;
}

std::string finishedText(const std::vector<std::string>& records) {
  const std::string prefix = "Request finished: ";
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (it->compare(0, prefix.size(), prefix) == 0) return it->substr(prefix.size());
  }
  return {};
}

std::string requestError(unsigned id) {
  int length = 0;
  if (QL_RequestError(id, nullptr, 0, &length) != 0 || length <= 0) return {};
  std::u16string words(static_cast<std::size_t>(length), u'\0');
  if (QL_RequestError(id, reinterpret_cast<QL_WCHAR*>(&words[0]), static_cast<unsigned>(length), &length) != 1) {
    return {};
  }
  return ql::wideToUtf8(words);
}

namespace {

// The whole-transfer limit the library puts on every in-memory request; its
// connect and low-speed limits are longer, so code 28 always means this one.
constexpr int kInMemoryLimitSeconds = 30;
constexpr int kCancelledCode = 42;
constexpr int kTimedOutCode = 28;

std::string curlCodeSuffix(int code) { return " (libcurl code " + std::to_string(code) + ")"; }

// libcurl's own words inside the library's 'Inner libCurl error(7): "...".';
// the words as they are when they have another form.
std::string curlText(const std::string& words) {
  const std::size_t open = words.find('"');
  const std::size_t close = words.rfind('"');
  if (words.rfind("Inner libCurl error(", 0) != 0 || open == std::string::npos || close <= open) return words;
  return words.substr(open + 1, close - open - 1);
}

}  // namespace

std::string describeFailure(const QL_REQUEST_INFO& info, const std::string& words) {
  if (info.curlCode == kCancelledCode) return "cancelled";
  if (info.curlCode == kTimedOutCode) {
    return "timed out after " + std::to_string(kInMemoryLimitSeconds) + " s" + curlCodeSuffix(info.curlCode);
  }
  if (info.curlCode >= 0) return "transfer failed: " + curlText(words) + curlCodeSuffix(info.curlCode);
  if (info.responseCode != 0) return "server answered HTTP " + std::to_string(info.responseCode);
  if (!words.empty()) return words;
  return "request failed";
}

std::string fileProblem(const std::string& file) {
  namespace fs = std::filesystem;
  const fs::path path = fs::u8path(file);
  fs::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  std::error_code error;
  const fs::file_status status = fs::status(parent, error);
  if (error) return error.message();
  if (!fs::is_directory(status)) return std::make_error_code(std::errc::not_a_directory).message();
  if (fs::is_directory(fs::status(path, error))) return std::make_error_code(std::errc::is_a_directory).message();
  return {};
}

std::string describeDownloadFailure(const QL_REQUEST_INFO& info, const std::string& words, const std::string& file) {
  if (info.hasInfo == 0 && info.curlCode < 0) {
    // Failed before any transfer began: the library could not open or
    // prepare the file, or refused the options. What the host sees wrong
    // with the path is said in this system's words, else the library's.
    std::string reason = fileProblem(file);
    if (reason.empty()) reason = words;
    if (reason.empty()) reason = "the file could not be opened";
    return "cannot write " + file + ": " + reason;
  }
  return words.empty() ? describeFailure(info, words) : words;
}

}  // namespace quillet_cli
