// A loopback HTTP/1.1 server with byte-level control, for tests that must see
// exactly what the client sent (header order, body bytes) or answer in ways a
// well-behaved server never would: closing mid-body, stalling, omitting the
// Content-Length. It listens on 127.0.0.1 only, on an ephemeral port, and
// handles each connection on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quillet_test {

struct HttpRequest {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
  std::string body;

  // Value of the first header with this name (case-insensitive), empty if none.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
  // Header names in the order sent.
  std::vector<std::string> headerNames() const;
};

// The three fixed header lines and the User-Agent that every request of the
// library carries (checked with EXPECT_, so all differences are reported).
void expectFixedHeaders(const HttpRequest& request);

class RawHttpServer;

// The server side of one connection, handed to the handler.
class Connection {
 public:
  // Sends all bytes; false once the peer or the server has gone. Every byte
  // written counts towards waitForBytesSent(); a send that starts
  // with a status line counts as a head once its blank line is written.
  bool send(std::string_view bytes);
  // Sends `size` bytes of patternBytes(seed) starting at `offset`, in chunks.
  bool sendPattern(uint64_t offset, uint64_t size, uint32_t seed);
  // Sends nothing until the server stops, the peer goes, or `limit` passes.
  void stall(std::chrono::milliseconds limit);
  // Relays bytes both ways between the peer and 127.0.0.1:`port` until
  // either side closes or the server stops, then ends the connection: a
  // proxy's tunnel. False when `port` refuses.
  bool tunnel(uint16_t port);
  // Ends the connection at once; no further request is read from it.
  void close();
  bool closed() const { return closed_; }

 private:
  friend class RawHttpServer;
  Connection(RawHttpServer& server, int socket) : server_(server), socket_(socket) {}
  RawHttpServer& server_;
  int socket_;
  bool closed_ = false;
};

class RawHttpServer {
 public:
  using Handler = std::function<void(const HttpRequest&, Connection&)>;

  explicit RawHttpServer(Handler handler);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  uint16_t port() const { return port_; }
  std::string url(std::string_view path = "/") const;

  std::vector<HttpRequest> requests() const;
  std::size_t requestCount() const;
  bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const;
  // Connections accepted so far (also those that never sent a request), and
  // those still open on the server's side.
  std::size_t acceptedCount() const;
  std::size_t openConnections() const;

  // Events to wait on instead of the clock: response heads and bytes written
  // (all connections together), and connections ended on the server's side.
  // Each wait returns false when `limit` passes or the server stops first;
  // callers pass limits through scaled().
  bool waitForHeadsSent(std::size_t count, std::chrono::milliseconds limit) const;
  bool waitForBytesSent(uint64_t count, std::chrono::milliseconds limit) const;
  bool waitForClosedConnections(std::size_t count, std::chrono::milliseconds limit) const;

  // Closes every connection, wakes stalled handlers and joins all threads.
  void stop();

 private:
  friend class Connection;
  void acceptLoop();
  void serve(int socket);
  bool readRequest(int socket, std::string& pending, HttpRequest& request);
  bool stopping() const;
  void countSent(uint64_t bytes, bool headDone);
  template <typename Reached>
  bool waitFor(std::chrono::milliseconds limit, Reached reached) const;

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<HttpRequest> requests_;
  std::size_t accepted_ = 0;
  std::size_t headsSent_ = 0;
  uint64_t bytesSent_ = 0;
  std::size_t closed_ = 0;
  std::vector<int> sockets_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// Canned answers.
std::string httpResponse(int status, std::string_view reason, std::string_view body,
                         const std::vector<std::string>& extraHeaders = {});
// A head only, announcing `contentLength` bytes (none when negative).
std::string httpHead(int status, std::string_view reason, int64_t contentLength,
                     const std::vector<std::string>& extraHeaders = {});

// Deterministic, non-repeating-looking test content: byte i of stream `seed`.
std::string patternBytes(uint64_t offset, std::size_t size, uint32_t seed);

// A 127.0.0.1 port that nothing listens on (bound, read and closed again).
uint16_t unusedPort();

// Connects to 127.0.0.1:port and closes again without sending anything; false
// when the connection was refused. The server accepts connections in order of
// arrival, so once it has closed this one it has accepted every earlier one.
bool connectAndClose(uint16_t port);

}  // namespace quillet_test
