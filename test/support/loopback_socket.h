// The socket calls of the loopback test servers, the same on Winsock and
// POSIX. Sockets are kept as int: a SOCKET fits on 32-bit Windows, where the
// tests run.
#pragma once

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quillet_test::loopback {

inline constexpr int kPollMs = 50;

#ifdef _WIN32
constexpr int kSocketFlags = 0;
constexpr int kSendFlags = 0;
constexpr int kPeekFlags = MSG_PEEK;
constexpr int kShutBoth = SD_BOTH;
constexpr int kShutSend = SD_SEND;
using ssize_t = int;

inline bool startWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

inline void closeSocket(int socket) { ::closesocket(static_cast<SOCKET>(socket)); }

inline int pollOne(int socket, short events, int timeoutMs) {
  WSAPOLLFD entry{static_cast<SOCKET>(socket), events, 0};
  return ::WSAPoll(&entry, 1, timeoutMs);
}

inline bool retryable() {
  const int error = ::WSAGetLastError();
  return error == WSAEINTR || error == WSAEWOULDBLOCK;
}

inline int acceptSocket(int listener) {
  const SOCKET accepted = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return accepted == INVALID_SOCKET ? -1 : static_cast<int>(accepted);
}
#else
constexpr int kSocketFlags = SOCK_CLOEXEC;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kPeekFlags = MSG_PEEK | MSG_DONTWAIT;
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kShutSend = SHUT_WR;

inline bool startWinsock() { return true; }

inline void closeSocket(int socket) { ::close(socket); }

inline int pollOne(int socket, short events, int timeoutMs) {
  pollfd entry{socket, events, 0};
  return ::poll(&entry, 1, timeoutMs);
}

inline bool retryable() { return errno == EINTR || errno == EAGAIN; }

inline int acceptSocket(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
#endif

inline int listenOnLoopback(uint16_t& port) {
  if (!startWinsock()) throw std::runtime_error("WSAStartup failed");
  auto created = ::socket(AF_INET, SOCK_STREAM | kSocketFlags, 0);
  if (created == static_cast<decltype(created)>(-1)) throw std::runtime_error("socket failed");
  const int fd = static_cast<int>(created);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeSocket(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// Connects to 127.0.0.1:`port`; -1 when refused.
inline int connectToLoopback(uint16_t port) {
  if (!startWinsock()) return -1;
  auto created = ::socket(AF_INET, SOCK_STREAM | kSocketFlags, 0);
  if (created == static_cast<decltype(created)>(-1)) return -1;
  const int fd = static_cast<int>(created);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closeSocket(fd);
    return -1;
  }
  return fd;
}

inline bool sendAll(int socket, const char* data, std::size_t size) {
  while (size > 0) {
    const auto sent = ::send(socket, data, static_cast<int>(size), kSendFlags);
    if (sent < 0 && retryable()) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Sends `request` to 127.0.0.1:`port`, ends the sending side and returns all
// that comes back until the server closes; empty when the port refuses.
inline std::string exchange(uint16_t port, const std::string& request) {
  const int fd = connectToLoopback(port);
  if (fd < 0) return {};
  std::string answer;
  if (sendAll(fd, request.data(), request.size())) {
    ::shutdown(fd, kShutSend);
    char buffer[16384];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
      answer.append(buffer, static_cast<std::size_t>(got));
  }
  closeSocket(fd);
  return answer;
}

}  // namespace quillet_test::loopback
