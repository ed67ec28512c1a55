// Download jobs as the installer drives them: a manifest's files handed over
// at once, run by the library against loopback servers the tests start.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/tls_server.h"
#ifndef _WIN32
#include "support/process.h"
#endif
#include "support/time_limits.h"

using namespace std::chrono_literals;
using quillet_test::Connection;
using quillet_test::httpHead;
using quillet_test::HttpRequest;
using quillet_test::patternBytes;
using quillet_test::RawHttpServer;
using quillet_test::readFile;
using quillet_test::scaled;
using quillet_test::TempDir;
using quillet_test::widePath;

namespace {

// "/<seed>" serves `size` bytes of that seed's pattern, keeping the connection.
RawHttpServer::Handler patternFiles(std::size_t size) {
  return [size](const HttpRequest& request, Connection& c) {
    const auto seed = static_cast<uint32_t>(std::stoul(request.target.substr(1)));
    c.send(httpHead(200, "OK", static_cast<int64_t>(size)));
    c.sendPattern(0, size, seed);
  };
}

unsigned addFile(unsigned job, const std::string& url, const std::u16string& path) {
  QL_DOWNLOAD_OPTIONS options{};
  options.size = sizeof(options);
  options.job = job;
  return QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
}

QL_JOB_PROGRESS progressOf(unsigned job) {
  QL_JOB_PROGRESS progress{};
  progress.size = sizeof(progress);
  EXPECT_EQ(QL_JobProgress(job, &progress), 1);
  return progress;
}

// Many files over few connections, each whole, and the job's figures the
// sum of its files'.
TEST(Job, RunsEveryFileOverAtMostItsConnectionsPerHost) {
  constexpr int kFiles = 300;
  constexpr std::size_t kSize = 3000;
  RawHttpServer server(patternFiles(kSize));
  TempDir dir;
  QL_JOB_OPTIONS settings{sizeof(QL_JOB_OPTIONS), QL_JOB_HTTP1, 8, 2, 0};
  const unsigned job = QL_CreateJob(&settings);
  ASSERT_NE(job, 0u);
  std::vector<unsigned> ids;
  for (int i = 0; i < kFiles; ++i) {
    ids.push_back(addFile(job, server.url("/" + std::to_string(i)), widePath(dir.file("f" + std::to_string(i)))));
  }
  ASSERT_EQ(QL_WaitJob(job, static_cast<unsigned>(scaled(60s).count())), 1);
  EXPECT_LE(server.acceptedCount(), 2u);
  const QL_JOB_PROGRESS progress = progressOf(job);
  EXPECT_EQ(progress.files, static_cast<unsigned>(kFiles));
  EXPECT_EQ(progress.filesDone, static_cast<unsigned>(kFiles));
  EXPECT_EQ(progress.filesFailed, 0u);
  EXPECT_EQ(progress.bytesTotal, static_cast<long long>(kFiles * kSize));
  EXPECT_EQ(progress.bytesWritten, progress.bytesTotal);
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_EQ(quillet_test::infoOf(ids[i]).state, QL_STATE_DONE) << i;
    ASSERT_TRUE(readFile(dir.file("f" + std::to_string(i))) == patternBytes(0, kSize, static_cast<uint32_t>(i))) << i;
  }
  const auto records = quillet_test::drainLogRecords();
  EXPECT_NE(std::find(records.begin(), records.end(),
                      "Job finished: " + std::to_string(job) + ", " + std::to_string(kFiles) + " done, 0 failed"),
            records.end());
  EXPECT_EQ(QL_RemoveJob(job), 1);
  EXPECT_EQ(quillet_test::infoOf(ids[0]).state, QL_STATE_NONE);  // removed with the job
  EXPECT_EQ(QL_WaitJob(job, 0), 0);
}

// A pause stops the wire within 250 ms; the resume goes on from the bytes on
// disk and ends byte-exact.
TEST(Job, PauseStopsTheWireAndResumeEndsByteExact) {
  constexpr std::size_t kSize = 24 * 1024 * 1024;
  RawHttpServer server(patternFiles(kSize));
  TempDir dir;
  // Capped, so that the file is still running when the pause comes.
  QL_JOB_OPTIONS settings{sizeof(QL_JOB_OPTIONS), 0, 0, 0, 8 * 1024 * 1024};
  const unsigned job = QL_CreateJob(&settings);
  ASSERT_NE(job, 0u);
  const unsigned id = addFile(job, server.url("/7"), widePath(dir.file("big")));
  ASSERT_TRUE(server.waitForBytesSent(2 * 1024 * 1024, scaled(20s)));
  ASSERT_EQ(QL_PauseJob(job, 1), 1);
  std::this_thread::sleep_for(scaled(250ms));
  const QL_JOB_PROGRESS paused = progressOf(job);
  EXPECT_EQ(paused.paused, 1u);
  EXPECT_EQ(paused.filesDone, 0u);
  // Nothing the server sends after that can arrive: its sends block once the
  // sockets' buffers are full.
  std::this_thread::sleep_for(scaled(250ms));
  const QL_JOB_PROGRESS still = progressOf(job);
  EXPECT_EQ(still.bytesWritten, paused.bytesWritten);
  EXPECT_EQ(QL_WaitJob(job, 300), 0);
  EXPECT_EQ(quillet_test::infoOf(id).state, QL_STATE_RUNNING);

  ASSERT_EQ(QL_PauseJob(job, 0), 1);
  ASSERT_EQ(QL_WaitJob(job, static_cast<unsigned>(scaled(60s).count())), 1);
  EXPECT_EQ(quillet_test::infoOf(id).state, QL_STATE_DONE);
  EXPECT_TRUE(readFile(dir.file("big")) == patternBytes(0, kSize, 7));
  EXPECT_EQ(progressOf(job).bytesWritten, static_cast<long long>(kSize));
  EXPECT_EQ(QL_RemoveJob(job), 1);
}

#ifndef _WIN32
// Over HTTP/2 the whole list shares one connection. The server is nghttpd,
// whose log names the connection each request came on; its certificate is
// trusted in a mount namespace of this process alone.
TEST(Job, OneConnectionToAnHttp2Host) {
  TempDir dir;
  const std::string key = dir.file("key.pem").string();
  const std::string cert = dir.file("cert.pem").string();
  const auto made = quillet_test::runProcess(
      "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
                  "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  // Before any thread of this process, as a namespace of its own needs.
  const std::string untrusted = quillet_test::trustRootInThisProcess(readFile(cert));
  if (!untrusted.empty()) GTEST_SKIP() << "cannot trust the test certificate here: " << untrusted;
  constexpr int kFiles = 1000;
  std::filesystem::create_directory(dir.file("www"));
  for (int i = 0; i < kFiles; ++i)
    quillet_test::writeFile(dir.file("www") / std::to_string(i), patternBytes(0, 1000, i));
  const uint16_t port = quillet_test::unusedPort();
  quillet_test::StartedProcess server(
      "nghttpd", {"-v", "--address=127.0.0.1", "-d", dir.file("www").string(), std::to_string(port), key, cert});
  if (!server.started()) GTEST_SKIP() << "nghttpd is not installed";
  ASSERT_TRUE(quillet_test::eventually([&] { return quillet_test::connectAndClose(port); }, scaled(20s)));

  const unsigned job = QL_CreateJob(nullptr);
  ASSERT_NE(job, 0u);
  for (int i = 0; i < kFiles; ++i) {
    addFile(job, "https://127.0.0.1:" + std::to_string(port) + "/" + std::to_string(i),
            widePath(dir.file("f" + std::to_string(i))));
  }
  ASSERT_EQ(QL_WaitJob(job, static_cast<unsigned>(scaled(60s).count())), 1);
  EXPECT_EQ(progressOf(job).filesDone, static_cast<unsigned>(kFiles));
  EXPECT_TRUE(readFile(dir.file("f999")) == patternBytes(0, 1000, 999));
  QL_RemoveJob(job);
  server.interrupt();
  const std::string log = server.wait().out;
  std::set<std::string> connections;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("recv HEADERS") != std::string::npos) connections.insert(line.substr(0, line.find(']') + 1));
  }
  EXPECT_EQ(connections.size(), 1u) << ::testing::PrintToString(connections);
}
#endif

// QL_Cleanup ends every job, also while files are being added and run; the
// job's id is unknown from then on.
TEST(Job, CleanupRacingTheJobEndsIt) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", 1000));
    c.stall(scaled(30s));
  });
  TempDir dir;
  const unsigned job = QL_CreateJob(nullptr);
  ASSERT_NE(job, 0u);
  std::thread adder([&] {
    for (int i = 0; i < 200; ++i)
      addFile(job, server.url("/" + std::to_string(i)), widePath(dir.file(std::to_string(i))));
  });
  ASSERT_TRUE(server.waitForRequests(3, scaled(20s)));
  QL_Cleanup();
  adder.join();
  QL_JOB_PROGRESS progress{};
  progress.size = sizeof(progress);
  EXPECT_EQ(QL_JobProgress(job, &progress), 0);
  EXPECT_EQ(QL_WaitJob(job, 0), 0);
  EXPECT_EQ(QL_RemoveJob(job), 0);
  EXPECT_EQ(QL_CreateJob(nullptr), 0u);  // the HTTP system is down for good
}

}  // namespace
