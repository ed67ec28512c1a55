// QL_DownloadFileEx, QL_RequestDownloadProgress64 and QL_RequestError as the
// installer drives them: resumed, verified, atomic, retried downloads from
// loopback servers the tests start, read back only through the public header.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <sstream>
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
#include <cstdlib>

#include "support/process.h"
#endif

using namespace std::chrono_literals;
using quillet_test::Connection;
using quillet_test::drainLogRecords;
using quillet_test::eventually;
using quillet_test::httpHead;
using quillet_test::HttpRequest;
using quillet_test::httpResponse;
using quillet_test::patternBytes;
using quillet_test::RawHttpServer;
using quillet_test::readFile;
using quillet_test::scaled;
using quillet_test::TempDir;
using quillet_test::waitFinished;
using quillet_test::widePath;
using quillet_test::writeFile;
namespace fs = std::filesystem;

namespace {

// The file every test downloads, and its SHA-256 (sha256sum of these bytes).
constexpr std::size_t kFileSize = 2 * 1024 * 1024 + 123;
constexpr uint32_t kSeed = 24;
constexpr const char* kFileSha256 = "35156a21a1feddd882a34e6daf907c90872477005b07255e20da09c9d705da0d";
constexpr const char* kOtherSha256 = "35156A21A1FEDDD882A34E6DAF907C90872477005B07255E20DA09C9D705DA0E";
constexpr std::size_t kMiB = 1024 * 1024;

const std::string& content() {
  static const std::string bytes = patternBytes(0, kFileSize, kSeed);
  return bytes;
}

// How the server answers one request.
enum class Answer {
  serve,           // 200 from 0, 206 for a range inside, 416 ("*/size") past the end
  ignoreRange,     // 200 with the whole file, whatever was asked
  cutAt1MiB,       // 200 announcing the whole file, then the connection ends after 1 MiB
  busy,            // 503 with Retry-After: 1
  busyLong,        // 503 with Retry-After: 30
  stallAt1MiB,     // 200 announcing the whole file, 1 MiB, then nothing
  huge,            // 200 announcing 5 GiB, 1 MiB, then nothing
  oldVersionCut,   // 200 of another version (other size, ETag "23"), cut after 1 MiB
  wrongStart,      // 206 that names and sends the file's first bytes, whatever was asked
  halfPartial,     // 206 from the byte asked, but of half the file only
  chunkedPartial,  // 206 from the byte asked, chunked, without Content-Length
};

constexpr const char* kETag = "\"24\"";  // of content(); serve sends it and honours If-Range with it

uint64_t rangeStart(const HttpRequest& request) {
  const std::string range = request.header("Range");
  return range.rfind("bytes=", 0) == 0 ? std::stoull(range.substr(6)) : 0;
}

std::string contentRange(uint64_t first, uint64_t last) {
  return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
         std::to_string(content().size());
}

void answer(Answer how, const HttpRequest& request, Connection& c) {
  const std::string& file = content();
  const std::string whole = std::to_string(file.size());
  const uint64_t asked = rangeStart(request);
  switch (how) {
    case Answer::serve: {
      // Another version named in If-Range gets the whole file.
      const bool sameVersion = !request.hasHeader("If-Range") || request.header("If-Range") == kETag;
      const uint64_t from = sameVersion ? asked : 0;
      if (from == 0) {
        c.send(httpHead(200, "OK", static_cast<int64_t>(file.size()), {std::string("ETag: ") + kETag}));
        c.sendPattern(0, file.size(), kSeed);
      } else if (from >= file.size()) {
        c.send(httpResponse(416, "Range Not Satisfiable", "", {"Content-Range: bytes */" + whole}));
      } else {
        c.send(httpHead(206, "Partial Content", static_cast<int64_t>(file.size() - from),
                        {contentRange(from, file.size() - 1), std::string("ETag: ") + kETag}));
        c.sendPattern(from, file.size() - from, kSeed);
      }
      return;
    }
    case Answer::oldVersionCut:
      c.send(httpHead(200, "OK", static_cast<int64_t>(file.size() + 1000), {"ETag: \"23\""}));
      c.sendPattern(0, kMiB, kSeed - 1);
      c.close();
      return;
    case Answer::wrongStart:
      c.send(httpHead(206, "Partial Content", static_cast<int64_t>(file.size() - asked),
                      {contentRange(0, file.size() - asked - 1)}));
      c.sendPattern(0, file.size() - asked, kSeed);
      return;
    case Answer::halfPartial:
      c.send(httpHead(206, "Partial Content", static_cast<int64_t>(kMiB), {contentRange(asked, asked + kMiB - 1)}));
      c.sendPattern(asked, kMiB, kSeed);
      return;
    case Answer::chunkedPartial: {
      const std::string rest = patternBytes(asked, file.size() - asked, kSeed);
      std::ostringstream size;
      size << std::hex << rest.size();
      c.send(
          httpHead(206, "Partial Content", -1, {contentRange(asked, file.size() - 1), "Transfer-Encoding: chunked"}) +
          size.str() + "\r\n" + rest + "\r\n0\r\n\r\n");
      return;
    }
    case Answer::ignoreRange:
      c.send(httpHead(200, "OK", static_cast<int64_t>(file.size())));
      c.sendPattern(0, file.size(), kSeed);
      return;
    case Answer::cutAt1MiB:
      c.send(httpHead(200, "OK", static_cast<int64_t>(file.size())));
      c.sendPattern(0, kMiB, kSeed);
      c.close();
      return;
    case Answer::busy:
    case Answer::busyLong:
      c.send(httpResponse(503, "Service Unavailable", "busy",
                          {how == Answer::busy ? "Retry-After: 1" : "Retry-After: 30"}));
      return;
    case Answer::stallAt1MiB:
    case Answer::huge:
      c.send(httpHead(200, "OK", how == Answer::huge ? int64_t{5} << 30 : static_cast<int64_t>(file.size())));
      c.sendPattern(0, kMiB, kSeed);
      c.stall(scaled(60s));
      return;
  }
}

// A server that gives the k-th request answers[k], the last one from then on.
struct ScriptedServer {
  explicit ScriptedServer(std::vector<Answer> script)
      : answers(std::move(script)), server([this](const HttpRequest& request, Connection& c) {
          const std::size_t k = std::min<std::size_t>(served++, answers.size() - 1);
          answer(answers[k], request, c);
        }) {}

  // Each request's range, with the version it named when it named one.
  std::vector<std::string> ranges() const {
    std::vector<std::string> asked;
    for (const HttpRequest& request : server.requests()) {
      asked.push_back(request.header("Range") +
                      (request.hasHeader("If-Range") ? " if " + request.header("If-Range") : std::string()));
    }
    return asked;
  }

  const std::vector<Answer> answers;
  std::atomic<std::size_t> served{0};
  RawHttpServer server;
};

QL_DOWNLOAD_OPTIONS optionsOf(unsigned int flags, const char* sha256 = nullptr, unsigned int retries = 0,
                              const char* mirrors = nullptr) {
  QL_DOWNLOAD_OPTIONS options{};
  options.size = sizeof(options);
  options.flags = flags;
  options.expectedSize = -1;
  options.sha256 = sha256;
  options.mirrors = mirrors;
  options.retries = retries;
  return options;
}

// QL_RequestError through its two calls; "<none>" when it gives nothing.
std::string errorOf(unsigned id) {
  int length = -1;
  if (QL_RequestError(id, nullptr, 0, &length) != 0 || length <= 0) return "<none>";
  std::u16string words(static_cast<std::size_t>(length), u'\0');
  int copied = -1;
  if (QL_RequestError(id, reinterpret_cast<QL_WCHAR*>(&words[0]), static_cast<unsigned>(length), &copied) != 1 ||
      copied != length) {
    return "<copy refused>";
  }
  return quillet_test::toUtf8(words);
}

bool anyRecordHas(const std::vector<std::string>& records, const std::string& text) {
  return std::any_of(records.begin(), records.end(),
                     [&](const std::string& record) { return record.find(text) != std::string::npos; });
}

std::string refusedUrl() { return "http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/file"; }

// ---------------------------------------------------------------------------

struct Row {
  const char* name;
  std::vector<Answer> script;
  std::string onDisk;  // what the .part file holds before the download ("" for no file)
  unsigned int flags;  // QL_DOWNLOAD_...
  const char* sha256;  // nullptr for none
  unsigned int retries;
  bool refusedFirstUrl;             // the server is only the mirror
  int state;                        // QL_STATE_...
  std::vector<std::string> ranges;  // asked of the server, in order
  std::string record;               // a log record holds this
  std::string words;                // QL_RequestError holds this ("" for a success)
  long long expectedSize = -1;
  bool emptyPartKept = false;  // the failure left "<path>.part" behind, without a byte written
};

// Test names and failures show the row by its name.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::string bytesFrom(std::size_t n) { return "bytes=" + std::to_string(n) + "-"; }

std::vector<Row> rows() {
  const std::string garbage(400 * 1024, 'z');
  const std::string mismatch = std::string("SHA-256 mismatch: expected ") +
                               "35156a21a1feddd882a34e6daf907c90872477005b07255e20da09c9d705da0e, received " +
                               kFileSha256;
  const unsigned resumeAtomic = QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC;
  const std::string tooLong = "Invalid content length. full_size: " + std::to_string(kFileSize + 1) +
                              ".000000, requested_size: 0.000000, content_len: " + std::to_string(kFileSize) +
                              ".000000";
  // clang-format off
  return {
      // name, script, on disk, flags, sha256, retries, refused first URL, state, ranges, record, words
      // [, expected size, empty .part kept]
      {"RangeIgnoredStartsOver", {Answer::ignoreRange}, garbage, resumeAtomic, kFileSha256, 0, false,
       QL_STATE_DONE, {bytesFrom(garbage.size())}, "Resume download: ", ""},
      {"CompletePartAnswered416", {Answer::serve}, content(), QL_DOWNLOAD_RESUME, kFileSha256, 0, false,
       QL_STATE_DONE, {bytesFrom(kFileSize)}, "Resume download: ", ""},
      {"ResumedWrongPrefixStartsOverOnce", {Answer::serve}, std::string(kMiB, 'q'), QL_DOWNLOAD_RESUME, kFileSha256,
       0, false, QL_STATE_DONE, {bytesFrom(kMiB), bytesFrom(0)}, "Verification failed: ", ""},
      {"HashMismatchFails", {Answer::serve}, "", QL_DOWNLOAD_ATOMIC, kOtherSha256, 0, false,
       QL_STATE_FAILED, {bytesFrom(0)}, "Verification failed: ", mismatch},
      {"BodyCutIsRetriedFromWhereItStopped", {Answer::cutAt1MiB, Answer::serve}, "", QL_DOWNLOAD_ATOMIC, kFileSha256,
       1, false, QL_STATE_DONE, {bytesFrom(0), bytesFrom(kMiB)}, "Retry download: ", ""},
      {"BusyThenServed", {Answer::busy, Answer::serve}, "", 0, nullptr, 1, false,
       QL_STATE_DONE, {bytesFrom(0), bytesFrom(0)}, " in 1 s after: Unexpected http server response code(503).", ""},
      {"BusyWithoutRetriesFails", {Answer::busy}, "", 0, nullptr, 0, false,
       QL_STATE_FAILED, {bytesFrom(0)}, "Request finished: Unexpected http server response code(503).",
       "Unexpected http server response code(503)."},
      {"ExpectedSizeRefusesAnotherLengthBeforeWriting", {Answer::serve}, "", QL_DOWNLOAD_ATOMIC, nullptr, 0, false,
       QL_STATE_FAILED, {bytesFrom(0)}, "Request finished: Invalid content length.", tooLong, kFileSize + 1, true},
      {"RefusedUrlIsRetriedThenFallsBackToMirror", {Answer::serve}, "", QL_DOWNLOAD_ATOMIC, kFileSha256, 1, true,
       QL_STATE_DONE, {bytesFrom(0)}, "> retry 1 of 1 in 1 s after: Inner libCurl error(7): ", ""},
      // Ranged answers: appended only from exactly the bytes kept to the end,
      // and only to the version those bytes came from.
      {"PartialFromTheWrongByteIsRetried", {Answer::wrongStart, Answer::serve}, content().substr(0, kMiB),
       resumeAtomic, nullptr, 1, false, QL_STATE_DONE, {bytesFrom(kMiB), bytesFrom(kMiB)},
       "after: Invalid partial answer: Content-Range \"bytes 0-1048698/2097275\" for the bytes from 1048576", ""},
      {"PartialShortOfTheEndFails", {Answer::halfPartial}, "", 0, nullptr, 0, false, QL_STATE_FAILED,
       {bytesFrom(0)}, "Request finished: Invalid partial answer: ",
       "Invalid partial answer: Content-Range \"bytes 0-1048575/2097275\" for the bytes from 0"},
      {"ChunkedPartialTakenOnItsRange", {Answer::chunkedPartial}, content().substr(0, kMiB), QL_DOWNLOAD_RESUME,
       nullptr, 0, false, QL_STATE_DONE, {bytesFrom(kMiB)}, "Request finished: success", "", kFileSize},
      {"VersionChangedAfterTheCutStartsOver", {Answer::oldVersionCut, Answer::serve}, "", QL_DOWNLOAD_ATOMIC,
       nullptr, 1, false, QL_STATE_DONE, {bytesFrom(0), bytesFrom(kMiB) + " if \"23\""}, "Retry download: ", ""},
      {"LongerThanTheServersFileStartsOver", {Answer::serve}, content() + std::string(500, 'x'), QL_DOWNLOAD_RESUME,
       nullptr, 0, false, QL_STATE_DONE, {bytesFrom(kFileSize + 500), bytesFrom(0)},
       "Start download over: ", ""},
      {"ZeroFilledSizeMeansUnknown", {Answer::serve}, "", 0, nullptr, 0, false, QL_STATE_DONE, {bytesFrom(0)},
       "Request finished: success", "", 0},
  };
  // clang-format on
}

class DownloadEx : public ::testing::TestWithParam<Row> {};

TEST_P(DownloadEx, EndsAsScripted) {
  const Row& row = GetParam();
  TempDir dir;
  const fs::path target = dir.file("game.pak");
  const fs::path part = dir.file("game.pak.part");
  const bool atomic = (row.flags & QL_DOWNLOAD_ATOMIC) != 0 || row.sha256 != nullptr;
  writeFile(target, "old");
  if (!row.onDisk.empty()) writeFile(atomic ? part : target, row.onDisk);
  ScriptedServer source(row.script);
  const std::string url = row.refusedFirstUrl ? refusedUrl() : source.server.url("/file");
  const std::string mirror = source.server.url("/file");
  QL_DOWNLOAD_OPTIONS options =
      optionsOf(row.flags, row.sha256, row.retries, row.refusedFirstUrl ? mirror.c_str() : nullptr);
  options.expectedSize = row.expectedSize;
  const std::u16string path = widePath(target);

  const unsigned id = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  const QL_REQUEST_INFO info = waitFinished(id, 60s);
  const auto records = drainLogRecords();

  EXPECT_EQ(info.state, row.state);
  EXPECT_EQ(source.ranges(), row.ranges);
  EXPECT_TRUE(anyRecordHas(records, row.record)) << ::testing::PrintToString(records);
  if (row.emptyPartKept) {
    EXPECT_EQ(readFile(part), "");
  } else {
    EXPECT_FALSE(fs::exists(part));
  }
  if (row.state == QL_STATE_DONE) {
    EXPECT_TRUE(readFile(target) == content());
    EXPECT_EQ(errorOf(id), "<none>");
    long long total = 0;
    long long written = 0;
    EXPECT_EQ(QL_RequestDownloadProgress64(id, &total, &written), 1);
    EXPECT_EQ(total, static_cast<long long>(kFileSize));
    EXPECT_EQ(written, static_cast<long long>(kFileSize));
  } else {
    EXPECT_EQ(readFile(target), atomic ? "old" : "");  // an atomic target keeps what it held
    EXPECT_EQ(errorOf(id), row.words);
  }
  QL_RemoveRequest(id);
}

INSTANTIATE_TEST_SUITE_P(Table, DownloadEx, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------

// Options that cannot be taken fail the request at once and touch no file.
TEST(DownloadExOptions, RefusedAtOnceTouchingNoFile) {
  struct Case {
    const char* name;
    std::function<void(QL_DOWNLOAD_OPTIONS&)> spoil;
    std::string words;
  };
  const std::vector<Case> cases = {
      {"size", [](QL_DOWNLOAD_OPTIONS& o) { o.size = 32; }, "Invalid download options: size 32, expected "},
      {"flags", [](QL_DOWNLOAD_OPTIONS& o) { o.flags = 0x4; }, "Invalid download options: unknown flags"},
      {"short sha256", [](QL_DOWNLOAD_OPTIONS& o) { o.sha256 = "35156a21"; },
       "Invalid download options: sha256 is not 64 hex digits"},
      {"sha256 not hex",
       [](QL_DOWNLOAD_OPTIONS& o) { o.sha256 = "g5156a21a1feddd882a34e6daf907c90872477005b07255e20da09c9d705da0d"; },
       "Invalid download options: sha256 is not 64 hex digits"},
      {"no such job", [](QL_DOWNLOAD_OPTIONS& o) { o.job = 4000000000u; },
       "Invalid download options: no job 4000000000"},
  };
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "x")); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::u16string path = widePath(dir.file("f"));
    QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_ATOMIC);
    c.spoil(options);
    const unsigned id =
        QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
    const QL_REQUEST_INFO info = waitFinished(id);
    EXPECT_EQ(info.state, QL_STATE_FAILED);
    EXPECT_EQ(info.curlCode, -1);
    EXPECT_EQ(info.hasInfo, 0);
    EXPECT_EQ(errorOf(id).rfind(c.words, 0), 0u) << errorOf(id);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    QL_RemoveRequest(id);
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

// A cancel while the request waits to retry ends it at once with code 42 and
// keeps the bytes so far for a later resume.
TEST(DownloadExRetry, CancelDuringBackoffEndsAtOnce) {
  ScriptedServer source({Answer::cutAt1MiB, Answer::busyLong});
  TempDir dir;
  const std::u16string path = widePath(dir.file("f"));
  QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_ATOMIC, nullptr, 5);
  const unsigned id =
      QL_DownloadFileEx(source.server.url("/file").c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  std::vector<std::string> records;
  ASSERT_TRUE(eventually(
      [&] {
        const auto more = drainLogRecords();
        records.insert(records.end(), more.begin(), more.end());
        return anyRecordHas(records, "in 30 s after: Unexpected http server response code(503).");
      },
      20s))
      << ::testing::PrintToString(records);
  ASSERT_EQ(QL_CancelRequest(id), 1);
  // The wait was for 30 s; the cancel must end it long before.
  const QL_REQUEST_INFO info = waitFinished(id, 5s);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 42);
  EXPECT_EQ(source.server.requestCount(), 2u);
  EXPECT_EQ(readFile(dir.file("f.part")).size(), kMiB);
  EXPECT_FALSE(fs::exists(dir.file("f")));
  QL_RemoveRequest(id);
}

// A speed cap holds from the first second on, and the bytes it holds back
// still arrive whole; a cancel while it holds them back is seen at once.
TEST(DownloadExSpeedCap, HoldsFromTheFirstSecondAndEndsWhole) {
  constexpr long long kCap = 512 * 1024;
  constexpr long long kOneReceiveBuffer = 128 * 1024;
  ScriptedServer source({Answer::serve});
  const std::string url = source.server.url("/file");
  TempDir dir;
  const std::u16string capped = widePath(dir.file("capped"));
  const std::u16string crawling = widePath(dir.file("crawling"));
  QL_DOWNLOAD_OPTIONS options = optionsOf(0);
  options.maxBytesPerSecond = kCap;
  const auto started = std::chrono::steady_clock::now();
  const unsigned id = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(capped.c_str()), &options);
  options.maxBytesPerSecond = 1024;
  const unsigned slow = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(crawling.c_str()), &options);
  std::this_thread::sleep_for(1s);

  long long total = 0;
  long long written = 0;
  ASSERT_EQ(QL_RequestDownloadProgress64(id, &total, &written), 1);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LE(written, static_cast<long long>(kCap * seconds) + kOneReceiveBuffer) << seconds << " s";

  // At 1 KiB/s its first buffer holds it back for many seconds.
  ASSERT_EQ(QL_CancelRequest(slow), 1);
  const QL_REQUEST_INFO cancelled = waitFinished(slow, 3s);
  EXPECT_EQ(cancelled.state, QL_STATE_FAILED);
  EXPECT_EQ(cancelled.curlCode, 42);

  ASSERT_EQ(waitFinished(id, 60s).state, QL_STATE_DONE) << errorOf(id);
  EXPECT_TRUE(readFile(dir.file("capped")) == content());
  QL_RemoveRequest(id);
  QL_RemoveRequest(slow);
}

// Sizes past 4 GiB come through the 64-bit progress whole.
TEST(DownloadExProgress, FiveGiBAnnouncedLength) {
  ScriptedServer source({Answer::huge});
  TempDir dir;
  const std::u16string path = widePath(dir.file("f"));
  const unsigned id =
      QL_DownloadFile(source.server.url("/file").c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()));
  long long total = 0;
  long long written = 0;
  ASSERT_TRUE(eventually(
      [&] {
        return QL_RequestDownloadProgress64(id, &total, &written) == 1 && written == static_cast<long long>(kMiB);
      },
      20s))
      << written;
  EXPECT_EQ(total, 5LL << 30);
  int total32 = 0;
  int written32 = 0;
  EXPECT_EQ(QL_RequestDownloadProgress(id, &total32, &written32), 1);
  EXPECT_EQ(total32, 1 << 30);  // the low 32 bits
  long long unknown = 7;
  EXPECT_EQ(QL_RequestDownloadProgress64(id + 1000, &unknown, &written), 0);
  EXPECT_EQ(unknown, 0);
  EXPECT_EQ(QL_RequestDownloadProgress64(id, nullptr, &written), 0);
  QL_RemoveRequest(id);
}

// The reason an in-memory request failed, through the two calls.
TEST(RequestError, InMemoryRequestWords) {
  const unsigned failed = QL_Request(0, refusedUrl().c_str(), nullptr);
  ASSERT_EQ(waitFinished(failed).state, QL_STATE_FAILED);
  const std::string words = "Inner libCurl error(7): \"Couldn't connect to server\".";
  int length = -1;
  EXPECT_EQ(QL_RequestError(failed, nullptr, 100, &length), 0);
  EXPECT_EQ(length, static_cast<int>(words.size()));
  std::u16string small(4, u'#');
  EXPECT_EQ(QL_RequestError(failed, reinterpret_cast<QL_WCHAR*>(&small[0]), 4, &length), 0);
  EXPECT_EQ(small, u"####");  // untouched when too small
  EXPECT_EQ(errorOf(failed), words);
  EXPECT_EQ(QL_RequestError(failed, nullptr, 0, nullptr), 0);

  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "fine")); });
  const unsigned succeeded = QL_Request(0, server.url().c_str(), nullptr);
  ASSERT_EQ(waitFinished(succeeded).state, QL_STATE_DONE);
  length = -1;
  EXPECT_EQ(QL_RequestError(succeeded, nullptr, 0, &length), 0);
  EXPECT_EQ(length, 0);
  length = -1;
  EXPECT_EQ(QL_RequestError(succeeded + 1000, nullptr, 0, &length), 0);
  EXPECT_EQ(length, 0);
  QL_RemoveRequest(failed);
  QL_RemoveRequest(succeeded);
}

// The version a partial file holds outlives the run that wrote it: the next
// run names it, and a server that has another version now sends that whole.
TEST(DownloadExResume, NamesTheVersionKeptByAnEarlierRun) {
  ScriptedServer source({Answer::oldVersionCut, Answer::serve});
  TempDir dir;
  const std::u16string path = widePath(dir.file("f"));
  const std::string url = source.server.url("/file");
  QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC);
  const unsigned cut = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  ASSERT_EQ(waitFinished(cut, 60s).state, QL_STATE_FAILED);
  QL_RemoveRequest(cut);
  ASSERT_EQ(readFile(dir.file("f.part")).size(), kMiB);

  const unsigned id = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  ASSERT_EQ(waitFinished(id, 60s).state, QL_STATE_DONE) << errorOf(id);
  EXPECT_EQ(source.ranges(), (std::vector<std::string>{bytesFrom(0), bytesFrom(kMiB) + " if \"23\""}));
  EXPECT_TRUE(readFile(dir.file("f")) == content());
  EXPECT_FALSE(fs::exists(dir.file("f.part")));
  EXPECT_FALSE(fs::exists(dir.file("f.part.meta")));  // nothing is left to resume
  QL_RemoveRequest(id);
}

// An empty file, as a strict server answers "bytes=0-" for it: 416 with
// "bytes */0". The digest still judges it.
TEST(DownloadExEmptyFile, UnsatisfiableRangeOfNothingIsAnEmptyFile) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpResponse(416, "Range Not Satisfiable", "", {"Content-Range: bytes */0"}));
  });
  TempDir dir;
  writeFile(dir.file("plain"), "old");
  const std::u16string plain = widePath(dir.file("plain"));
  const std::u16string verified = widePath(dir.file("verified"));
  const std::u16string wrong = widePath(dir.file("wrong"));
  const unsigned a = QL_DownloadFile(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(plain.c_str()));
  QL_DOWNLOAD_OPTIONS options =
      optionsOf(QL_DOWNLOAD_RESUME, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const unsigned b =
      QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(verified.c_str()), &options);
  options.sha256 = kFileSha256;
  const unsigned c =
      QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(wrong.c_str()), &options);
  EXPECT_EQ(waitFinished(a).state, QL_STATE_DONE) << errorOf(a);
  EXPECT_EQ(waitFinished(b).state, QL_STATE_DONE) << errorOf(b);
  EXPECT_EQ(waitFinished(c).state, QL_STATE_FAILED);
  EXPECT_EQ(readFile(dir.file("plain")), "");
  EXPECT_EQ(readFile(dir.file("verified")), "");
  EXPECT_FALSE(fs::exists(dir.file("wrong")));
  for (unsigned id : {a, b, c}) QL_RemoveRequest(id);
}

// An atomic download refuses a target that the plain download refuses, in
// the same words, before a byte is fetched for it; a link to a file is a
// legal target for both.
TEST(DownloadExTarget, JudgedBeforeTheTransferAsThePlainDownloadJudgesIt) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "new")); });
  TempDir dir;
  fs::create_directory(dir.file("folder"));
  writeFile(dir.file("locked"), "keep");
  fs::permissions(dir.file("locked"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const std::string separator(1, fs::path::preferred_separator);
  std::vector<std::string> targets = {dir.file("folder").string(), dir.file("folder").string() + separator};
#ifndef _WIN32
  // Wine run as root writes read-only files all the same, so there the row
  // would test Wine.
  targets.push_back(dir.file("locked").string());
#endif
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    const std::u16string path = widePath(target);
    const unsigned plain = QL_DownloadFile(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()));
    QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_ATOMIC);
    const unsigned atomic =
        QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
    EXPECT_EQ(waitFinished(plain).state, QL_STATE_FAILED);
    EXPECT_EQ(waitFinished(atomic).state, QL_STATE_FAILED);
    EXPECT_EQ(errorOf(atomic), errorOf(plain));
    QL_RemoveRequest(plain);
    QL_RemoveRequest(atomic);
  }
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_TRUE(fs::is_empty(dir.file("folder")));
  EXPECT_FALSE(fs::exists(dir.file("folder.part")));
  EXPECT_FALSE(fs::exists(dir.file("locked.part")));
  fs::permissions(dir.file("locked"), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(readFile(dir.file("locked")), "keep");
#ifndef _WIN32
  writeFile(dir.file("real"), "old");
  fs::create_symlink("real", dir.file("link"));
  const std::u16string link = widePath(dir.file("link"));
  QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_ATOMIC);
  const unsigned id =
      QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(link.c_str()), &options);
  EXPECT_EQ(waitFinished(id).state, QL_STATE_DONE) << errorOf(id);
  EXPECT_EQ(readFile(dir.file("link")), "new");
  QL_RemoveRequest(id);
#endif
}

#ifndef _WIN32
// The writer of the test below: this test program run once more, with the
// download named in its environment; it downloads until it is killed.
TEST(DownloadExResume, DISABLED_Writer) {
  const char* url = std::getenv("QUILLET_TEST_WRITER_URL");
  const char* file = std::getenv("QUILLET_TEST_WRITER_PATH");
  ASSERT_TRUE(url != nullptr && file != nullptr);
  const std::u16string path = widePath(file);
  QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC, kFileSha256);
  const unsigned id = QL_DownloadFileEx(url, reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  waitFinished(id, 600s);
}

// The process writing the download is killed outright (SIGKILL); the next
// run keeps what reached the disk and asks only for the rest.
TEST(DownloadExResume, AfterTheWriterWasKilled) {
  ScriptedServer source({Answer::stallAt1MiB, Answer::serve});
  TempDir dir;
  const fs::path part = dir.file("f.part");
  const std::u16string path = widePath(dir.file("f"));
  const std::string url = source.server.url("/file");
  ASSERT_EQ(setenv("QUILLET_TEST_WRITER_URL", url.c_str(), 1), 0);
  ASSERT_EQ(setenv("QUILLET_TEST_WRITER_PATH", dir.file("f").string().c_str(), 1), 0);
  {
    // A process of its own, as the library cannot be killed inside this one.
    quillet_test::StartedProcess writer(
        "/proc/self/exe", {"--gtest_also_run_disabled_tests", "--gtest_filter=DownloadExResume.DISABLED_Writer"});
    ASSERT_TRUE(writer.started());
    ASSERT_TRUE(eventually([&] { return fs::exists(part) && fs::file_size(part) == kMiB; }, 20s));
  }  // killed with SIGKILL and reaped here

  QL_DOWNLOAD_OPTIONS options = optionsOf(QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC, kFileSha256);
  const unsigned id = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &options);
  ASSERT_EQ(waitFinished(id, 60s).state, QL_STATE_DONE) << errorOf(id);
  EXPECT_EQ(source.ranges(), (std::vector<std::string>{bytesFrom(0), bytesFrom(kMiB)}));
  EXPECT_TRUE(readFile(dir.file("f")) == content());
  EXPECT_FALSE(fs::exists(part));
  EXPECT_TRUE(anyRecordHas(drainLogRecords(), "Resume download: " + std::to_string(id) + " from 1048576 bytes"));
  QL_RemoveRequest(id);
}
#endif

}  // namespace
