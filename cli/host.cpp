#include "host.h"

#include "util/text.h"

#include <chrono>
#include <cstdio>
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
    if (QL_PullLogRecord(reinterpret_cast<QL_WCHAR*>(&buffer[0]), static_cast<unsigned>(buffer.size()),
                         &length) == 1) {
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

std::string describeFailure(const QL_REQUEST_INFO& info) {
  if (info.curlCode == 42) return "cancelled";
  if (info.curlCode >= 0) return "transfer failed (libcurl code " + std::to_string(info.curlCode) + ")";
  if (info.responseCode != 0) return "server answered HTTP " + std::to_string(info.responseCode);
  return "request failed";
}

}  // namespace quillet_cli
