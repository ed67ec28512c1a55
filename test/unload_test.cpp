// Unloading the library while requests still run, without QL_Cleanup: the
// teardown must stop the workers, neither hang nor crash, and a fresh load
// must work again.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "quillet/quillet.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"
#ifndef _WIN32
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/silent_name_server.h"
#endif

namespace {

using namespace std::chrono_literals;
using quillet_test::eventually;
using quillet_test::scaled;

#ifdef _WIN32
struct Library {
  HMODULE handle = ::LoadLibraryA(QUILLET_LIBRARY_PATH);
  template <typename F>
  F symbol(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(handle, name)));
  }
  bool close() { return ::FreeLibrary(handle) != 0; }
};
std::string loadError() { return "LoadLibrary failed: " + std::to_string(::GetLastError()); }
#else
struct Library {
  void* handle = dlopen(QUILLET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  template <typename F>
  F symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
  bool close() { return dlclose(handle) == 0; }
};
std::string loadError() { return dlerror(); }
#endif

TEST(Unload, WithRunningRequestsStopsTheirWorkersAndReturns) {
  std::atomic<int> stalledConnectionsEnded{0};
  quillet_test::RawHttpServer server([&](const quillet_test::HttpRequest&, quillet_test::Connection& c) {
    if (!c.send(quillet_test::httpHead(200, "OK", 1 << 20))) return;
    c.sendPattern(0, 1000, 3);
    c.stall(scaled(60s));  // returns early once the client has gone
    ++stalledConnectionsEnded;
  });
  quillet_test::TempDir dir;

  Library library;
  ASSERT_NE(library.handle, nullptr) << loadError();
  auto download = library.symbol<unsigned(QL_CALL*)(const char*, const QL_WCHAR*)>("QL_DownloadFile");
  auto request = library.symbol<unsigned(QL_CALL*)(int, const char*, const char*)>("QL_Request");
  auto progress = library.symbol<int(QL_CALL*)(unsigned, int*, int*)>("QL_RequestDownloadProgress");
  ASSERT_TRUE(download && request && progress);

  std::u16string target = quillet_test::widePath(dir.file("partial.bin"));
  unsigned downloadId = download(server.url("/d").c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()));
  request(0, server.url("/r").c_str(), nullptr);
  int total = 0, done = 0;
  eventually([&] { return progress(downloadId, &total, &done) == 1 && done == 1000; }, 4s);
  ASSERT_EQ(done, 1000);
  ASSERT_TRUE(server.waitForRequests(2, scaled(5s)));

  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(library.close());
  EXPECT_LT(std::chrono::steady_clock::now() - started, scaled(10s));
#ifdef _WIN32
  // Each running worker holds a reference to the module, so Windows keeps it
  // mapped under them; the teardown cannot join threads from inside the
  // loader. Once the server ends the transfers, the last worker to leave
  // unloads the module, and the teardown must then finish without hanging.
  EXPECT_NE(::GetModuleHandleA(QUILLET_LIBRARY_PATH), nullptr);
  server.stop();
  EXPECT_TRUE(eventually([] { return ::GetModuleHandleA(QUILLET_LIBRARY_PATH) == nullptr; }, 10s));
#else
  // Both workers were cancelled and joined: the server saw both clients go.
  // A handler counts before its connection closes, so two closed connections mean both counted.
  EXPECT_TRUE(server.waitForClosedConnections(2, scaled(2s)));
  EXPECT_EQ(stalledConnectionsEnded.load(), 2);
#endif
  EXPECT_EQ(quillet_test::readFile(dir.file("partial.bin")), quillet_test::patternBytes(0, 1000, 3));

  // A fresh load starts from scratch and works.
  Library again;
  ASSERT_NE(again.handle, nullptr) << loadError();
  auto pull = again.symbol<int(QL_CALL*)(QL_WCHAR*, unsigned, int*)>("QL_PullLogRecord");
  auto initialize = again.symbol<void(QL_CALL*)()>("QL_Initialize");
  auto cleanup = again.symbol<void(QL_CALL*)()>("QL_Cleanup");
  initialize();
  QL_WCHAR buffer[64];
  int length = 0;
  ASSERT_EQ(pull(buffer, 64, &length), 1);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer), static_cast<std::size_t>(length)),
            u"Http system initialized");
  cleanup();
  EXPECT_TRUE(again.close());
}

#ifndef _WIN32
int threadsInThisProcess() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// A cancelled transfer does not wait for its name look-up: libcurl's resolver
// thread finishes it alone, in libcurl's code, after the library that started
// it may be gone. libcurl is loaded here only for the library, so unloading
// the library would unmap it under that thread unless it is kept.
TEST(Unload, WhileANameLookUpGoesOnKeepsTheCodeItRunsMapped) {
  // The look-up gives up after a second.
  static quillet_test::SilentResolver resolver = quillet_test::resolveThroughSilentServerInThisProcess(1, 1);
  if (!resolver.unavailable.empty()) GTEST_SKIP() << resolver.unavailable;
  const int threadsBefore = threadsInThisProcess();

  Library library;
  ASSERT_NE(library.handle, nullptr) << loadError();
  auto request = library.symbol<unsigned(QL_CALL*)(int, const char*, const char*)>("QL_Request");
  ASSERT_TRUE(request);
  request(0, "http://quillet-silent.test/", nullptr);
  ASSERT_TRUE(resolver.server->waitForQueries(1, scaled(5s)));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(library.close());
  EXPECT_LT(std::chrono::steady_clock::now() - started, scaled(1s));
  // The look-up's thread ends after the unload; had its code gone, the
  // process would have crashed by then.
  EXPECT_TRUE(eventually([&] { return threadsInThisProcess() == threadsBefore; }, 10s));
}

// No unload: the host exits. OpenSSL came with the library and gave the worker
// that started libcurl state of its own; that thread is kept after the removal.
TEST(Unload, NotAtAllByAnExitingHostLeavesNothingBehind) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Library library;
  auto request = library.symbol<unsigned(QL_CALL*)(int, const char*, const char*)>("QL_Request");
  auto remove = library.symbol<int(QL_CALL*)(unsigned)>("QL_RemoveRequest");
  const std::string url = "http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/";
  EXPECT_EXIT((remove(request(0, url.c_str(), nullptr)), std::exit(0)), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
