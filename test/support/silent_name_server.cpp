#include "support/silent_name_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/mount_namespace.h"
#include "support/time_limits.h"

namespace quillet_test {
namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

int boundSocket(int type, const std::string& address) {
  const int socket = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(53);
  ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  if (::bind(socket, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    const int error = errno;
    ::close(socket);
    errno = error;
    return -1;
  }
  return socket;
}

}  // namespace

SilentNameServer::SilentNameServer() {
  // Another test process may hold the first addresses.
  for (int last = 153; last < 200 && address_.empty(); ++last) {
    const std::string address = "127.0.0." + std::to_string(last);
    udp_ = boundSocket(SOCK_DGRAM, address);
    if (udp_ < 0) {
      if (errno == EADDRINUSE) continue;
      unavailable_ = systemError("binding " + address + ":53");
      return;
    }
    tcp_ = boundSocket(SOCK_STREAM, address);
    if (tcp_ < 0 || ::listen(tcp_, 16) != 0) {
      ::close(udp_);
      udp_ = -1;
      if (tcp_ >= 0) ::close(tcp_);
      tcp_ = -1;
      continue;
    }
    address_ = address;
  }
  if (address_.empty()) {
    unavailable_ = "no free address for a name server on loopback";
  } else if (::pipe2(wake_, O_CLOEXEC) != 0) {
    unavailable_ = systemError("pipe2");
  }
}

SilentNameServer::~SilentNameServer() {
  if (thread_.joinable()) {
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], "x", 1);
    thread_.join();
  }
  for (int socket : {udp_, tcp_, wake_[0], wake_[1]}) {
    if (socket >= 0) ::close(socket);
  }
}

std::string SilentNameServer::resolvConf(int timeoutSeconds, int attempts) const {
  return "nameserver " + address_ + "\noptions timeout:" + std::to_string(timeoutSeconds) +
         " attempts:" + std::to_string(attempts) + "\n";
}

void SilentNameServer::start() {
  if (unavailable_.empty() && !thread_.joinable()) thread_ = std::thread([this] { serve(); });
}

bool SilentNameServer::waitForQueries(int count, std::chrono::milliseconds limit) const {
  return eventually([&] { return queries() >= count; }, limit);
}

void SilentNameServer::serve() {
  std::vector<int> held;  // TCP clients, kept waiting until the end
  char datagram[2048];
  for (;;) {
    pollfd watched[] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[2].revents != 0) break;
    if (watched[0].revents & POLLIN) {
      if (::recv(udp_, datagram, sizeof datagram, 0) >= 0) ++queries_;
    }
    if (watched[1].revents & POLLIN) {
      const int client = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        held.push_back(client);
        ++queries_;
      }
    }
  }
  for (int client : held) ::close(client);
}

SilentResolver::~SilentResolver() {
  if (!conf.empty()) ::unlink(conf.c_str());
}

SilentResolver resolveThroughSilentServerInThisProcess(int timeoutSeconds, int attempts) {
  SilentResolver result;
  auto server = std::make_unique<SilentNameServer>();
  result.unavailable = server->unavailable();
  if (result.unavailable.empty()) {
    result.unavailable =
        showInPrivateNamespace("/etc/resolv.conf", server->resolvConf(timeoutSeconds, attempts), &result.conf);
  }
  if (!result.unavailable.empty()) return result;
  // Its thread comes after the namespace, so that it is in it too.
  server->start();
  result.server = std::move(server);
  return result;
}

}  // namespace quillet_test
