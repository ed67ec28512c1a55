// The process-wide pool of idle libcurl handles. A transfer that ends hands
// its easy and multi handle to the next one, with what the multi handle
// keeps: the open connection and the parsed CA store. Building those again
// for every file costs a TCP and TLS handshake and, with OpenSSL, reading the
// whole system bundle; an installer fetches thousands of small files. One
// share handle lends all transfers, also those running at the same time, the
// DNS answers and TLS sessions; libcurl does not share connection caches
// between threads, hence the hand-over of whole handles.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vela::http {

// One easy and one multi handle, owned together, and the share handle they
// use (owned by the pool). Only the pool makes them.
class pooled_handles {
 public:
  pooled_handles() = default;
  pooled_handles(pooled_handles&&) noexcept = default;
  pooled_handles& operator=(pooled_handles&&) noexcept = default;
  ~pooled_handles();

  void* easy() const { return easy_.get(); }
  void* multi() const { return multi_.get(); }
  void* share() const { return share_; }
  explicit operator bool() const { return easy_ && multi_; }
  bool used() const { return used_; }  // by an earlier transfer

  // Lets go of both handles without cleaning them up: in a forked child they
  // and their connection belong to the parent.
  void abandon();

 private:
  friend class handle_pool;
  struct EasyDeleter {
    void operator()(void* handle) const;
  };
  struct MultiDeleter {
    void operator()(void* multi) const;
  };
  // The easy handle goes first: it may still be known to the multi handle's
  // connection cache as the last user of a connection.
  std::unique_ptr<void, MultiDeleter> multi_;
  std::unique_ptr<void, EasyDeleter> easy_;
  void* share_ = nullptr;
  uint32_t generation_ = 0;  // of the process that made them
  bool used_ = false;
  std::string origin_;  // scheme://host:port of the kept connection
  std::chrono::steady_clock::time_point idleSince_;
};

class handle_pool {
 public:
  // Idle pairs kept at most: as many as an installer usually runs at once
  // against two servers. Each holds three descriptors (its connection and
  // the multi handle's wake-up pair).
  static constexpr std::size_t kMaxIdle = 16;
  // Idle time after which a pair is closed rather than reused. Servers close
  // idle keep-alive connections after a few seconds to a minute or so; a pair
  // kept longer mostly holds a connection its server has dropped.
  static constexpr std::chrono::seconds kMaxIdleAge{60};

  static handle_pool& instance();

  // An idle pair, preferring the one used last for the same scheme, host and
  // port as `url`; else the one used last for any (its CA store is still
  // good); else a new pair. Empty when libcurl cannot make one.
  pooled_handles take(const std::string& url);
  // A new pair, never used.
  pooled_handles fresh();
  // Takes back a pair whose transfer has ended and is no longer in its
  // multi handle. The easy handle is reset at once, so that nothing of the
  // ended transfer (callbacks, header list, body) stays reachable from it.
  // `effectiveUrl` says where its kept connection goes; null after a failed
  // transfer, which leaves the connection it found, if any.
  void giveBack(pooled_handles handles, const char* effectiveUrl) noexcept;

  // Closes every idle pair and then the share handle. For the HTTP system's
  // take-down, once no transfer has a pair any more, before libcurl's global
  // clean-up. The pool starts afresh if used again.
  void close();

  handle_pool(const handle_pool&) = delete;
  handle_pool& operator=(const handle_pool&) = delete;

 private:
  struct state;
  handle_pool();
  ~handle_pool() = default;
  // The state of this process; a fresh one after a fork, the parent's being
  // forgotten with its lock, which another thread may have held at the fork.
  state& current();
  void* shareOf(state& s);  // under the state's lock
  // Moves the pairs idle longer than the bound out of `idle`, to be closed
  // once the lock is let go: closing a TLS connection writes to its socket.
  static std::vector<pooled_handles> takeExpired(std::vector<pooled_handles>& idle);

  std::atomic<state*> state_{nullptr};
};

}  // namespace vela::http
