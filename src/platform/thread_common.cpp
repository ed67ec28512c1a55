#include "platform/thread_common.h"

#include <atomic>

namespace ql::platform {
namespace {

std::atomic<bool> g_failThreadCreation{false};

}  // namespace

namespace testing {
void failThreadCreation(bool fail) { g_failThreadCreation.store(fail); }
}  // namespace testing

bool mayStartThread(Thread::Entry entry) {
  if (entry == nullptr) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  if (g_failThreadCreation.load()) {
    setLastError(kErrorNotEnoughMemory);
    return false;
  }
  return true;
}

}  // namespace ql::platform
