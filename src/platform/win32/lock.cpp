#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace ql::platform {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section does not fit the lock's storage");
static_assert(alignof(CRITICAL_SECTION) <= 8, "critical section needs a stricter alignment");

CRITICAL_SECTION* sectionIn(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

RecursiveLock::RecursiveLock() { ::InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }

RecursiveLock::~RecursiveLock() { ::DeleteCriticalSection(sectionIn(storage_)); }

void RecursiveLock::lock() { ::EnterCriticalSection(sectionIn(storage_)); }

void RecursiveLock::unlock() { ::LeaveCriticalSection(sectionIn(storage_)); }

// Windows has no fork: nothing calls this there.
void RecursiveLock::resetInForkedChild() {}

}  // namespace ql::platform
