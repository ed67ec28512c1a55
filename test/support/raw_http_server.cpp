#include "support/raw_http_server.h"

#include <gtest/gtest.h>

#include "support/loopback_socket.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quillet_test {
namespace {

using namespace loopback;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A mix of the 8-byte block number, so any slice can be produced on its own.
uint64_t patternBlock(uint64_t block, uint32_t seed) {
  uint64_t x = (block + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) << 32 | seed);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return x;
}

}  // namespace

std::vector<std::string> HttpRequest::headerNames() const {
  std::vector<std::string> names;
  for (const auto& entry : headers) names.push_back(entry.first);
  return names;
}

void expectFixedHeaders(const HttpRequest& request) {
  EXPECT_EQ(request.header("User-Agent"), "zep::setup/22.04.01.0365");
  EXPECT_EQ(request.header("Content-Type"), "application/xml;charset=UTF-8");
  EXPECT_EQ(request.header("Accept"), "text/html, text/xml, text/*, */*");
  EXPECT_EQ(request.header("Connection"), "Keep-Alive");
}

std::string HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return {};
}

bool HttpRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [name](const auto& entry) { return equalsIgnoreCase(entry.first, name); });
}

bool Connection::send(std::string_view bytes) {
  // Bytes of a head still to go: it counts once its blank line is out.
  std::size_t headLeft = 0;
  if (bytes.substr(0, 5) == "HTTP/") {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end != std::string_view::npos) headLeft = end + 4;
  }
  while (!bytes.empty()) {
    if (closed_ || server_.stopping()) return false;
    int ready = pollOne(socket_, POLLOUT, kPollMs);
    if (ready < 0 && !retryable()) return false;
    if (ready <= 0) continue;
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
    ssize_t sent = ::send(socket_, bytes.data(), chunk, kSendFlags);
    if (sent < 0) {
      if (retryable()) continue;
      return false;
    }
    const auto written = static_cast<std::size_t>(sent);
    const bool headDone = headLeft > 0 && written >= headLeft;
    headLeft = headLeft > written ? headLeft - written : 0;
    server_.countSent(written, headDone);
    bytes.remove_prefix(written);
  }
  return true;
}

bool Connection::sendPattern(uint64_t offset, uint64_t size, uint32_t seed) {
  constexpr std::size_t kChunk = 256 * 1024;
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(size, kChunk));
    if (!send(patternBytes(offset, n, seed))) return false;
    offset += n;
    size -= n;
  }
  return true;
}

void Connection::stall(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!closed_ && !server_.stopping() && std::chrono::steady_clock::now() < deadline) {
    // Readable with nothing to read means the peer has closed.
    if (pollOne(socket_, POLLIN, kPollMs) > 0) {
      char probe;
      if (::recv(socket_, &probe, 1, kPeekFlags) == 0) return;
    }
  }
}

bool Connection::tunnel(uint16_t port) {
  const int upstream = connectToLoopback(port);
  if (upstream < 0) return false;
  if (send("HTTP/1.1 200 Connection established\r\n\r\n")) {
    while (!closed_ && !server_.stopping()) {
      for (const auto [from, to] : {std::pair{socket_, upstream}, std::pair{upstream, socket_}}) {
        if (pollOne(from, POLLIN, 10) <= 0) continue;
        char buffer[16384];
        const auto got = ::recv(from, buffer, sizeof buffer, 0);
        if (got <= 0 || !sendAll(to, buffer, static_cast<std::size_t>(got))) closed_ = true;
      }
    }
  }
  closeSocket(upstream);
  close();
  return true;
}

void Connection::close() {
  if (closed_) return;
  closed_ = true;
  ::shutdown(socket_, kShutBoth);
}

RawHttpServer::RawHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = listenOnLoopback(port_);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer() { stop(); }

std::string RawHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

bool RawHttpServer::stopping() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stopping_;
}

void RawHttpServer::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_ && !acceptor_.joinable()) return;
    stopping_ = true;
    for (int fd : sockets_) ::shutdown(fd, kShutBoth);
  }
  changed_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker.join();
  if (listener_ >= 0) {
    closeSocket(listener_);
    listener_ = -1;
  }
}

void RawHttpServer::acceptLoop() {
  while (!stopping()) {
    if (pollOne(listener_, POLLIN, kPollMs) <= 0) continue;
    int fd = acceptSocket(listener_);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) {
      closeSocket(fd);
      break;
    }
    ++accepted_;
    sockets_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

bool RawHttpServer::readRequest(int socket, std::string& pending, HttpRequest& request) {
  auto fill = [&]() {
    for (;;) {
      if (stopping()) return false;
      int ready = pollOne(socket, POLLIN, kPollMs);
      if (ready < 0 && !retryable()) return false;
      if (ready <= 0) continue;
      char buffer[16384];
      ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
      if (got < 0 && retryable()) continue;
      if (got <= 0) return false;
      pending.append(buffer, static_cast<std::size_t>(got));
      return true;
    }
  };
  std::size_t end;
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return false;
  }
  const std::string head = pending.substr(0, end);
  pending.erase(0, end + 4);

  std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  const std::size_t firstSpace = requestLine.find(' ');
  const std::size_t lastSpace = requestLine.rfind(' ');
  request.method = requestLine.substr(0, firstSpace);
  request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  request.version = requestLine.substr(lastSpace + 1);
  while (lineEnd != std::string::npos) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    const std::size_t colon = line.find(':');
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers.emplace_back(line.substr(0, colon), value);
  }
  const std::string length = request.header("Content-Length");
  const std::size_t bodySize = length.empty() ? 0 : std::stoul(length);
  while (pending.size() < bodySize) {
    if (!fill()) return false;
  }
  request.body = pending.substr(0, bodySize);
  pending.erase(0, bodySize);
  return true;
}

void RawHttpServer::serve(int socket) {
  std::string pending;
  Connection connection(*this, socket);
  for (;;) {
    HttpRequest request;
    if (!readRequest(socket, pending, request)) break;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    handler_(request, connection);
    if (connection.closed()) break;
  }
  connection.close();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), socket), sockets_.end());
    closeSocket(socket);
    ++closed_;
  }
  changed_.notify_all();
}

void RawHttpServer::countSent(uint64_t bytes, bool headDone) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    bytesSent_ += bytes;
    if (headDone) ++headsSent_;
  }
  changed_.notify_all();
}

std::vector<HttpRequest> RawHttpServer::requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

std::size_t RawHttpServer::requestCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_.size();
}

std::size_t RawHttpServer::acceptedCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return accepted_;
}

std::size_t RawHttpServer::openConnections() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return sockets_.size();
}

template <typename Reached>
bool RawHttpServer::waitFor(std::chrono::milliseconds limit, Reached reached) const {
  std::unique_lock<std::mutex> guard(mutex_);
  changed_.wait_for(guard, limit, [&] { return reached() || stopping_; });
  return reached();
}

bool RawHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  return waitFor(limit, [&] { return requests_.size() >= count; });
}

bool RawHttpServer::waitForHeadsSent(std::size_t count, std::chrono::milliseconds limit) const {
  return waitFor(limit, [&] { return headsSent_ >= count; });
}

bool RawHttpServer::waitForBytesSent(uint64_t count, std::chrono::milliseconds limit) const {
  return waitFor(limit, [&] { return bytesSent_ >= count; });
}

bool RawHttpServer::waitForClosedConnections(std::size_t count, std::chrono::milliseconds limit) const {
  return waitFor(limit, [&] { return closed_ >= count; });
}

std::string httpHead(int status, std::string_view reason, int64_t contentLength,
                     const std::vector<std::string>& extraHeaders) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  if (contentLength >= 0) head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  for (const std::string& line : extraHeaders) head += line + "\r\n";
  head += "\r\n";
  return head;
}

std::string httpResponse(int status, std::string_view reason, std::string_view body,
                         const std::vector<std::string>& extraHeaders) {
  return httpHead(status, reason, static_cast<int64_t>(body.size()), extraHeaders) + std::string(body);
}

std::string patternBytes(uint64_t offset, std::size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  std::size_t i = 0;
  while (i < size) {
    const uint64_t position = offset + i;
    const uint64_t x = patternBlock(position / 8, seed);
    for (unsigned k = static_cast<unsigned>(position % 8); k < 8 && i < size; ++k, ++i) {
      bytes[i] = static_cast<char>(x >> (k * 8));
    }
  }
  return bytes;
}

uint16_t unusedPort() {
  uint16_t port = 0;
  int fd = listenOnLoopback(port);
  closeSocket(fd);
  return port;
}

bool connectAndClose(uint16_t port) {
  const int fd = connectToLoopback(port);
  if (fd < 0) return false;
  closeSocket(fd);
  return true;
}

}  // namespace quillet_test
