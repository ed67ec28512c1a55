#include <pthread.h>

#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace ql::platform {
namespace {

static_assert(sizeof(pthread_mutex_t) <= 64, "mutex does not fit the lock's storage");
static_assert(alignof(pthread_mutex_t) <= 8, "mutex needs a stricter alignment than the storage");

pthread_mutex_t* mutexIn(unsigned char* storage) { return std::launder(reinterpret_cast<pthread_mutex_t*>(storage)); }

void makeRecursiveMutex(unsigned char* storage) {
  auto* mutex = new (storage) pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  // Like a critical section, the lock cannot fail to be made; a system that
  // cannot make one cannot run the library at all.
  if (pthread_mutex_init(mutex, &attributes) != 0) std::abort();
  pthread_mutexattr_destroy(&attributes);
}

}  // namespace

RecursiveLock::RecursiveLock() { makeRecursiveMutex(storage_); }

// A held mutex cannot be unlocked or destroyed by a thread that does not own
// it; in the child nobody does, so a new one takes its place.
void RecursiveLock::resetInForkedChild() { makeRecursiveMutex(storage_); }

RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(mutexIn(storage_)); }

void RecursiveLock::lock() {
  // Failing here (recursion counter overflow) would silently break mutual
  // exclusion; stopping is the only safe answer.
  if (pthread_mutex_lock(mutexIn(storage_)) != 0) std::abort();
}

void RecursiveLock::unlock() { pthread_mutex_unlock(mutexIn(storage_)); }

}  // namespace ql::platform
