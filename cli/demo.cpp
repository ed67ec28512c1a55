// `quillet demo`: the installer's whole flow through the exports, against an
// HTTP server that runs inside this process on loopback.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "commands.h"
#include "host.h"
#include "progress.h"
#include "quillet/quillet.h"
#include "terminal.h"

namespace quillet_cli {
namespace {

constexpr std::size_t kPayloadSize = 24u << 20;
constexpr std::size_t kChunk = 64u << 10;
constexpr auto kChunkPause = std::chrono::milliseconds(6);  // about 10 MiB/s: the bar has time to show

// Deterministic payload bytes, so the client can verify what it received.
std::string makePayload() {
  std::string data(kPayloadSize, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (auto& byte : data) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    byte = static_cast<char>(state >> 56);
  }
  return data;
}

uint64_t fnv1a64(const char* data, std::size_t size) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::string hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

class DemoServer {
 public:
  DemoServer() : payload_(makePayload()) {
    server_.Get("/manifest.json", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "{\"name\": \"quillet demo payload\", \"version\": \"1.0.0\", \"payload\": \"/payload.bin\", "
          "\"size\": \"" +
              std::to_string(payload_.size()) + "\", \"fnv1a64\": \"" + hex(fnv1a64(payload_.data(), payload_.size())) +
              "\", \"stats\": \"/stats\"}",
          "application/json");
    });
    server_.Get("/payload.bin", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(payload_.size(), "application/octet-stream",
                               [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 if (stopping_.load()) return false;
                                 std::this_thread::sleep_for(kChunkPause);
                                 return sink.write(payload_.data() + offset, std::min(length, kChunk));
                               });
    });
    // Sends a little, then stalls until the client goes away or the demo ends.
    server_.Get("/slow.bin", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(1u << 20, "application/octet-stream",
                               [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset == 0) return sink.write(payload_.data(), 4096);
                                 for (int i = 0; i < 600 && !stopping_.load(); ++i) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                 }
                                 return false;
                               });
    });
    server_.Post("/stats", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> guard(mutex_);
      stats_.push_back(req.body);
      res.set_content("ok", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }

  ~DemoServer() {
    stopping_.store(true);
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  bool ok() const { return port_ > 0; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<std::string> stats() {
    std::lock_guard<std::mutex> guard(mutex_);
    return stats_;
  }

 private:
  std::string payload_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> stats_;
};

// Removes the demo's scratch folder whatever happens.
struct ScratchDir {
  std::filesystem::path path;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

std::string newUlid() {
  QL_WCHAR units[26];
  QL_GenerateULID(units);
  return unwiden(units, 26);
}

int step(int number, const std::string& text) {
  std::printf("[%d/7] %s\n", number, text.c_str());
  std::fflush(stdout);
  return number;
}

int demoFailure(LogPrinter& log, const std::string& reason) {
  QL_Cleanup();
  log.drain();
  std::fprintf(stderr, "quillet: demo failed: %s\n", reason.c_str());
  return kExitFailure;
}

}  // namespace

int runDemo(const Options& options) {
  LogPrinter log(options.verbose);
  DemoServer server;
  if (!server.ok()) return demoFailure(log, "cannot start the loopback server");
  ScratchDir scratch{std::filesystem::temp_directory_path() / ("quillet-demo-" + newUlid())};
  std::filesystem::create_directories(scratch.path);
  std::printf("quillet demo: serving on %s\n", server.url("").c_str());

  QL_Initialize();
  log.drain();
  step(1, "HTTP system up");

  unsigned manifestId = QL_Request(0, server.url("/manifest.json").c_str(), nullptr);
  QL_REQUEST_INFO info = waitForRequest(manifestId, nullptr, {});
  std::string manifest = requestBody(manifestId);
  const std::string manifestWords = requestError(manifestId);
  QL_RemoveRequest(manifestId);
  if (info.state != QL_STATE_DONE) return demoFailure(log, "manifest: " + describeFailure(info, manifestWords));
  int document = QL_ParseJSON(manifest.c_str());
  std::string name, payloadPath, size, checksum, statsPath;
  if (document == 0 || !stringMember(document, "name", name) || !stringMember(document, "payload", payloadPath) ||
      !stringMember(document, "size", size) || !stringMember(document, "fnv1a64", checksum) ||
      !stringMember(document, "stats", statsPath)) {
    return demoFailure(log, "the manifest is not what the server sent");
  }
  step(2, "manifest: \"" + name + "\", " + size + " bytes at " + payloadPath);

  std::filesystem::path target = scratch.path / "payload.bin";
  std::u16string target16, slow16;
  if (!toWidePath(target.u8string(), target16) || !toWidePath((scratch.path / "slow.bin").u8string(), slow16)) {
    return demoFailure(log, "the scratch folder's name is not UTF-8");
  }
  step(3, "downloading to " + target.u8string());
  unsigned downloadId =
      QL_DownloadFile(server.url(payloadPath).c_str(), reinterpret_cast<const QL_WCHAR*>(target16.c_str()));
  ProgressReporter progress(stderr, isTerminal(stderr), terminalWidth(stderr));
  info = waitForRequest(downloadId, nullptr, [&] {
    int total = 0, downloaded = 0;
    if (QL_RequestDownloadProgress(downloadId, &total, &downloaded) == 1) {
      progress.update(static_cast<uint32_t>(downloaded), total);
    }
    log.drain();
  });
  std::error_code error;
  auto received = std::filesystem::file_size(target, error);
  progress.finish(error ? 0 : received, info.contentLength);
  QL_RemoveRequest(downloadId);
  log.drain();
  if (info.state != QL_STATE_DONE) return demoFailure(log, "download: " + finishedText(log.records()));

  std::ifstream in(target, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (std::to_string(bytes.size()) != size || hex(fnv1a64(bytes.data(), bytes.size())) != checksum) {
    return demoFailure(log, "the payload does not match its manifest");
  }
  step(4, "verified " + size + " bytes, FNV-1a " + checksum);

  std::string ulid = newUlid();
  std::string stats = "{\"event\":\"installed\",\"id\":\"" + ulid + "\"}";
  unsigned statsId = QL_SendStats(server.url(statsPath).c_str(), stats.c_str());
  info = waitForRequest(statsId, nullptr, {});
  const std::string statsWords = requestError(statsId);
  QL_RemoveRequest(statsId);
  auto received_stats = server.stats();
  if (info.state != QL_STATE_DONE || received_stats.empty() || received_stats.back() != stats) {
    return demoFailure(log, "stats: " + describeFailure(info, statsWords));
  }
  step(5, "stats sent with id " + ulid);

  unsigned slowId = QL_DownloadFile(server.url("/slow.bin").c_str(), reinterpret_cast<const QL_WCHAR*>(slow16.c_str()));
  for (int i = 0; i < 100; ++i) {
    int total = 0, downloaded = 0;
    if (QL_RequestDownloadProgress(slowId, &total, &downloaded) == 1 && downloaded > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  QL_CancelRequest(slowId);
  info = waitForRequest(slowId, nullptr, {});
  QL_RemoveRequest(slowId);
  log.drain();
  if (info.state != QL_STATE_FAILED || info.curlCode != 42)
    return demoFailure(log, "the slow download was not cancelled");
  step(6, "slow download cancelled (libcurl code " + std::to_string(info.curlCode) + ")");

  QL_Cleanup();
  log.drain();
  step(7, "HTTP system down");

  std::printf("log records:\n");
  for (const auto& record : log.records()) std::printf("  %s\n", record.c_str());
  return 0;
}

}  // namespace quillet_cli
