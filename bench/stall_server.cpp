#include "stall_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <vector>

namespace bench {

StallServer::StallServer(std::string prefix) : prefix_(std::move(prefix)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 128) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe(wake_) != 0) {
    throw std::runtime_error("stall server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

StallServer::~StallServer() {
  const char stop = 0;
  if (write(wake_[1], &stop, 1) != 1) {
    // The thread also ends when the pipe breaks below.
  }
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  close(listener_);
}

std::string StallServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/stall"; }

bool StallServer::waitForStalled(int count) const {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (stalled_ < count) {
    if (std::chrono::steady_clock::now() > limit) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void StallServer::serve() {
  std::map<int, std::string> heads;  // socket -> bytes of its request so far
  for (;;) {
    std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& entry : heads) {
      watched.push_back({entry.first, POLLIN, 0});
    }
    poll(watched.data(), watched.size(), -1);
    if (watched[0].revents != 0) {
      break;
    }
    if (watched[1].revents & POLLIN) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client >= 0) {
        heads[client];
      }
    }
    for (std::size_t i = 2; i < watched.size(); ++i) {
      if (watched[i].revents == 0) {
        continue;
      }
      const int client = watched[i].fd;
      char buffer[4096];
      const ssize_t got = read(client, buffer, sizeof buffer);
      if (got <= 0) {
        close(client);
        heads.erase(client);
        continue;
      }
      std::string& head = heads[client];
      const bool complete = head.find("\r\n\r\n") != std::string::npos;
      head.append(buffer, static_cast<std::size_t>(got));
      if (!complete && head.find("\r\n\r\n") != std::string::npos) {
        if (!prefix_.empty() && send(client, prefix_.data(), prefix_.size(), MSG_NOSIGNAL) < 0) {
          // The client went; its read will report that.
        }
        ++stalled_;
      }
    }
  }
  for (const auto& entry : heads) {
    close(entry.first);
  }
}

}  // namespace bench
