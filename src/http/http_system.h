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
  void release();

  http_system(const http_system&) = delete;
  http_system& operator=(const http_system&) = delete;

 private:
  http_system();
  ~http_system() = default;

  ql::platform::RecursiveLock lock_;
  int refCount_ = 0;
  int initResult_ = 0;
};

}  // namespace vela::http
