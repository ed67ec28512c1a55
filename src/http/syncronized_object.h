// Objects that carry their own re-entrant lock. The object itself is
// BasicLockable, so std::lock_guard<SyncronizedObject> scopes the lock.
#pragma once

#include "platform/platform.h"

namespace vela {

class SyncronizedObject {
 public:
  SyncronizedObject() = default;
  SyncronizedObject(const SyncronizedObject&) = delete;
  SyncronizedObject& operator=(const SyncronizedObject&) = delete;

  void lock() const { lock_.lock(); }
  void unlock() const { lock_.unlock(); }

 protected:
  ~SyncronizedObject() = default;

 private:
  mutable ql::platform::RecursiveLock lock_;
};

namespace http {

class http_lockable : public SyncronizedObject {
 protected:
  ~http_lockable() = default;
};

}  // namespace http
}  // namespace vela
