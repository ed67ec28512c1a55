#include "api/log_queue.h"

#include <algorithm>
#include <mutex>

#include "api/export_guard.h"
#include "api/library.h"
#include "quillet/quillet.h"

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

extern "C" QL_API int QL_CALL QL_PullLogRecord(QL_WCHAR* buffer, unsigned int capacity, int* length) {
  return ql::guardExport(0, [&] {
    if (length == nullptr) return 0;
    return ql::logQueue().pull(reinterpret_cast<char16_t*>(buffer), capacity, length);
  });
}
