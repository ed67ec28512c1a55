// A process-wide table of shared objects keyed by 32-bit identifiers that the
// table issues itself. The lock guards only the map operations; callers work
// on the objects through the shared pointers they copy out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/platform.h"

namespace ql {

// Identifiers run 1, 2, ..., 0xFFFFFFFF, 1, ...: 0 is never issued.
inline uint32_t nextIdentifier(uint32_t& counter) {
  counter = counter == 0xFFFFFFFFu ? 1u : counter + 1u;
  return counter;
}

template <typename T>
class IdTable {
 public:
  using Pointer = std::shared_ptr<T>;

  uint32_t issueId() {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    return nextIdentifier(counter_);
  }

  // Stores `object` under `id`; an entry left from before the counter wrapped
  // is replaced, and released after the lock is let go.
  void insert(uint32_t id, Pointer object) {
    Pointer previous;
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    Pointer& slot = entries_[id];
    previous = std::move(slot);
    slot = std::move(object);
  }

  Pointer find(uint32_t id) {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second;
  }

  Pointer extract(uint32_t id) {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return nullptr;
    Pointer object = std::move(it->second);
    entries_.erase(it);
    return object;
  }

  using Entries = std::map<uint32_t, Pointer>;

  // Empties the table and hands its entries over, so that the caller stops
  // and releases them without holding the lock. The counter keeps running.
  Entries takeAll() {
    Entries taken;
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    taken.swap(entries_);
    return taken;
  }

  // Empties the table; the objects are released after the lock is let go.
  void clear() { takeAll(); }

  std::size_t size() {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    return entries_.size();
  }

  // Around a fork of the host: the map is whole in the child, whatever other
  // threads were doing.
  void lockForFork() { lock_.lock(); }
  void unlockAfterFork() { lock_.unlock(); }
  // In the child, right after the fork: the lock is free again. With
  // `abandonEntries` the objects are let go without being released: they may
  // need threads or locks of the parent's that the child has not got. They
  // stay reachable, and are never destroyed.
  void resetInForkedChild(bool abandonEntries) {
    lock_.resetInForkedChild();
    if (abandonEntries) abandoned().merge(entries_);  // moves the nodes, allocates nothing
  }

  // For tests of the wrap rule.
  void setCounterForTesting(uint32_t counter) {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    counter_ = counter;
  }

 private:
  static Entries& abandoned() {
    alignas(Entries) static unsigned char storage[sizeof(Entries)];
    static Entries* entries = new (storage) Entries();  // never destroyed
    return *entries;
  }

  platform::RecursiveLock lock_;
  std::map<uint32_t, Pointer> entries_;
  uint32_t counter_ = 0;
};

}  // namespace ql
