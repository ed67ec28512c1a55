// For tests of name look-ups that never end: a name server on loopback that
// takes every query and answers none, as one behind a captive portal, a
// broken VPN or an offline network does, and a way to send this process's
// look-ups there. POSIX only: the Windows tests reach the same server, run on
// the build host (scripts/test-win32.sh, test/silent_dns.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace quillet_test {

class SilentNameServer {
 public:
  // Takes port 53, UDP and TCP, on the first free address from 127.0.0.153
  // on; starts no thread until start().
  SilentNameServer();
  ~SilentNameServer();
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;

  // Empty once the server listens, else why it cannot.
  const std::string& unavailable() const { return unavailable_; }
  const std::string& address() const { return address_; }
  // A resolv.conf that names it alone; a look-up gives up after `attempts`
  // tries of `timeoutSeconds` each, by default a minute: longer than any
  // limit of the tests, so that one who waits for it cannot pass.
  std::string resolvConf(int timeoutSeconds = 30, int attempts = 2) const;
  // Starts taking queries on a thread of its own.
  void start();
  // Queries taken so far: datagrams, and connections for queries over TCP.
  int queries() const { return queries_.load(); }
  bool waitForQueries(int count, std::chrono::milliseconds limit) const;

 private:
  void serve();

  std::string unavailable_;
  std::string address_;
  int udp_ = -1;
  int tcp_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// Gives this process a private mount namespace in which /etc/resolv.conf
// names a new, started SilentNameServer alone, so that every name look-up
// goes there and none is ever answered. Call it before any other thread
// starts: a namespace belongs to the thread that makes it, and new threads
// take that of the thread that starts them. `server` is null when it cannot
// be done, and `unavailable` says why.
struct SilentResolver {
  SilentResolver() = default;
  SilentResolver(SilentResolver&&) = default;
  SilentResolver& operator=(SilentResolver&&) = default;
  ~SilentResolver();

  std::unique_ptr<SilentNameServer> server;
  std::string unavailable;
  // The file mounted over /etc/resolv.conf. It stays linked while the
  // process runs: a child that makes a namespace of its own mounts over it
  // again, which an unlinked file would refuse.
  std::string conf;
};
SilentResolver resolveThroughSilentServerInThisProcess(int timeoutSeconds = 30, int attempts = 2);

}  // namespace quillet_test
