// A TCP relay on 127.0.0.1 that holds every chunk it forwards for a while in
// each direction, so that a loopback server looks as far away as a real one:
// 25 ms each way is a 50 ms round trip. It counts the connections it accepts
// in a file, for the benchmarks that must show how few a client opened.
//
//   quillet_bench_relay LISTEN_PORT TARGET_PORT DELAY_MS COUNT_FILE
//
// Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One direction of one connection: a reader queues what it reads with the
// time it may go on, a writer sends it then.
void pump(int from, int to, std::chrono::milliseconds delay) {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Chunk> chunks;
  bool ended = false;
  std::thread writer([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return ended || !chunks.empty(); });
      if (chunks.empty()) break;
      Chunk chunk = std::move(chunks.front());
      chunks.pop_front();
      lock.unlock();
      std::this_thread::sleep_until(chunk.due);
      std::size_t sent = 0;
      while (sent < chunk.bytes.size()) {
        const ssize_t n = ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      lock.lock();
    }
    ::shutdown(to, SHUT_WR);
  });
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    std::lock_guard<std::mutex> guard(mutex);
    chunks.push_back({Clock::now() + delay, std::string(buffer, static_cast<std::size_t>(n))});
    changed.notify_one();
  }
  {
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
  }
  changed.notify_one();
  writer.join();
}

int connectTo(uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS COUNT_FILE\n", argv[0]);
    return 2;
  }
  const auto listenPort = static_cast<uint16_t>(std::atoi(argv[1]));
  const auto targetPort = static_cast<uint16_t>(std::atoi(argv[2]));
  const std::chrono::milliseconds delay(std::atoi(argv[3]));
  const std::string countFile = argv[4];

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listenPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 512) != 0) {
    std::perror("relay: bind");
    return 1;
  }
  std::atomic<long> accepted{0};
  for (;;) {
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    std::ofstream(countFile, std::ios::trunc) << ++accepted << "\n";
    const int server = connectTo(targetPort);
    if (server < 0) {
      ::close(client);
      continue;
    }
    for (int s : {client, server}) ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::thread([client, server, delay] {
      std::thread back(pump, server, client, delay);
      pump(client, server, delay);
      back.join();
      ::close(client);
      ::close(server);
    }).detach();
  }
}
