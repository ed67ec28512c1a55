// A name look-up that never ends, behind a name server that takes queries and
// answers none: a cancel, a removal, QL_Cleanup and the host's exit must each
// end at once while it goes on. The system's resolver gives up on such a
// server only after half a minute; waiting for it is the fault these rows
// catch. On Linux the test process points its own resolver at a silent
// server in a mount namespace of its own; under Wine the server runs on the
// build host and scripts/test-win32.sh gives the Wine run the namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"
#ifndef _WIN32
#include "support/silent_name_server.h"
#endif

namespace {

using namespace std::chrono_literals;
using quillet_test::scaled;

// Resolved by name only: nothing in the hosts file names it.
constexpr const char* kUnresolvableUrl = "http://quillet-silent.test/file";
// A look-up that was waited for takes 30 s; one that was not, milliseconds.
constexpr auto kAtOnce = 3s;

// Where the silent server is and how many queries it has taken.
struct NameServer {
  std::string unavailable;
  std::function<int()> queries;
};

#ifdef _WIN32
// The server's count is served over HTTP on the build host's loopback.
NameServer& nameServer() {
  static NameServer server = [] {
    NameServer found;
    const char* named = std::getenv("QUILLET_SILENT_DNS");
    if (named == nullptr || *named == '\0') {
      found.unavailable = "no silent name server in QUILLET_SILENT_DNS (scripts/test-win32.sh starts one)";
    } else if (std::string(named).rfind("unavailable", 0) == 0) {
      found.unavailable = named;
    } else {
      const std::string url = std::string("http://127.0.0.1:") + named + "/";
      found.queries = [url] {
        const unsigned id = QL_Request(0, url.c_str(), nullptr);
        quillet_test::waitFinished(id);
        const std::string body = quillet_test::bodyOf(id);
        QL_RemoveRequest(id);
        try {
          return std::stoi(body);
        } catch (...) {
          return -1;
        }
      };
    }
    return found;
  }();
  return server;
}
#else
NameServer& nameServer() {
  // Never destroyed: it must still be there, silent, while the library's
  // teardown runs at exit.
  static auto* resolver = new quillet_test::SilentResolver(quillet_test::resolveThroughSilentServerInThisProcess());
  // Its file may go before the teardown: the mount keeps what it shows.
  static const bool removedAtExit = std::atexit([] { std::remove(resolver->conf.c_str()); }) == 0;
  static NameServer server{resolver->unavailable, [] { return resolver->server->queries(); }};
  (void)removedAtExit;
  return server;
}
#endif

// Starts a request, or a download into `dir`, and returns once its look-up
// has reached the silent server.
unsigned startLookingUp(bool download, const quillet_test::TempDir& dir) {
  const int before = nameServer().queries();
  unsigned id = 0;
  if (download) {
    const std::u16string target = quillet_test::widePath(dir.file("never.bin"));
    id = QL_DownloadFile(kUnresolvableUrl, reinterpret_cast<const QL_WCHAR*>(target.c_str()));
  } else {
    id = QL_Request(0, kUnresolvableUrl, nullptr);
  }
  EXPECT_TRUE(quillet_test::eventually([&] { return nameServer().queries() > before; }))
      << "the look-up never reached the silent name server";
  return id;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(SilentNameServer, CancelRemoveAndCleanupEndWhileTheLookUpGoesOn) {
  if (!nameServer().unavailable.empty()) GTEST_SKIP() << nameServer().unavailable;
  quillet_test::TempDir dir;
  QL_Initialize();
  struct Row {
    const char* name;
    bool download;
    std::function<void(unsigned)> end;  // returns once the request has ended
  };
  const Row rows[] = {
      {"cancel of an in-memory request", false,
       [](unsigned id) {
         QL_CancelRequest(id);
         const QL_REQUEST_INFO info = quillet_test::waitFinished(id, kAtOnce);
         EXPECT_EQ(info.state, QL_STATE_FAILED);
         EXPECT_EQ(info.curlCode, 42);
       }},
      {"removal of a download", true, [](unsigned id) { EXPECT_EQ(QL_RemoveRequest(id), 1); }},
      {"clean-up with a download looking up", true,
       [](unsigned) {
         quillet_test::drainLogRecords();
         QL_Cleanup();
         const auto records = quillet_test::drainLogRecords();
         ASSERT_GE(records.size(), 2u);
         EXPECT_EQ(records[records.size() - 2], "All requests stopped");
         EXPECT_EQ(records.back(), "Http system deinitialized");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const unsigned id = startLookingUp(row.download, dir);
    const auto start = std::chrono::steady_clock::now();
    row.end(id);
    EXPECT_LT(since(start), scaled(kAtOnce));
  }
}

// Returns from the test program as a host returns from main, without
// QL_Cleanup: the library's teardown stops the request at unload.
[[noreturn]] void exitWhileLookingUp() {
  if (!nameServer().unavailable.empty()) std::_Exit(2);
  quillet_test::TempDir dir;
  QL_Initialize();
  startLookingUp(false, dir);
  std::exit(0);
}

TEST(SilentNameServer, HostExitEndsWhileTheLookUpGoesOn) {
  if (!nameServer().unavailable.empty()) GTEST_SKIP() << nameServer().unavailable;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(exitWhileLookingUp(), ::testing::ExitedWithCode(0), "");
  // The child starts afresh and finds its own silent server first.
  EXPECT_LT(since(start), scaled(kAtOnce) + 5s);
}

}  // namespace
