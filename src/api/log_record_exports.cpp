// QL_PullLogRecord: the host drains the process-wide record queue.
#include "api/export_guard.h"
#include "api/library.h"
#include "api/log_queue.h"
#include "quillet/quillet.h"

extern "C" QL_API int QL_CALL QL_PullLogRecord(QL_WCHAR* buffer, unsigned int capacity, int* length) {
  return ql::guardExport(0, [&] {
    if (length == nullptr) return 0;
    return ql::logQueue().pull(reinterpret_cast<char16_t*>(buffer), capacity, length);
  });
}
