// The queue of human-readable records that the host drains with
// QL_PullLogRecord. Records are pushed whole and never merged or split.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "platform/platform.h"

namespace ql {

class LogRecordQueue {
 public:
  void push(std::u16string record);

  // QL_PullLogRecord's protocol: *length always receives the front record's
  // length (0 when empty); the record is copied and removed only when it fits.
  int pull(char16_t* buffer, uint32_t capacity, int* length);

  std::size_t size();

  // Around a fork of the host, as the request table does it.
  void lockForFork() { lock_.lock(); }
  void unlockAfterFork() { lock_.unlock(); }
  void resetInForkedChild() { lock_.resetInForkedChild(); }

 private:
  platform::RecursiveLock lock_;  // leaf lock: nothing is taken while it is held
  std::deque<std::u16string> records_;
};

// Appends a record to the process-wide queue.
void pushLogRecord(std::u16string record);

}  // namespace ql
