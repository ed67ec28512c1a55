// libcurl's process-wide initialisation. It runs once per process, on first
// use; after the first release the HTTP system stays down for good and every
// transfer set-up fails with code 2.
#pragma once

#include "platform/platform.h"

namespace vela::http {

class http_system {
 public:
  // Builds the system on first use; concurrent first callers wait for it.
  static http_system& instance();
  // The instance if something has built it already, else null.
  static http_system* existing();

  int initResult();  // 0 while the system is up
  // Takes the system down for good. New holds are refused at once; libcurl's
  // global clean-up waits for the last holder to let go.
  void release();

  // Taking the system down as one scope: from its start no transfer gets a
  // handle, so that the requests stopped meanwhile are the last holders, and
  // the system is released at its end (finish() or the scope's end, an
  // exception's included). A system that refused transfers without being
  // released would still read as up, while every transfer failed.
  class shutdown {
   public:
    // `system` null: nothing was ever built, and nothing is done. With
    // `mayWait` the release waits for the last holder, as release() does.
    // Without it (at unload, where a worker that Windows has already ended
    // never lets go) libcurl's global state is left as it is when holders
    // are left, rather than cleaned up under them.
    shutdown(http_system* system, bool mayWait);
    ~shutdown() { finish(); }
    shutdown(const shutdown&) = delete;
    shutdown& operator=(const shutdown&) = delete;
    void finish();

   private:
    http_system* system_;
    bool mayWait_;
  };

  // Around a fork of the host. In the child none of the parent's transfers
  // runs, so none holds the system there: the count starts from zero.
  void lockForFork();
  void unlockAfterFork();
  void resetInForkedChild();

  // A transfer holds the system from before it creates its easy handle until
  // that handle is gone. 0 when the hold was taken, else the code the
  // transfer fails with (the system is down or never came up).
  int hold();
  void letGo();

  // For tests: the holds now, and the holds there were when libcurl's global
  // clean-up ran (-1 before it has run).
  int liveHolds();
  int holdsAtCleanup();
  // For tests that take the system down many times in one process: brings a
  // released system up again, as a fresh process would find it.
  void reviveForTesting();

  http_system(const http_system&) = delete;
  http_system& operator=(const http_system&) = delete;

 private:
  http_system();
  ~http_system() = default;
  // Both releases: with `mayWait` the last holder is waited for, without it
  // libcurl's global state stays when holders are left.
  void takeDown(bool mayWait);

  ql::platform::RecursiveLock lock_;
  int refCount_ = 0;
  int initResult_ = 0;
  bool refusing_ = false;
  int holds_ = 0;
  int holdsAtCleanup_ = -1;
};

}  // namespace vela::http
