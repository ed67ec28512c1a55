// The request exports as the installer drives them: over real HTTP to a
// loopback server started by each test, with real files, and reading results
// only through the public header.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#endif

using namespace std::chrono_literals;
using quillet_test::bodyOf;
using quillet_test::Connection;
using quillet_test::drainLogRecords;
using quillet_test::eventually;
using quillet_test::httpHead;
using quillet_test::HttpRequest;
using quillet_test::httpResponse;
using quillet_test::infoOf;
using quillet_test::patternBytes;
using quillet_test::RawHttpServer;
using quillet_test::scaled;
using quillet_test::TempDir;
using quillet_test::waitFinished;
using Records = std::vector<std::string>;

namespace {

const QL_WCHAR* hostPath(const std::u16string& path) { return reinterpret_cast<const QL_WCHAR*>(path.c_str()); }

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

RawHttpServer::Handler answer(std::string response) {
  return [response](const HttpRequest&, Connection& c) { c.send(response); };
}

// A head announcing `length` bytes, `sent` of them, then nothing until stopped.
RawHttpServer::Handler stallMidBody(int64_t length, std::string sent) {
  return [length, sent](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", length) + sent);
    c.stall(scaled(30s));
  };
}

// ---------------------------------------------------------------------------

TEST(RequestOnTheWire, GetIgnoresDataAndCarriesTheFixedHeaders) {
  RawHttpServer server(answer(httpResponse(200, "OK", "x")));
  const unsigned id = QL_Request(0, server.url("/get?q=1").c_str(), "ignored");
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/get?q=1");
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.headerNames(),
            (std::vector<std::string>{"Host", "User-Agent", "Content-Type", "Accept", "Connection"}));
  quillet_test::expectFixedHeaders(request);
  EXPECT_EQ(request.body, "");
}

TEST(RequestOnTheWire, PostSendsDataAsBody) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  const unsigned id = QL_Request(1, server.url("/post?keep=1").c_str(), "<stats a=\"1\"/>");
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/post?keep=1");
  EXPECT_EQ(request.body, "<stats a=\"1\"/>");
  EXPECT_EQ(request.header("Content-Type"), "application/xml;charset=UTF-8");
}

TEST(RequestOnTheWire, SendStatsPostsTheQueryString) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  const unsigned id = QL_SendStats((server.url("/stats") + "?a=1&b=2").c_str(), nullptr);
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/stats");
  EXPECT_EQ(request.body, "a=1&b=2");
  EXPECT_EQ(request.header("Content-Length"), "7");
}

TEST(RequestOnTheWire, PostWithEmptyDataIsAGetOfTheWholeUrl) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  const unsigned id = QL_Request(1, (server.url("/stats") + "?a=1").c_str(), "");
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/stats?a=1");
}

TEST(RequestOnTheWire, DownloadAsksForTheWholeRange) {
  RawHttpServer server(answer(httpResponse(200, "OK", "data")));
  TempDir dir;
  const unsigned id = QL_DownloadFile(server.url("/file").c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.headerNames(),
            (std::vector<std::string>{"Host", "User-Agent", "Content-Type", "Accept", "Connection", "Range"}));
  EXPECT_EQ(request.header("Range"), "bytes=0-");
}

// ---------------------------------------------------------------------------

TEST(RequestOutcome, Success) {
  RawHttpServer server(answer(httpResponse(200, "OK", "hello")));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  EXPECT_EQ(id, 1u);
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.hasInfo, 1);
  EXPECT_EQ(info.curlCode, -1);
  EXPECT_EQ(info.responseCode, 200);
  EXPECT_EQ(info.contentLength, 5);
  EXPECT_EQ(bodyOf(id), "hello");
}

TEST(RequestOutcome, PartialContentIsSuccess) {
  RawHttpServer server(answer(httpResponse(206, "Partial Content", "part", {"Content-Range: bytes 0-3/9"})));
  const QL_REQUEST_INFO info = waitFinished(QL_Request(0, server.url().c_str(), nullptr));
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.responseCode, 206);
}

TEST(RequestOutcome, NotFoundFailsButKeepsTheBody) {
  RawHttpServer server(answer(httpResponse(404, "Not Found", "gone")));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, -1);
  EXPECT_EQ(info.hasInfo, 1);
  EXPECT_EQ(info.responseCode, 404);
  EXPECT_EQ(bodyOf(id), "gone");
}

TEST(RequestOutcome, RedirectIsFollowed) {
  RawHttpServer server([](const HttpRequest& r, Connection& c) {
    if (r.target == "/old") {
      c.send(httpResponse(302, "Found", "", {"Location: /new"}));
    } else {
      c.send(httpResponse(200, "OK", "moved here"));
    }
  });
  const unsigned id = QL_Request(0, server.url("/old").c_str(), nullptr);
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.responseCode, 200);
  EXPECT_EQ(bodyOf(id), "moved here");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/new");
  EXPECT_EQ(requests[1].header("User-Agent"), "zep::setup/22.04.01.0365");
}

TEST(RequestOutcome, ConnectionRefused) {
  const std::string url = "http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/";
  const QL_REQUEST_INFO info = waitFinished(QL_Request(0, url.c_str(), nullptr));
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 7);
  EXPECT_EQ(info.hasInfo, 1);
  EXPECT_EQ(info.responseCode, 0);
}

TEST(RequestOutcome, ConnectionClosedEarly) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", 100) + "short");
    c.close();
  });
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 18);
  EXPECT_EQ(bodyOf(id), "short");
}

// libcurl looks at the cancel flag about once a second while it waits.
constexpr auto kPromptCancel = 3s;

TEST(RequestOutcome, CancelWhileTheServerStalls) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.stall(scaled(30s)); });
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_TRUE(server.waitForRequests(1, scaled(10s)));
  EXPECT_EQ(infoOf(id).state, QL_STATE_RUNNING);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QL_CancelRequest(id), 1);
  const QL_REQUEST_INFO info = waitFinished(id, 5s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(kPromptCancel));
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 42);
  EXPECT_EQ(drainLogRecords(), (Records{"Sending request: 1 <" + server.url() + ">", "Cancel request: 1"}));
}

TEST(RequestOutcome, CancelDuringADownloadBody) {
  RawHttpServer server(stallMidBody(1000, std::string(100, 'b')));
  TempDir dir;
  const unsigned id = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_TRUE(eventually([&] { return infoOf(id).hasInfo == 1; }));
  EXPECT_EQ(QL_CancelRequest(id), 1);
  const QL_REQUEST_INFO info = waitFinished(id, 5s);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 42);
  const Records records = drainLogRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(startsWith(records[2], "Request finished: Inner libCurl error(42): \"")) << records[2];
}

TEST(RequestOutcome, HttpIsDownAfterCleanup) {
  RawHttpServer server(answer(httpResponse(200, "OK", "late")));
  TempDir dir;
  QL_Initialize();
  QL_Cleanup();
  drainLogRecords();
  const unsigned request = QL_Request(0, server.url().c_str(), nullptr);
  EXPECT_NE(request, 0u);
  QL_REQUEST_INFO info = waitFinished(request);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 2);

  const unsigned download = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  info = waitFinished(download);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 2);
  EXPECT_EQ(info.hasInfo, 0);
  EXPECT_EQ(server.requestCount(), 0u);
  const Records records = drainLogRecords();
  EXPECT_NE(
      std::find(records.begin(), records.end(), "Request finished: Inner libCurl error(2): \"Failed initialization\"."),
      records.end());
}

// ---------------------------------------------------------------------------

// Waits for a request that should end at once; one that runs on (a protocol
// waiting for a listener that never answers) is cancelled.
QL_REQUEST_INFO finishedOrCancelled(unsigned id) {
  QL_REQUEST_INFO info = waitFinished(id, 5s);
  if (info.state == QL_STATE_RUNNING) {
    QL_CancelRequest(id);
    info = waitFinished(id);
  }
  return info;
}

// A loopback listener that only the test's own probes may reach. Connections
// are accepted in arrival order, so once a probe has been answered every
// earlier connection has been counted too. Each answer closes its connection,
// so that every probe connects anew rather than reusing a kept one.
class Untouched {
 public:
  std::string at(const std::string& scheme, const std::string& path = "/") const {
    return scheme + "://127.0.0.1:" + std::to_string(server_.port()) + path;
  }
  // True when, since the last call, nothing but this call's probe connected.
  bool onlyTheProbeArrived() {
    const unsigned probe = QL_Request(0, server_.url("/probe").c_str(), nullptr);
    const bool answered = waitFinished(probe).state == QL_STATE_DONE;
    QL_RemoveRequest(probe);
    const std::size_t accepted = server_.acceptedCount();
    const std::size_t arrived = accepted - counted_;
    counted_ = accepted;
    return answered && arrived == 1;
  }

 private:
  RawHttpServer server_{answer(httpResponse(200, "OK", "probe", {"Connection: close"}))};
  std::size_t counted_ = 0;
};

std::string fileUrl(const std::filesystem::path& path) {
  const std::string text = path.generic_string();
  return "file://" + std::string(text.rfind('/', 0) == 0 ? "" : "/") + text;
}

TEST(OnlyHttp, OtherSchemesFailBeforeAnyConnection) {
  Untouched listener;
  TempDir dir;
  const auto local = dir.file("local.txt");
  quillet_test::writeFile(local, "local file content");
  struct Row {
    std::string url;
    bool download;
  };
  const std::vector<Row> rows = {
      {fileUrl(local), false},
      {fileUrl(local), true},
      {listener.at("ftp"), false},
      {listener.at("ftp"), true},
      {listener.at("ftps"), false},
      {listener.at("dict", "/d:word"), false},
      {listener.at("gopher"), false},
      {listener.at("telnet"), false},
      {listener.at("ldap", "/dc=x"), false},
      {listener.at("pop3"), false},
      {listener.at("imap"), false},
      {listener.at("smtp"), false},
      {listener.at("mqtt", "/topic"), false},
      {listener.at("scp", "/x"), false},
      {listener.at("sftp", "/x"), false},
      {listener.at("smb", "/share/x"), false},
      {listener.at("rtsp"), false},
      {listener.at("tftp", "/x"), false},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const auto target = dir.file("target" + std::to_string(i));
    const unsigned id = row.download ? QL_DownloadFile(row.url.c_str(), hostPath(target.u16string()))
                                     : QL_Request(0, row.url.c_str(), nullptr);
    const QL_REQUEST_INFO info = finishedOrCancelled(id);
    EXPECT_EQ(info.state, QL_STATE_FAILED) << row.url;
    EXPECT_EQ(info.curlCode, 1) << row.url;  // unsupported protocol
    if (row.download) {
      EXPECT_EQ(quillet_test::readFile(target), "") << row.url;
    } else {
      EXPECT_EQ(bodyOf(id), "") << row.url;
    }
    EXPECT_TRUE(listener.onlyTheProbeArrived()) << row.url;
    QL_RemoveRequest(id);
  }
}

// The DLL's libcurl is built without the file scheme and refuses such a URL
// as malformed rather than as an unsupported protocol.
#ifdef _WIN32
constexpr int kFileUrlCode = 3;
#else
constexpr int kFileUrlCode = 1;
#endif

TEST(OnlyHttp, RedirectsStayOnHttpAndEndAfterThirty) {
  Untouched listener;
  struct Row {
    std::string path;
    std::string location;
    int curlCode;
    std::size_t requests;  // that reached the redirecting server
  };
  const std::vector<Row> rows = {
      {"/to-ftp", listener.at("ftp"), 1, 1},
      {"/to-file", "file:///etc/passwd", kFileUrlCode, 1},
      {"/to-dict", listener.at("dict", "/d:word"), 1, 1},
      {"/loop", "/loop", 47, 31},  // the request and 30 redirects, then too many
  };
  RawHttpServer redirector([&rows](const HttpRequest& r, Connection& c) {
    for (const Row& row : rows) {
      if (r.target == row.path) {
        c.send(httpResponse(302, "Found", "", {"Location: " + row.location}));
        return;
      }
    }
    c.send(httpResponse(404, "Not Found", ""));
  });
  for (const Row& row : rows) {
    const unsigned id = QL_Request(0, redirector.url(row.path).c_str(), nullptr);
    const QL_REQUEST_INFO info = finishedOrCancelled(id);
    EXPECT_EQ(info.state, QL_STATE_FAILED) << row.path;
    EXPECT_EQ(info.curlCode, row.curlCode) << row.path;
    EXPECT_EQ(bodyOf(id), "") << row.path;
    const auto requests = redirector.requests();
    EXPECT_EQ(
        std::count_if(requests.begin(), requests.end(), [&](const HttpRequest& r) { return r.target == row.path; }),
        static_cast<std::ptrdiff_t>(row.requests))
        << row.path;
    EXPECT_TRUE(listener.onlyTheProbeArrived()) << row.path;
    QL_RemoveRequest(id);
  }
}

// ---------------------------------------------------------------------------

TEST(RequestInfoExport, UnknownIdentifiersGiveInitialValues) {
  for (unsigned id : {0u, 1u, 77u}) {
    QL_REQUEST_INFO info{9, 9, 9, 9, 9};
    EXPECT_EQ(QL_RequestInfo(id, &info), 0);
    EXPECT_EQ(info.state, QL_STATE_NONE);
    EXPECT_EQ(info.hasInfo, 0);
    EXPECT_EQ(info.curlCode, -1);
    EXPECT_EQ(info.responseCode, 0);
    EXPECT_EQ(info.contentLength, 0);
  }
}

TEST(RequestInfoExport, RunningInMemoryRequestShowsNoHead) {
  // Far more than loopback buffers hold unread (a few MB): once all of it is
  // sent, the client has read the head and megabytes of the body.
  constexpr uint64_t kSent = 16 * 1024 * 1024;
  const std::string head = httpHead(200, "OK", 2 * kSent);
  RawHttpServer server([&head](const HttpRequest&, Connection& c) {
    if (c.send(head)) c.sendPattern(0, kSent, 5);
    c.stall(scaled(30s));
  });
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_TRUE(server.waitForHeadsSent(1, scaled(10s)));
  ASSERT_TRUE(server.waitForBytesSent(head.size() + kSent, scaled(20s)));
  QL_REQUEST_INFO info{};
  EXPECT_EQ(QL_RequestInfo(id, &info), 1);
  EXPECT_EQ(info.state, QL_STATE_RUNNING);
  EXPECT_EQ(info.hasInfo, 0);
  EXPECT_EQ(info.curlCode, -1);
  EXPECT_EQ(info.responseCode, 0);
  EXPECT_EQ(info.contentLength, 0);
  int size = 42;
  EXPECT_EQ(QL_RequestData(id, nullptr, &size), 0);  // no data while running
  EXPECT_EQ(size, 42);
}

// Polled while requests end, every answer is of one moment: a running
// in-memory request never shows a head, a finished one always does.
TEST(RequestInfoExport, EveryAnswerIsOfOneMoment) {
  RawHttpServer server(answer(httpResponse(200, "OK", "body")));
  std::atomic<int> mixed{0};
  for (int round = 0; round < 200; ++round) {
    const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
    std::vector<std::thread> pollers;
    for (int p = 0; p < 2; ++p) {
      pollers.emplace_back([&, id] {
        for (;;) {
          QL_REQUEST_INFO info{};
          QL_RequestInfo(id, &info);
          const bool running = info.state == QL_STATE_RUNNING;
          if (running != (info.hasInfo == 0) || running != (info.responseCode == 0)) ++mixed;
          if (!running) return;
        }
      });
    }
    for (auto& poller : pollers) poller.join();
    QL_RemoveRequest(id);
  }
  EXPECT_EQ(mixed.load(), 0);
}

TEST(RequestInfoExport, RunningDownloadShowsItsHeadAndProgress) {
  RawHttpServer server(stallMidBody(1000, std::string(300, 'p')));
  TempDir dir;
  const unsigned id = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  int total = 0, downloaded = 0;
  ASSERT_TRUE(
      eventually([&] { return QL_RequestDownloadProgress(id, &total, &downloaded) == 1 && downloaded == 300; }));
  EXPECT_EQ(total, 1000);
  const QL_REQUEST_INFO info = infoOf(id);
  EXPECT_EQ(info.state, QL_STATE_RUNNING);
  EXPECT_EQ(info.hasInfo, 1);
  EXPECT_EQ(info.responseCode, 200);
  EXPECT_EQ(info.contentLength, 1000);
  EXPECT_EQ(info.curlCode, -1);
}

TEST(RequestInfoExport, IdentifiersCountAcrossRequestKinds) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  TempDir dir;
  EXPECT_EQ(QL_Request(0, server.url().c_str(), nullptr), 1u);
  EXPECT_EQ(QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string())), 2u);
  EXPECT_EQ(QL_SendStats(server.url().c_str(), "x"), 3u);
  for (unsigned id : {1u, 2u, 3u}) EXPECT_EQ(waitFinished(id).state, QL_STATE_DONE);
}

// ---------------------------------------------------------------------------

TEST(RequestDataExport, TwoCallsAndByteWidening) {
  const std::string body("A\xC3\0z", 4);
  RawHttpServer server(answer(httpResponse(200, "OK", body)));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);

  int size = 0;
  ASSERT_EQ(QL_RequestData(id, nullptr, &size), 1);
  EXPECT_EQ(size, 4);
  QL_WCHAR units[8];
  std::fill(std::begin(units), std::end(units), QL_WCHAR(0x2323));
  size = 6;  // larger than the body: the rest is zero
  ASSERT_EQ(QL_RequestData(id, units, &size), 1);
  EXPECT_EQ(size, 6);
  const std::vector<unsigned> expected{0x0041, 0xFFC3, 0x0000, 0x007A, 0, 0, 0x2323, 0x2323};
  EXPECT_EQ(std::vector<unsigned>(std::begin(units), std::end(units)), expected);

  std::fill(std::begin(units), std::end(units), QL_WCHAR(0x2323));
  size = 2;  // smaller: a prefix, nothing beyond it
  ASSERT_EQ(QL_RequestData(id, units, &size), 1);
  EXPECT_EQ(units[0], 0x0041);
  EXPECT_EQ(units[1], 0xFFC3);
  EXPECT_EQ(units[2], 0x2323);

  size = 0;  // a buffer with size 0 is a length query
  ASSERT_EQ(QL_RequestData(id, units, &size), 1);
  EXPECT_EQ(size, 4);
}

TEST(RequestDataExport, NegativeSizeIsRefused) {
  RawHttpServer server(answer(httpResponse(200, "OK", "abc")));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  QL_WCHAR units[4] = {7, 7, 7, 7};
  int size = -5;
  EXPECT_EQ(QL_RequestData(id, units, &size), 0);
  EXPECT_EQ(size, -5);
  EXPECT_EQ(units[0], 7);
}

TEST(RequestDataExport, OnlyForKnownInMemoryRequests) {
  RawHttpServer server(answer(httpResponse(200, "OK", "file")));
  TempDir dir;
  const unsigned download = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_EQ(waitFinished(download).state, QL_STATE_DONE);
  int size = 3;
  QL_WCHAR units[4] = {};
  EXPECT_EQ(QL_RequestData(download, units, &size), 0);
  EXPECT_EQ(QL_RequestData(download, nullptr, &size), 0);
  EXPECT_EQ(QL_RequestData(12345, nullptr, &size), 0);
  EXPECT_EQ(size, 3);
}

TEST(RequestDataExport, EmptyBody) {
  RawHttpServer server(answer("HTTP/1.1 204 No Content\r\n\r\n"));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_FAILED);  // only 200 and 206 count as success
  EXPECT_EQ(info.responseCode, 204);
  int size = 5;
  EXPECT_EQ(QL_RequestData(id, nullptr, &size), 1);
  EXPECT_EQ(size, 0);
}

// Large enough that a buffer growing by a fixed step runs into the 30 s limit.
TEST(RequestDataExport, LargeBodyArrivesWhole) {
  // Made before the request starts: only the transfer counts against its limit.
  const std::string body = patternBytes(0, 64 * 1024 * 1024, 13);
  RawHttpServer server([&body](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", static_cast<int64_t>(body.size())));
    c.send(body);
  });
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  const QL_REQUEST_INFO info = waitFinished(id, 60s);
  ASSERT_EQ(info.state, QL_STATE_DONE) << "libcurl code " << info.curlCode;
  EXPECT_EQ(info.contentLength, static_cast<int>(body.size()));

  int length = 0;
  ASSERT_EQ(QL_RequestData(id, nullptr, &length), 1);
  ASSERT_EQ(length, static_cast<int>(body.size()));
  std::vector<QL_WCHAR> units(body.size());
  ASSERT_EQ(QL_RequestData(id, units.data(), &length), 1);
  // Each byte sign-extended to its unit.
  const auto difference = std::mismatch(body.begin(), body.end(), units.begin(), [](char byte, QL_WCHAR unit) {
    return unit == static_cast<QL_WCHAR>(static_cast<int16_t>(static_cast<signed char>(byte)));
  });
  EXPECT_TRUE(difference.first == body.end()) << "first wrong unit: " << difference.first - body.begin();
}

// ---------------------------------------------------------------------------

TEST(DownloadProgressExport, RefusedBeforeTheHeadAndForOtherRequests) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.stall(scaled(30s)); });
  TempDir dir;
  const unsigned download = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  const unsigned request = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_TRUE(server.waitForRequests(2, scaled(10s)));
  for (unsigned id : {download, request, 999u}) {
    int total = 5, downloaded = 5;
    EXPECT_EQ(QL_RequestDownloadProgress(id, &total, &downloaded), 0) << id;
    EXPECT_EQ(total, 0);
    EXPECT_EQ(downloaded, 0);
  }
}

TEST(DownloadProgressExport, FinishedDownloadReportsZeroDownloaded) {
  const std::string content = patternBytes(0, 70000, 2);
  RawHttpServer server(answer(httpResponse(200, "OK", content)));
  TempDir dir;
  const unsigned id = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  int total = 0, downloaded = -1;
  EXPECT_EQ(QL_RequestDownloadProgress(id, &total, &downloaded), 1);
  EXPECT_EQ(total, 70000);
  EXPECT_EQ(downloaded, 0);
}

TEST(NullOutPointers, RefusedWithNothingWritten) {
  RawHttpServer server(answer(httpResponse(200, "OK", "body")));
  TempDir dir;
  const unsigned request = QL_Request(0, server.url().c_str(), nullptr);
  const unsigned download = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_EQ(waitFinished(request).state, QL_STATE_DONE);
  ASSERT_EQ(waitFinished(download).state, QL_STATE_DONE);
  const int document = QL_ParseJSON("{\"name\":\"value\"}");
  ASSERT_NE(document, 0);
  const auto json = static_cast<unsigned>(document);

  constexpr int kUntouched = 77;
  int total = kUntouched;
  int downloaded = kUntouched;
  std::vector<QL_WCHAR> units(8, kUntouched);
  struct Row {
    const char* call;
    std::function<int()> run;
  };
  const std::vector<Row> rows = {
      {"QL_RequestInfo, in-memory", [&] { return QL_RequestInfo(request, nullptr); }},
      {"QL_RequestInfo, download", [&] { return QL_RequestInfo(download, nullptr); }},
      {"QL_RequestInfo, unknown id", [&] { return QL_RequestInfo(999, nullptr); }},
      {"progress, null total", [&] { return QL_RequestDownloadProgress(download, nullptr, &downloaded); }},
      {"progress, null downloaded", [&] { return QL_RequestDownloadProgress(download, &total, nullptr); }},
      {"progress, both null", [&] { return QL_RequestDownloadProgress(download, nullptr, nullptr); }},
      {"QL_RequestData, no buffer", [&] { return QL_RequestData(request, nullptr, nullptr); }},
      {"QL_RequestData, with buffer", [&] { return QL_RequestData(request, units.data(), nullptr); }},
      {"QL_GetStringByPath, with buffer", [&] { return QL_GetStringByPath(json, "name", units.data(), nullptr); }},
      {"QL_GetStringByPath, no buffer", [&] { return QL_GetStringByPath(json, "name", nullptr, nullptr); }},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.run(), 0) << row.call;
    EXPECT_EQ(total, kUntouched) << row.call;
    EXPECT_EQ(downloaded, kUntouched) << row.call;
    EXPECT_EQ(units, std::vector<QL_WCHAR>(8, kUntouched)) << row.call;
  }

  // Valid callers see no change.
  EXPECT_EQ(QL_RequestDownloadProgress(download, &total, &downloaded), 1);
  EXPECT_EQ(total, 4);
  EXPECT_EQ(bodyOf(request), "body");
  unsigned length = 8;
  EXPECT_EQ(QL_GetStringByPath(json, "name", units.data(), &length), 1);
  EXPECT_EQ(length, 5u);
}

// ---------------------------------------------------------------------------

TEST(CancelAndRemove, RemoveTwice) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  waitFinished(id);
  drainLogRecords();
  EXPECT_EQ(QL_RemoveRequest(id), 1);
  EXPECT_EQ(QL_RemoveRequest(id), 0);
  EXPECT_EQ(infoOf(id).state, QL_STATE_NONE);
  EXPECT_EQ(drainLogRecords(), (Records{"Remove request: 1", "Remove request: 1", "Request not found"}));
}

TEST(CancelAndRemove, RemovingARunningDownloadWaitsForItsWorker) {
  RawHttpServer server(stallMidBody(5000, "x"));
  TempDir dir;
  const unsigned id = QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f").u16string()));
  ASSERT_TRUE(eventually([&] { return infoOf(id).hasInfo == 1; }));
  drainLogRecords();
  EXPECT_EQ(QL_RemoveRequest(id), 1);
  // The worker's last record is there the moment the call returns.
  const Records records = drainLogRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], "Remove request: 1");
  EXPECT_TRUE(startsWith(records[1], "Request finished: Inner libCurl error(42)")) << records[1];
  EXPECT_EQ(quillet_test::readFile(dir.file("f")), "x");  // closed and kept
}

TEST(CancelAndRemove, CancelOfAFinishedRequestChangesNothing) {
  RawHttpServer server(answer(httpResponse(200, "OK", "done")));
  const unsigned id = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  EXPECT_EQ(QL_CancelRequest(id), 1);
  const QL_REQUEST_INFO info = infoOf(id);
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.curlCode, -1);
  EXPECT_EQ(bodyOf(id), "done");
}

TEST(CancelAndRemove, UnknownIdentifiers) {
  EXPECT_EQ(QL_CancelRequest(99), 0);
  EXPECT_EQ(QL_RemoveRequest(0), 0);
  EXPECT_EQ(drainLogRecords(),
            (Records{"Cancel request: 99", "Request not found", "Remove request: 0", "Request not found"}));
}

// ---------------------------------------------------------------------------

TEST(RequestLogRecords, UrlAndPathAreQuoted) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  TempDir dir;
  const auto path = dir.file("target file.bin");
  const unsigned request = QL_Request(1, server.url("/a?b=c").c_str(), nullptr);
  const unsigned download = QL_DownloadFile(server.url("/d").c_str(), hostPath(path.u16string()));
  waitFinished(request);
  waitFinished(download);
  EXPECT_EQ(drainLogRecords(),
            (Records{"Sending request: 1 <" + server.url("/a?b=c") + ">",
                     "Start download request: 2 <" + server.url("/d") + "> to <" + path.string() + ">",
                     "Request finished: success"}));
}

TEST(RequestLogRecords, NullTextsAreLoggedEmptyAndFail) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  TempDir dir;
  const auto path = dir.file("f");
  const unsigned noUrl = QL_Request(1, nullptr, nullptr);
  const unsigned noStatsUrl = QL_SendStats(nullptr, "x");
  const unsigned noDownloadUrl = QL_DownloadFile(nullptr, hostPath(path.u16string()));
  const unsigned noPath = QL_DownloadFile(server.url().c_str(), nullptr);
  for (unsigned id : {noUrl, noStatsUrl, noDownloadUrl, noPath}) {
    const QL_REQUEST_INFO info = waitFinished(id);
    EXPECT_EQ(info.state, QL_STATE_FAILED) << id;
  }
  EXPECT_EQ(infoOf(noUrl).curlCode, 3);  // libcurl refuses the empty URL
  EXPECT_EQ(infoOf(noDownloadUrl).curlCode, 3);
  EXPECT_EQ(infoOf(noPath).curlCode, -1);  // failed opening the file, before any transfer
  EXPECT_EQ(server.requestCount(), 0u);
  const Records records = drainLogRecords();
  ASSERT_GE(records.size(), 4u);
  EXPECT_EQ(records[0], "Sending request: 1 <>");
  EXPECT_EQ(records[1], "Sending request: 2 <>");
  EXPECT_EQ(records[2], "Start download request: 3 <> to <" + path.string() + ">");
  EXPECT_EQ(std::count(records.begin(), records.end(), "Start download request: 4 <" + server.url() + "> to <>"), 1);
}

// ---------------------------------------------------------------------------

class Download : public ::testing::Test {
 protected:
  unsigned start(const std::string& url) { return QL_DownloadFile(url.c_str(), hostPath(target.u16string())); }
  std::string onDisk() const { return quillet_test::readFile(target); }

  TempDir dir;
  std::filesystem::path target = dir.file("target.bin");
};

TEST_F(Download, ByteExactOverALargerExistingFile) {
  const uint64_t size = 6 * 1024 * 1024 + 321;
  RawHttpServer server([&](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", static_cast<int64_t>(size)));
    c.sendPattern(0, size, 11);
  });
  quillet_test::writeFile(target, std::string(8 * 1024 * 1024, 'j'));
  const unsigned id = start(server.url());
  const QL_REQUEST_INFO info = waitFinished(id, 60s);
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.contentLength, static_cast<int>(size));
  const std::string bytes = onDisk();
  ASSERT_EQ(bytes.size(), size);
  EXPECT_TRUE(bytes == patternBytes(0, size, 11));
}

TEST_F(Download, PartialContentAnswerToTheRange) {
  RawHttpServer server(answer(httpResponse(206, "Partial Content", "0123456789", {"Content-Range: bytes 0-9/10"})));
  const QL_REQUEST_INFO info = waitFinished(start(server.url()));
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.responseCode, 206);
  EXPECT_EQ(onDisk(), "0123456789");
}

TEST_F(Download, WithoutContentLength) {
  const std::string content = patternBytes(0, 200000, 8);
  RawHttpServer server([&](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", -1, {"Connection: close"}) + content);
    c.close();
  });
  const unsigned id = start(server.url());
  const QL_REQUEST_INFO info = waitFinished(id);
  EXPECT_EQ(info.state, QL_STATE_DONE);
  EXPECT_EQ(info.contentLength, -1);
  int total = 0, downloaded = 0;
  EXPECT_EQ(QL_RequestDownloadProgress(id, &total, &downloaded), 1);
  EXPECT_EQ(total, -1);
  EXPECT_TRUE(onDisk() == content);
}

TEST_F(Download, MissingDirectoryFailsAtStart) {
  RawHttpServer server(answer(httpResponse(200, "OK", "never")));
  target = dir.file("missing") / "target.bin";
  const unsigned id = start(server.url());
  const QL_REQUEST_INFO info = infoOf(id);  // no waiting: there is no worker
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, -1);
  EXPECT_EQ(info.hasInfo, 0);
  // Removing joins any worker the download had; the probe queues behind every connection made before.
  EXPECT_EQ(QL_RemoveRequest(id), 1);
  ASSERT_TRUE(quillet_test::connectAndClose(server.port()));
  ASSERT_TRUE(server.waitForClosedConnections(1, scaled(10s)));
  EXPECT_EQ(server.acceptedCount(), 1u);
  EXPECT_EQ(server.requestCount(), 0u);
  // The start record and the removal's only: no run, no "Request finished".
  const Records records = drainLogRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(startsWith(records[0], "Start download request: ")) << records[0];
  EXPECT_EQ(records[1], "Remove request: " + std::to_string(id));
}

TEST_F(Download, FileHeldByAnotherDownload) {
  RawHttpServer server(stallMidBody(10, "12345"));
  const unsigned first = start(server.url());
  ASSERT_TRUE(server.waitForRequests(1, scaled(10s)));
  const unsigned second = start(server.url());
  const QL_REQUEST_INFO info = infoOf(second);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.hasInfo, 0);
  EXPECT_EQ(infoOf(first).state, QL_STATE_RUNNING);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(Download, NotFoundLeavesAnEmptyFile) {
  RawHttpServer server(answer(httpResponse(404, "Not Found", "error page")));
  quillet_test::writeFile(target, "previous content");
  const QL_REQUEST_INFO info = waitFinished(start(server.url()));
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.hasInfo, 1);
  EXPECT_EQ(info.responseCode, 404);
  EXPECT_EQ(info.curlCode, -1);
  ASSERT_TRUE(std::filesystem::exists(target));
  EXPECT_EQ(onDisk(), "");
  const Records records = drainLogRecords();
  EXPECT_EQ(records.back(), "Request finished: Unexpected http server response code(404).");
}

#ifndef _WIN32
// Sends the head and the first `held` bytes of `content`, then the rest once
// released (or after 30 s, so that a failed test still ends).
struct HeldBody {
  HeldBody(std::string bytes, std::size_t held) : content(std::move(bytes)), first(held) {}
  ~HeldBody() { release(); }
  void release() {
    std::call_once(released, [this] { go.set_value(); });
  }

  std::string content;
  std::size_t first;
  std::promise<void> go;
  std::shared_future<void> going = go.get_future().share();
  std::once_flag released;
  RawHttpServer server{[this](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", static_cast<int64_t>(content.size())) + content.substr(0, first));
    going.wait_for(scaled(30s));
    c.send(content.substr(first));
  }};
};

// Folders of 200-character names, `depth` deep below the working directory,
// entered one by one: relative steps reach depths no whole path could name.
void descend(int depth) {
  const std::string name(200, 'd');
  for (int i = 0; i < depth; ++i) {
    ASSERT_TRUE(::mkdir(name.c_str(), 0700) == 0 || errno == EEXIST);
    ASSERT_EQ(::chdir(name.c_str()), 0);
  }
}

struct OpenFolder {
  int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the working directory
  ~OpenFolder() { ::close(fd); }
};

// The working directory as the test found it, given back when the row ends.
struct WorkingDirectory {
  OpenFolder saved;
  ~WorkingDirectory() {
    if (::fchdir(saved.fd) != 0) ADD_FAILURE() << "working directory not restored";
  }
};

// Windows' sharing rules keep other processes from unlinking, replacing or
// cutting the file while it downloads. Here they can, and the download must
// not then report success. What the host itself may do meanwhile (change its
// working directory, switch a link on the way to the file) leaves the file as
// it is, and the run done.
TEST_F(Download, OnlyALostOrChangedTargetFailsTheRun) {
  namespace fs = std::filesystem;
  const std::string notFound = "Request finished: (0x2)\"The system cannot find the file specified.\"";
  const std::string cut =
      "Request finished: (0x20)\"The process cannot access the file because it is being used by another process.\"";
  // A run: the target as the host names it, what happens while its body is
  // held back, and where the whole file must be at the end.
  struct Scene {
    std::string target;
    std::function<void()> disturb;
    std::function<std::string()> readBack;
  };
  const fs::path folder = dir.path();
  const auto sceneAt = [](const fs::path& path, std::function<void(const fs::path&)> disturb) {
    return Scene{path.string(), [=] { disturb(path); }, [=] { return quillet_test::readFile(path); }};
  };
  struct Row {
    const char* name;
    std::function<Scene()> set;
    int state;
    std::string record;
  };
  const Row rows[] = {
      {"undisturbed", [&] { return sceneAt(target, [](const fs::path&) {}); }, QL_STATE_DONE,
       "Request finished: success"},
      {"unlinked", [&] { return sceneAt(target, [](const fs::path& path) { fs::remove(path); }); }, QL_STATE_FAILED,
       notFound},
      {"renamed over",
       [&] {
         return sceneAt(target, [](const fs::path& path) {
           quillet_test::writeFile(path.string() + ".other", "8 bytes!");
           fs::rename(path.string() + ".other", path);
         });
       },
       QL_STATE_FAILED, notFound},
      {"cut short", [&] { return sceneAt(target, [](const fs::path& path) { fs::resize_file(path, 1000); }); },
       QL_STATE_FAILED, cut},
      {"grown", [&] { return sceneAt(target, [](const fs::path& path) { fs::resize_file(path, 350000); }); },
       QL_STATE_FAILED, cut},
      {"relative name under a long working directory",
       [&] {
         // Each fits, the two together exceed the longest path the system takes.
         fs::current_path(folder);
         while (fs::current_path().string().size() < 3800) descend(1);
         const std::string sub(150, 's');
         fs::create_directory(sub);
         return sceneAt(fs::path(sub) / std::string(150, 't'), [](const fs::path&) {});
       },
       QL_STATE_DONE, "Request finished: success"},
      {"working directory too deep to name, changed meanwhile",
       [&] {
         fs::current_path(folder);
         descend(25);
         auto deep = std::make_shared<OpenFolder>();
         return Scene{"target.bin", [folder] { fs::current_path(folder); },
                      [deep] {
                        WorkingDirectory back;
                        if (::fchdir(deep->fd) != 0) return std::string("<not reached>");
                        return quillet_test::readFile("target.bin");
                      }};
       },
       QL_STATE_DONE, "Request finished: success"},
      {"link to its folder switched meanwhile",
       [&] {
         fs::create_directory(folder / "a");
         fs::create_directory(folder / "b");
         fs::create_directory_symlink("a", folder / "link");
         return Scene{(folder / "link" / "target.bin").string(),
                      [folder] {
                        fs::create_directory_symlink("b", folder / "link.new");
                        fs::rename(folder / "link.new", folder / "link");
                      },
                      [folder] { return quillet_test::readFile(folder / "a" / "target.bin"); }};
       },
       QL_STATE_DONE, "Request finished: success"},
      {"link as the name, a linked folder on its way switched meanwhile",
       [&] {
         fs::create_directory(folder / "c");
         fs::create_directory(folder / "d");
         fs::create_directory_symlink("c", folder / "cur");
         fs::create_symlink("cur/real.bin", folder / "out.bin");
         return Scene{(folder / "out.bin").string(),
                      [folder] {
                        fs::create_directory_symlink("d", folder / "cur.new");
                        fs::rename(folder / "cur.new", folder / "cur");
                      },
                      [folder] { return quillet_test::readFile(folder / "c" / "real.bin"); }};
       },
       QL_STATE_DONE, "Request finished: success"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WorkingDirectory restore;
    const Scene scene = row.set();
    HeldBody body(patternBytes(0, 400000, 21), 300000);
    const unsigned id = QL_DownloadFile(body.server.url().c_str(), hostPath(fs::path(scene.target).u16string()));
    int total = 0, downloaded = 0;
    ASSERT_TRUE(
        eventually([&] { return QL_RequestDownloadProgress(id, &total, &downloaded) == 1 && downloaded == 300000; }));
    scene.disturb();
    body.release();
    const QL_REQUEST_INFO info = waitFinished(id);
    EXPECT_EQ(info.state, row.state);
    EXPECT_EQ(info.curlCode, -1);
    EXPECT_EQ(drainLogRecords().back(), row.record);
    if (row.state == QL_STATE_DONE) {
      EXPECT_TRUE(scene.readBack() == body.content);
    }
    QL_RemoveRequest(id);
  }
}
#endif

// ---------------------------------------------------------------------------

TEST(RequestLifecycle, CleanupStopsRunningDownloadsBeforeItsOwnRecords) {
  RawHttpServer server(stallMidBody(100000, "abc"));
  TempDir dir;
  std::vector<unsigned> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f" + std::to_string(i)).u16string())));
  }
  for (unsigned id : ids) ASSERT_TRUE(eventually([&] { return infoOf(id).hasInfo == 1; }));
  drainLogRecords();
  QL_Cleanup();
  const Records records = drainLogRecords();
  ASSERT_EQ(records.size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(startsWith(records[static_cast<std::size_t>(i)], "Request finished: Inner libCurl error(42)"))
        << records[static_cast<std::size_t>(i)];
  }
  EXPECT_EQ(records[3], "All requests stopped");
  EXPECT_EQ(records[4], "Http system deinitialized");
  for (unsigned id : ids) EXPECT_EQ(infoOf(id).state, QL_STATE_NONE);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(quillet_test::readFile(dir.file("f" + std::to_string(i))), "abc");
}

// A second cleanup waits for the first: its records too come after every
// download's own end, never while workers still run inside libcurl.
TEST(RequestLifecycle, TwoCleanupsAtOnceBothWriteAfterEveryRequestFinished) {
  RawHttpServer server(stallMidBody(100000, "abc"));
  TempDir dir;
  constexpr int kDownloads = 100;
  for (int i = 0; i < kDownloads; ++i) {
    QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f" + std::to_string(i)).u16string()));
  }
  ASSERT_TRUE(server.waitForHeadsSent(kDownloads, scaled(30s)));
  drainLogRecords();
  std::thread first([] { QL_Cleanup(); });
  std::this_thread::sleep_for(200us);
  std::thread second([] { QL_Cleanup(); });
  first.join();
  second.join();
  const Records records = drainLogRecords();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kDownloads + 4));
  for (std::size_t i = 0; i < kDownloads; ++i) {
    EXPECT_TRUE(startsWith(records[i], "Request finished: ")) << i << ": " << records[i];
  }
  const Records teardown(records.begin() + kDownloads, records.end());
  EXPECT_EQ(teardown, (Records{"All requests stopped", "Http system deinitialized", "All requests stopped",
                               "Http system deinitialized"}));
}

// A removal on another thread still joining its worker when the clean-up
// starts: the clean-up returns only after that worker too has ended, so no
// record follows its own last one.
TEST(RequestLifecycle, CleanupRacingRemovalsWritesTheLastRecords) {
  RawHttpServer server(stallMidBody(100000, "abc"));
  TempDir dir;
  constexpr unsigned kDownloads = 100;
  std::vector<unsigned> ids;
  for (unsigned i = 0; i < kDownloads; ++i) {
    ids.push_back(QL_DownloadFile(server.url().c_str(), hostPath(dir.file("f" + std::to_string(i)).u16string())));
  }
  ASSERT_TRUE(server.waitForHeadsSent(kDownloads, scaled(30s)));
  drainLogRecords();
  // The clean-up takes the table from the lowest identifier up, the removals
  // from the highest down, so that they meet on requests still ending.
  std::thread remover([&] {
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) QL_RemoveRequest(*id);
  });
  QL_Cleanup();
  Records records = drainLogRecords();
  const std::size_t atReturn = records.size();
  remover.join();
  for (std::string& later : drainLogRecords()) records.push_back(std::move(later));
  // Later records are the remover's own ("Remove request: ..."), no end of a request.
  const auto finished = [](const std::string& record) { return startsWith(record, "Request finished: "); };
  const auto returned = records.begin() + static_cast<std::ptrdiff_t>(atReturn);
  EXPECT_EQ(std::count_if(records.begin(), returned, finished), static_cast<std::ptrdiff_t>(kDownloads));
  EXPECT_EQ(std::count_if(returned, records.end(), finished), 0) << "a request ended after QL_Cleanup returned";
  ASSERT_GE(atReturn, 2u);
  EXPECT_EQ(records[atReturn - 2], "All requests stopped");
  EXPECT_EQ(records[atReturn - 1], "Http system deinitialized");
}

#ifndef _WIN32
}  // namespace

// A forked child of this many-threaded test program has lost the other
// threads' stacks, so a leak check there would count what they held.
bool g_inForkedChild = false;
extern "C" int __lsan_is_turned_off() { return g_inForkedChild ? 1 : 0; }

namespace {

// A host that forks while a download runs, and whose child only ends (after
// a failed exec, or in a process pool): the parent's workers are not in the
// child, which must neither wait for them nor touch the transfer, and the
// transfer goes on in the parent.
TEST(RequestLifecycle, ForkedChildEndsAtOnceAndTheParentsDownloadGoesOn) {
  struct Row {
    const char* name;
    void (*end)(unsigned inherited);  // in the child; never returns
  };
  const Row rows[] = {
      {"exit", [](unsigned) { std::exit(0); }},
      {"QL_Cleanup, then exit",
       [](unsigned inherited) {
         QL_Cleanup();
         // The parent's request is gone from the child, as if removed.
         QL_REQUEST_INFO info{};
         std::exit(QL_RequestInfo(inherited, &info) == 0 && info.state == QL_STATE_NONE ? 0 : 3);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HeldBody body(patternBytes(0, 400000, 17), 300000);
    TempDir dir;
    const unsigned id = QL_DownloadFile(body.server.url().c_str(), hostPath(dir.file("f.bin").u16string()));
    int total = 0, downloaded = 0;
    ASSERT_TRUE(
        eventually([&] { return QL_RequestDownloadProgress(id, &total, &downloaded) == 1 && downloaded == 300000; }));
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_inForkedChild = true;
      row.end(id);
    }
    int status = -1;
    const bool ended = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 2s);
    if (!ended) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the child did not end";
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    body.release();
    const QL_REQUEST_INFO info = waitFinished(id);
    EXPECT_EQ(info.state, QL_STATE_DONE);
    EXPECT_TRUE(quillet_test::readFile(dir.file("f.bin")) == body.content);
    QL_RemoveRequest(id);
  }
}
#endif

// Descriptors the process holds; empty where there is no /proc to count them.
std::size_t openDescriptors() {
  std::size_t count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

// The library's bound on idle connections kept between requests.
constexpr std::size_t kPooledConnections = 16;

TEST(RequestDescriptors, OnlyTheBoundedPoolKeepsConnectionsAndCleanupClosesThem) {
#ifdef _WIN32
  // Under Wine /proc/self/fd lists Wine's own descriptors, which come and go:
  // there only the server's side is checked.
  const bool counted = false;
#else
  const bool counted = openDescriptors() != 0;
#endif
  RawHttpServer server(answer(httpResponse(200, "OK", "kept")));
  TempDir dir;
  const std::size_t before = openDescriptors();

  // More at once than the pool keeps, so that some connections must close.
  constexpr int kRequests = 24;
  std::vector<unsigned> ids;
  for (int i = 0; i < kRequests; ++i) {
    const auto file = dir.file("f" + std::to_string(i));
    ids.push_back(i % 2 == 0 ? QL_Request(0, server.url().c_str(), nullptr)
                             : QL_DownloadFile(server.url().c_str(), hostPath(file.u16string())));
  }
  for (unsigned id : ids) {
    const QL_REQUEST_INFO info = waitFinished(id);
    EXPECT_EQ(info.state, QL_STATE_DONE) << id;
    EXPECT_EQ(info.responseCode, 200) << id;
    EXPECT_EQ(info.contentLength, 4) << id;
  }
  // Each kept connection holds the server's end and, in the library, its
  // socket and the wake-up pair of the handle that keeps it: nothing else of
  // the finished requests stays open.
  constexpr std::size_t kPerKeptConnection = 4;
  const auto onlyThePool = [&] {
    return !counted || openDescriptors() == before + kPerKeptConnection * server.openConnections();
  };
  EXPECT_TRUE(eventually([&] { return server.openConnections() <= kPooledConnections && onlyThePool(); }));
  EXPECT_GE(server.openConnections(), 1u);
  for (unsigned id : ids) EXPECT_EQ(QL_RemoveRequest(id), 1);
  EXPECT_TRUE(onlyThePool());

  const std::size_t accepted = server.acceptedCount();
  QL_Cleanup();
  EXPECT_TRUE(server.waitForClosedConnections(accepted, scaled(10s)));
  if (counted) {
    EXPECT_TRUE(eventually([&] { return openDescriptors() == before; }));
    EXPECT_EQ(openDescriptors(), before);
  }
}

// ---------------------------------------------------------------------------

TEST(ConnectionReuse, SequentialRequestsShareOneConnection) {
  RawHttpServer server([](const HttpRequest& r, Connection& c) { c.send(httpResponse(200, "OK", r.target)); });
  constexpr int kRequests = 100;
  for (int i = 0; i < kRequests; ++i) {
    const std::string path = "/r" + std::to_string(i);
    const unsigned id = QL_Request(0, server.url(path).c_str(), nullptr);
    ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE) << i;
    EXPECT_EQ(bodyOf(id), path);
    QL_RemoveRequest(id);
  }
  EXPECT_LE(server.acceptedCount(), 2u);
}

// A request on a reused connection carries nothing of the one before: each
// row runs its first request, then its second on the same connection, whose
// head the row checks.
TEST(ConnectionReuse, NothingOfOneRequestReachesTheNext) {
  TempDir dir;
  const std::u16string target = dir.file("d").u16string();
  struct Row {
    const char* name;
    std::function<unsigned(const std::string&)> first;
    std::function<void(const HttpRequest&)> check;
  };
  const std::vector<Row> rows = {
      {"a POST, then a GET without a body", [](const std::string& url) { return QL_SendStats(url.c_str(), "a=1&b=2"); },
       [](const HttpRequest& second) {
         EXPECT_EQ(second.method, "GET");
         EXPECT_EQ(second.body, "");
         EXPECT_FALSE(second.hasHeader("Content-Length"));
       }},
      {"a download's Range, then an in-memory request without it",
       [&](const std::string& url) { return QL_DownloadFile(url.c_str(), hostPath(target)); },
       [](const HttpRequest& second) { EXPECT_FALSE(second.hasHeader("Range")); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RawHttpServer server(answer(httpResponse(200, "OK", "body")));
    ASSERT_EQ(waitFinished(row.first(server.url("/first"))).state, QL_STATE_DONE);
    const unsigned second = QL_Request(0, server.url("/second").c_str(), nullptr);
    ASSERT_EQ(waitFinished(second).state, QL_STATE_DONE);
    EXPECT_EQ(bodyOf(second), "body");
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.acceptedCount(), 1u);
    const HttpRequest request = server.requests()[1];
    quillet_test::expectFixedHeaders(request);
    row.check(request);
  }
}

// Servers that end kept connections: each request still succeeds, on a new
// connection where libcurl finds the kept one closed, or retried on one when
// the server closes it as the request arrives.
TEST(ConnectionReuse, ConnectionsTheServerClosesAreReplaced) {
  const std::string body = "answer";
  struct Row {
    const char* name;
    RawHttpServer::Handler handler;
    bool waitForTheClose;  // before the next request
  };
  const std::vector<Row> rows = {
      {"closes after each response",
       [&](const HttpRequest&, Connection& c) {
         c.send(httpResponse(200, "OK", body));
         c.close();
       },
       true},
      {"closes after a second without a request",
       [&](const HttpRequest&, Connection& c) {
         c.send(httpResponse(200, "OK", body));
         c.stall(1s);
         c.close();
       },
       true},
      {"closes a used connection when its next request arrives",
       [&](const HttpRequest&, Connection& c) {
         // Each connection is served on a thread of its own.
         thread_local bool answered = false;
         if (answered) {
           c.close();
           return;
         }
         answered = true;
         c.send(httpResponse(200, "OK", body));
       },
       false},
  };
  constexpr int kRequests = 3;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RawHttpServer server(row.handler);
    for (int i = 0; i < kRequests; ++i) {
      // In-memory GETs and POSTs in turn: both must come through.
      const unsigned id =
          i % 2 == 0 ? QL_Request(0, server.url().c_str(), nullptr) : QL_SendStats(server.url().c_str(), "event=start");
      const QL_REQUEST_INFO info = waitFinished(id);
      EXPECT_EQ(info.state, QL_STATE_DONE) << i;
      EXPECT_EQ(bodyOf(id), body) << i;
      QL_RemoveRequest(id);
      if (row.waitForTheClose) {
        ASSERT_TRUE(server.waitForClosedConnections(i + 1, scaled(10s))) << i;
      }
    }
    EXPECT_EQ(server.acceptedCount(), static_cast<std::size_t>(kRequests));
  }
}

TEST(RequestConcurrency, ManyRequestsFromSeveralHostThreads) {
  RawHttpServer server(
      [](const HttpRequest& r, Connection& c) { c.send(httpResponse(200, "OK", "echo " + r.target)); });
  TempDir dir;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 8;
  std::vector<unsigned> ids[kThreads];
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
        const bool download = i % 2 == 1;
        const auto file = dir.file("t" + std::to_string(t) + "-" + std::to_string(i));
        const unsigned id = download ? QL_DownloadFile(server.url(path).c_str(), hostPath(file.u16string()))
                                     : QL_Request(0, server.url(path).c_str(), nullptr);
        ids[t].push_back(id);
        if (waitFinished(id).state != QL_STATE_DONE) ++failures;
        const std::string got = download ? quillet_test::readFile(file) : bodyOf(id);
        if (got != "echo " + path) ++failures;
        if (QL_RemoveRequest(id) != 1) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<unsigned> unique;
  for (const auto& list : ids) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(*unique.begin(), 1u);
  EXPECT_EQ(*unique.rbegin(), static_cast<unsigned>(kThreads * kPerThread));
  EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
