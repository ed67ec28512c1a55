// A loopback TCP server whose transfers never finish: it accepts, reads the
// request head, sends a fixed prefix of a response (maybe nothing) and then
// holds the connection open until the client goes or the server stops.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace bench {

class StallServer {
 public:
  explicit StallServer(std::string prefix);
  ~StallServer();
  StallServer(const StallServer&) = delete;
  StallServer& operator=(const StallServer&) = delete;

  std::string url() const;
  // Connections whose request head has been read and answered with the prefix.
  int stalled() const { return stalled_; }
  // Waits until `count` connections are stalled; false after 10 s.
  bool waitForStalled(int count) const;

 private:
  void serve();

  std::string prefix_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<int> stalled_{0};
  std::thread thread_;
};

}  // namespace bench
