#include "support/log_records.h"

#include "quillet/quillet.h"
#include "text.h"

namespace quillet_test {

std::string toUtf8(const std::u16string& text) { return ql::wideToUtf8(text); }

std::vector<std::string> drainLogRecords() {
  std::vector<std::string> records;
  for (;;) {
    int length = 0;
    if (QL_PullLogRecord(nullptr, 0, &length) == 0 && length == 0) break;
    std::u16string record(static_cast<std::size_t>(length), u'\0');
    if (QL_PullLogRecord(reinterpret_cast<QL_WCHAR*>(&record[0]), static_cast<unsigned>(length), &length) != 1) {
      break;
    }
    records.push_back(toUtf8(record));
  }
  return records;
}

}  // namespace quillet_test
