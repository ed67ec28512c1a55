// Allocation failure inside each export. This program replaces the global
// operator new; on Linux the library's own allocations resolve to it too, so
// the Nth allocation after an export is entered can be made to fail. For
// N = 0, 1, 2, ... until the export runs through, the export must return its
// failure value, leave no lock held, no file open and no request or document
// behind under an identifier the caller never learned.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"

namespace {

// Allocations the calling thread may still make before one fails; -1: none fails.
thread_local long t_allocationsLeft = -1;
thread_local bool t_failed = false;

void* allocate(std::size_t size) {
  if (t_allocationsLeft >= 0 && t_allocationsLeft-- == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using namespace std::chrono_literals;

#ifdef __linux__
std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

QL_REQUEST_INFO infoOf(unsigned id) {
  QL_REQUEST_INFO info{};
  QL_RequestInfo(id, &info);
  return info;
}

// Every lock the exports take, taken once more from another thread: a lock
// left held by the failed call would hang here (and the test would time out).
void expectNothingLocked(unsigned requestId, unsigned documentId) {
  std::thread other([=] {
    QL_REQUEST_INFO info{};
    QL_RequestInfo(requestId, &info);  // request table lock, then the request's own
    int length = 0;
    QL_PullLogRecord(nullptr, 0, &length);  // log queue lock
    QL_WCHAR buffer[8];
    unsigned units = 8;
    QL_GetStringByPath(documentId, "a", buffer, &units);  // JSON table lock
  });
  other.join();
}

// Runs `call` with its Nth allocation failing, N = 0, 1, ..., until it runs
// through; `check` sees each failed call's result. Returns how many
// allocations the export made on its thread when nothing failed.
template <typename Call, typename Check>
long failEachAllocation(Call call, Check check) {
  for (long n = 0; n < 100000; ++n) {
    t_failed = false;
    t_allocationsLeft = n;
    const auto result = call();
    t_allocationsLeft = -1;
    if (!t_failed) return n;
    check(result, n);
  }
  ADD_FAILURE() << "the export never ran through";
  return -1;
}

// What the export tests share: a finished in-memory request, a finished
// download and a parsed document, each with an identifier the host learned.
class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    QL_Initialize();
    request = QL_Request(0, server.url("/data").c_str(), nullptr);
    download = QL_DownloadFile(server.url("/file").c_str(), path(dir.file("known.bin")));
    for (unsigned id : {request, download}) {
      while (infoOf(id).state == QL_STATE_RUNNING) std::this_thread::sleep_for(1ms);
      ASSERT_EQ(infoOf(id).state, QL_STATE_DONE);
    }
    document = static_cast<unsigned>(QL_ParseJSON("{\"a\":\"b\"}"));
    ASSERT_NE(document, 0u);
    int length = 0;
    QL_WCHAR record[512];
    while (QL_PullLogRecord(record, 512, &length) == 1) {
    }
    // The finished transfers' connections stay open in the library's pool of
    // idle handles, and the server's ends with them: the count is steady.
    descriptors = openDescriptors();
  }

  const QL_WCHAR* path(const std::filesystem::path& file) {
    paths.push_back(quillet_test::widePath(file));
    return reinterpret_cast<const QL_WCHAR*>(paths.back().c_str());
  }

  // After a start that met a failed allocation: nothing locked, nothing
  // open. A start that recorded the failure in its request and returned the
  // identifier has told the host; that request is finished and removed first.
  void expectCleanAfter(unsigned result, long n) {
    if (result != 0) {
      while (infoOf(result).state == QL_STATE_RUNNING) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(QL_RemoveRequest(result), 1) << "allocation " << n;
    }
    expectNothingLocked(request, document);
    EXPECT_EQ(openDescriptors(), descriptors) << "allocation " << n;
  }

  // No identifier in [from, last) names a request: the failed starts returned
  // 0, and those that returned an identifier had their request removed.
  void expectNoRequestBelow(unsigned last, unsigned from) {
    for (unsigned id = from; id < last; ++id) {
      EXPECT_EQ(infoOf(id).state, QL_STATE_NONE) << "request " << id << " was never returned to the host";
    }
  }

  quillet_test::RawHttpServer server{[](const quillet_test::HttpRequest& r, quillet_test::Connection& c) {
    c.send(quillet_test::httpResponse(200, "OK", r.target));
  }};
  quillet_test::TempDir dir;
  std::vector<std::u16string> paths;
  unsigned request = 0;
  unsigned download = 0;
  unsigned document = 0;
  std::size_t descriptors = 0;
};

// Nobody listens there: a worker that did start ends on its own at once.
std::string refusedUrl() { return "http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/x"; }

TEST_F(AllocationFailure, StartingExports) {
  const std::string url = refusedUrl();
  const QL_WCHAR* target = path(dir.file("target.bin"));
  struct Start {
    const char* name;
    std::function<unsigned()> call;
  };
  const std::vector<Start> starts = {
      {"QL_Request", [&] { return QL_Request(0, url.c_str(), nullptr); }},
      {"QL_SendStats", [&] { return QL_SendStats(url.c_str(), "a=1"); }},
      {"QL_DownloadFile", [&] { return QL_DownloadFile(url.c_str(), target); }},
  };
  unsigned from = download + 1;
  for (const auto& start : starts) {
    SCOPED_TRACE(start.name);
    unsigned id = 0;
    const long allocations = failEachAllocation([&] { return id = start.call(); },
                                                [&](unsigned result, long n) { expectCleanAfter(result, n); });
    EXPECT_GT(allocations, 0) << "the library's allocations did not reach this program's operator new";
    ASSERT_NE(id, 0u);
    expectNoRequestBelow(id, from);
    while (infoOf(id).state == QL_STATE_RUNNING) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(QL_RemoveRequest(id), 1);
    from = id + 1;
  }
}

TEST_F(AllocationFailure, ParseJsonLeavesNoDocumentBehind) {
  int id = 0;
  const long allocations = failEachAllocation([&] { return id = QL_ParseJSON("{\"k\":\"v\",\"n\":{\"m\":\"w\"}}"); },
                                              [&](int result, long n) {
                                                EXPECT_EQ(result, 0) << "allocation " << n;
                                                expectNothingLocked(request, document);
                                              });
  EXPECT_GT(allocations, 0);
  ASSERT_NE(id, 0);
  for (unsigned unlearned = document + 1; unlearned < static_cast<unsigned>(id); ++unlearned) {
    QL_WCHAR buffer[8];
    unsigned units = 8;
    EXPECT_EQ(QL_GetStringByPath(unlearned, "k", buffer, &units), 0) << "document " << unlearned;
  }
}

// The other exports on identifiers the host knows: the failure value, then
// the same call answers as usual once allocations succeed again.
TEST_F(AllocationFailure, QueryAndControlExports) {
  QL_WCHAR buffer[64];
  struct Query {
    const char* name;
    std::function<int()> call;
  };
  const std::vector<Query> queries = {
      {"QL_RequestInfo",
       [&] {
         QL_REQUEST_INFO info{};
         return QL_RequestInfo(request, &info);
       }},
      {"QL_RequestInfo (download)",
       [&] {
         QL_REQUEST_INFO info{};
         return QL_RequestInfo(download, &info);
       }},
      {"QL_RequestDownloadProgress",
       [&] {
         int total = 0, done = 0;
         return QL_RequestDownloadProgress(download, &total, &done);
       }},
      {"QL_RequestData (length)",
       [&] {
         int size = 0;
         return QL_RequestData(request, nullptr, &size);
       }},
      {"QL_RequestData (body)",
       [&] {
         int size = 5;
         return QL_RequestData(request, buffer, &size);
       }},
      {"QL_GetStringByPath",
       [&] {
         unsigned units = 64;
         return QL_GetStringByPath(document, "a", buffer, &units);
       }},
      {"QL_CancelRequest", [&] { return QL_CancelRequest(request); }},
      {"QL_PullLogRecord",
       [&] {
         int length = 0;
         return QL_PullLogRecord(buffer, 64, &length);
       }},
      {"QL_RemoveRequest", [&] { return QL_RemoveRequest(download); }},
  };
  for (const auto& query : queries) {
    SCOPED_TRACE(query.name);
    failEachAllocation(query.call, [&](int result, long n) {
      EXPECT_EQ(result, 0) << "allocation " << n;
      expectNothingLocked(request, document);
    });
  }
  // The removal ran through once, and only once.
  EXPECT_EQ(infoOf(download).state, QL_STATE_NONE);
  EXPECT_EQ(infoOf(request).state, QL_STATE_DONE);
}

TEST_F(AllocationFailure, ExportsWithoutResult) {
  QL_WCHAR ulid[26];
  const std::vector<std::pair<const char*, std::function<int()>>> calls = {
      {"QL_Initialize",
       [] {
         QL_Initialize();
         return 0;
       }},
      {"QL_GenerateULID",
       [&] {
         QL_GenerateULID(ulid);
         return 0;
       }},
      {"QL_Cleanup",
       [] {
         QL_Cleanup();
         return 0;
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    failEachAllocation(call, [&](int, long) { expectNothingLocked(request, document); });
  }
  // Cleanup ran through: nothing is left in either table.
  EXPECT_EQ(infoOf(request).state, QL_STATE_NONE);
  QL_WCHAR buffer[8];
  unsigned units = 8;
  EXPECT_EQ(QL_GetStringByPath(document, "a", buffer, &units), 0);
}
// A clean-up that runs out of memory part-way leaves the HTTP system wholly
// up or wholly down: never refusing every transfer while it reads as up.
TEST_F(AllocationFailure, CleanupLeavesTheSystemWhollyUpOrWhollyDown) {
  failEachAllocation(
      [] {
        QL_Cleanup();
        return 0;
      },
      [&](int, long n) {
        int length = 0;
        QL_WCHAR record[128];
        while (QL_PullLogRecord(record, 128, &length) == 1) {
        }
        QL_Initialize();
        ASSERT_EQ(QL_PullLogRecord(record, 128, &length), 1);
        const bool up = std::u16string(reinterpret_cast<char16_t*>(record), static_cast<std::size_t>(length)) ==
                        u"Http system initialized";
        const unsigned id = QL_Request(0, server.url("/data").c_str(), nullptr);
        while (infoOf(id).state == QL_STATE_RUNNING) std::this_thread::sleep_for(1ms);
        const QL_REQUEST_INFO info = infoOf(id);
        if (up) {
          EXPECT_EQ(info.state, QL_STATE_DONE) << "reads as up after allocation " << n;
        } else {
          EXPECT_EQ(info.curlCode, 2) << "reads as down after allocation " << n;
        }
        QL_RemoveRequest(id);
      });
}
#else
TEST(AllocationFailure, NeedsTheLibraryToShareThisProgramsOperatorNew) {
  GTEST_SKIP() << "only a Linux shared library resolves operator new to the program's";
}
#endif

}  // namespace
