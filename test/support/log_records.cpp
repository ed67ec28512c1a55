#include "support/log_records.h"

#include "quillet/quillet.h"

namespace quillet_test {

std::string toUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
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

std::vector<std::string> drainLogRecords() {
  std::vector<std::string> records;
  for (;;) {
    int length = 0;
    if (QL_PullLogRecord(nullptr, 0, &length) == 0 && length == 0) break;
    std::u16string record(static_cast<std::size_t>(length), u'\0');
    if (QL_PullLogRecord(reinterpret_cast<QL_WCHAR*>(&record[0]), static_cast<unsigned>(length),
                         &length) != 1) {
      break;
    }
    records.push_back(toUtf8(record));
  }
  return records;
}

}  // namespace quillet_test
