// Draining the library's log record queue through QL_PullLogRecord, as the
// installer does, into ordinary strings for assertions.
#pragma once

#include <string>
#include <vector>

namespace quillet_test {

// Pulls every queued record; records are ASCII or UTF-16 text, returned as UTF-8.
std::vector<std::string> drainLogRecords();

// UTF-16 units to UTF-8 ("(invalid string)" for unpaired surrogates).
std::string toUtf8(const std::u16string& text);

}  // namespace quillet_test
