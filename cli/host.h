// The command-line host's side of the library: everything here goes through
// the exported functions, exactly as the installer uses them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillet/quillet.h"

namespace quillet_cli {

// A UTF-8 path as the 16-bit units QL_DownloadFile takes; false when the
// bytes are not UTF-8.
bool toWidePath(const std::string& path, std::u16string& wide);
// The bytes behind byte-widened units: the low 8 bits of each unit.
std::string unwiden(const QL_WCHAR* units, std::size_t count);

// Pulls every queued log record, oldest first.
std::vector<std::string> drainLog();

// Prints drained log records to stderr when verbose, and keeps them.
class LogPrinter {
 public:
  explicit LogPrinter(bool verbose) : verbose_(verbose) {}
  void drain();
  const std::vector<std::string>& records() const { return records_; }

 private:
  bool verbose_;
  std::vector<std::string> records_;
};

// Polls a request until its worker has finished. `tick` runs between polls
// (about ten times a second); `cancel` is checked on every poll and, once set,
// the request is cancelled through the exports and still waited for.
QL_REQUEST_INFO waitForRequest(unsigned id, const std::atomic<bool>* cancel, const std::function<void()>& tick);

// The body of a finished in-memory request, as the bytes the server sent.
std::string requestBody(unsigned id);

// A string member of a parsed document; false when missing or not a string.
bool stringMember(int document, const std::string& name, std::string& value);

// The text after "Request finished: " of the newest such record, if any.
std::string finishedText(const std::vector<std::string>& records);

// The words of a failed request (QL_RequestError), UTF-8; empty when none.
std::string requestError(unsigned id);

// A one-line reason for a failed in-memory request, in words: `words` are
// its QL_RequestError.
std::string describeFailure(const QL_REQUEST_INFO& info, const std::string& words);

// Why FILE cannot be written, as the system words it, judged from the host
// (missing or non-directory parent, a directory in the way); empty when
// nothing is visibly wrong.
std::string fileProblem(const std::string& file);

// A one-line reason for a failed download into FILE. `words` are its
// QL_RequestError, empty when there were none.
std::string describeDownloadFailure(const QL_REQUEST_INFO& info, const std::string& words, const std::string& file);

}  // namespace quillet_cli
