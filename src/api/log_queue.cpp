#include "api/log_queue.h"

#include <algorithm>
#include <mutex>

#include "api/library.h"

namespace ql {

void LogRecordQueue::push(std::u16string record) {
  std::lock_guard<platform::RecursiveLock> guard(lock_);
  records_.push_back(std::move(record));
}

int LogRecordQueue::pull(char16_t* buffer, uint32_t capacity, int* length) {
  std::lock_guard<platform::RecursiveLock> guard(lock_);
  if (records_.empty()) {
    *length = 0;
    return 0;
  }
  const std::u16string& front = records_.front();
  *length = static_cast<int>(front.size());
  // A null buffer can only ask for the length, whatever capacity it claims.
  if (front.size() > capacity || buffer == nullptr) return 0;
  std::copy(front.begin(), front.end(), buffer);
  records_.pop_front();
  return 1;
}

std::size_t LogRecordQueue::size() {
  std::lock_guard<platform::RecursiveLock> guard(lock_);
  return records_.size();
}

void pushLogRecord(std::u16string record) { logQueue().push(std::move(record)); }

}  // namespace ql
