#include "host.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace quillet_cli {

std::u16string toUtf16(const std::string& text) {
  std::u16string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = bytes[i];
    std::size_t extra = 0;
    char32_t cp = lead;
    bool ok = true;
    if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07u;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0Fu;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      ok = false;
    }
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      ok = i + k < text.size() && (bytes[i + k] & 0xC0) == 0x80;
      if (ok) cp = (cp << 6) | (bytes[i + k] & 0x3Fu);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

std::string toUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
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
      records.push_back(toUtf8(buffer.substr(0, static_cast<std::size_t>(length))));
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
