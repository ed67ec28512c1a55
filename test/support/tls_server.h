// An HTTPS server on 127.0.0.1 with a self-signed certificate made at start,
// for checking that the client refuses a peer it cannot verify.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace quillet_test {

class TlsServer {
 public:
  TlsServer();
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  bool ready() const { return port_ > 0; }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  std::string url(std::string_view path = "/") const;
  // Requests that got through the handshake and reached a handler.
  int requestCount() const { return requests_.load(); }

 private:
  void waitUntilRunning();

  struct State;
  std::unique_ptr<State> state_;
  int port_ = -1;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace quillet_test
