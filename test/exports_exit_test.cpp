// A host that exits without QL_Cleanup while transfers still run: the
// process must end, and end cleanly. On Windows the workers are gone before
// the library is detached, possibly holding its locks; on Linux the
// library's teardown stops them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "quillet/quillet.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

namespace {

using namespace std::chrono_literals;

// Starts a download and a request that both stall mid-body, then exits.
[[noreturn]] void exitWhileTransfersStall() {
  auto* server = new quillet_test::RawHttpServer([](const quillet_test::HttpRequest&, quillet_test::Connection& c) {
    if (!c.send(quillet_test::httpHead(200, "OK", 1 << 20) + std::string(500, 'x'))) return;
    c.stall(quillet_test::scaled(60s));
  });
  auto* dir = new quillet_test::TempDir;  // both left to the exiting process
  const std::u16string target = quillet_test::widePath(dir->file("partial.bin"));
  QL_Initialize();
  const unsigned download =
      QL_DownloadFile(server->url("/d").c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()));
  QL_Request(0, server->url("/r").c_str(), nullptr);
  int total = 0, done = 0;
  quillet_test::eventually([&] { return QL_RequestDownloadProgress(download, &total, &done) == 1 && done == 500; }, 5s);
  if (done != 500 || !server->waitForRequests(2, quillet_test::scaled(10s))) std::_Exit(3);
  std::exit(0);
}

TEST(HostExit, WithoutCleanupWhileTransfersRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitWhileTransfersStall(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
