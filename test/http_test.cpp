// The HTTP engine below the exports: message formatting and error objects,
// the libcurl transfer against a loopback server, the request worker, and
// the in-memory and file requests.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "api/log_queue.h"
#include "http/format_wide.h"
#include "http/http_exception.h"
#include "http/http_request_data_helper.h"
#include "http/http_request_file_helper.h"
#include "http/http_system.h"
#include "http/http_transfer.h"
#include "platform/platform.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

using namespace std::chrono_literals;
using quillet_test::Connection;
using quillet_test::httpHead;
using quillet_test::HttpRequest;
using quillet_test::httpResponse;
using quillet_test::patternBytes;
using quillet_test::RawHttpServer;
using quillet_test::scaled;
using quillet_test::TempDir;
using vela::http::http_method;
using vela::http::http_request_data_helper;
using vela::http::http_request_file_helper;
using vela::http::http_request_params;
using vela::http::http_transfer;

namespace {

std::string utf8(const std::u16string& text) { return quillet_test::toUtf8(text); }

std::string curlMessage(CURLcode code) { return curl_easy_strerror(code); }

using vela::http::FileDownloadRequest;

// Nothing can derive from the requests the exports create: a derived part
// would be destroyed while the worker still calls into it.
static_assert(std::is_final_v<FileDownloadRequest> && std::is_final_v<http_request_data_helper>);

// Polls until the request has finished; the limit is stretched by scaled().
template <typename Request>
bool waitFinished(Request& request, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
  while (!request.isFinished()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string errorText(vela::http::http_request_helper& request) {
  auto error = request.getError();
  return error ? utf8(error->text()) : std::string("<none>");
}

// Records what a transfer reports and answers as told.
struct RecordingCallback : vela::http::http_request_callback {
  std::atomic<bool> cancel{false};
  bool acceptInfo = true;
  bool acceptData = true;
  int infoCalls = 0;
  int dataCallsBeforeInfo = 0;
  std::string body;

  std::atomic<int> cancelChecks{0};
  bool isCancelled(http_transfer&, uintptr_t) override {
    ++cancelChecks;
    return cancel.load();
  }
  std::string upload;  // handed out once by provideData
  bool provideData(http_transfer&, uintptr_t, void* buffer, uint32_t size, uint32_t& written) override {
    written = static_cast<uint32_t>(std::min<std::size_t>(size, upload.size()));
    std::memcpy(buffer, upload.data(), written);
    upload.erase(0, written);
    return true;
  }
  bool receiveInfo(http_transfer&, uintptr_t) override {
    ++infoCalls;
    return acceptInfo;
  }
  bool receiveData(http_transfer&, uintptr_t, const void* data, uint32_t size) override {
    if (infoCalls == 0) ++dataCallsBeforeInfo;
    body.append(static_cast<const char*>(data), size);
    return acceptData;
  }
};

http_request_params getParams(const std::string& url) {
  http_request_params params;
  params.url = url;
  params.method = http_method::get;
  return params;
}

// ---------------------------------------------------------------------------

#ifdef _WIN32
// This program links the same static libcurl as quillet.dll. A job asks for
// HTTP/2 only when libcurl reports it, so a libcurl built without nghttp2
// would quietly keep every job on HTTP/1.1.
TEST(HttpLibrary, WindowsLibcurlHasHttp2) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->features & CURL_VERSION_HTTP2, 0) << info->version;
  ASSERT_NE(info->nghttp2_version, nullptr);
  EXPECT_NE(std::string(info->nghttp2_version), "");
}

// A proxy that asks for a sign-in gets the logged-on user's through SSPI,
// which Wine cannot show: at least the build must have it.
TEST(HttpLibrary, WindowsLibcurlSignsInThroughSspi) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->features & CURL_VERSION_SSPI, 0) << info->version;
  EXPECT_NE(info->features & CURL_VERSION_NTLM, 0) << info->version;
  EXPECT_NE(info->features & CURL_VERSION_SPNEGO, 0) << info->version;
}
#endif

TEST(FormatWide, ConversionsOfTheEngineMessages) {
  EXPECT_EQ(vela::format_wide(u"(0x%X)\"%s\"", {uint32_t{0xBEEF2}, u"text"}), u"(0xBEEF2)\"text\"");
  EXPECT_EQ(vela::format_wide(u"code(%d).", {int32_t{-42}}), u"code(-42).");
  EXPECT_EQ(vela::format_wide(u"%f|%f", {1000.0, -0.5}), u"1000.000000|-0.500000");
  EXPECT_EQ(vela::format_wide(u"100%% %s", {u""}), u"100% ");
  EXPECT_EQ(vela::format_wide(u"%X", {uint32_t{0xFFFFFFFF}}), u"FFFFFFFF");
}

TEST(FormatWide, FormatErrorsGiveEmptyText) {
  EXPECT_EQ(vela::format_wide(u"%d %d", {int32_t{1}}), u"");  // missing argument
  EXPECT_EQ(vela::format_wide(u"%d", {u"text"}), u"");        // mismatched argument
  EXPECT_EQ(vela::format_wide(u"%q", {int32_t{1}}), u"");     // unknown conversion
  EXPECT_EQ(vela::format_wide(u"dangling %", {}), u"");
}

TEST(Exceptions, HttpExceptionTextsAndClone) {
  vela::http::http_exception empty(static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(empty.text(), u"");
  EXPECT_EQ(std::u16string(empty.name()), u"http request error");
  EXPECT_EQ(empty.level(), 1);

  auto original = std::make_unique<vela::http::http_exception>(u"first");
  std::unique_ptr<vela::Exception> copy(original->clone());
  original.reset();
  ASSERT_NE(dynamic_cast<vela::http::http_exception*>(copy.get()), nullptr);
  EXPECT_EQ(copy->text(), u"first");
}

TEST(Exceptions, SysExceptionTextHasNoLineBreaks) {
  vela::SysException error(2, u"src", 12, u"fn");
  const std::string text = utf8(error.text());
  ASSERT_GT(text.size(), 8u);
  EXPECT_EQ(text.rfind("(0x2)\"", 0), 0u) << text;
  EXPECT_EQ(text.back(), '"');
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text[text.size() - 2], '"') << "the system sentence is missing: " << text;
  EXPECT_EQ(std::u16string(error.name()), u"system error");
  EXPECT_EQ(error.source_line(), 12);
  EXPECT_EQ(error.function(), u"fn");

  std::unique_ptr<vela::Exception> copy;
  {
    vela::SysException sharing(32, nullptr, 0, nullptr);
    copy.reset(sharing.clone());
    EXPECT_EQ(sharing.source_file(), u"");
  }
  auto* sys = dynamic_cast<vela::SysException*>(copy.get());
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->system_code(), 32u);
  EXPECT_EQ(utf8(copy->text()).rfind("(0x20)\"", 0), 0u);
}

TEST(Exceptions, SysExceptionForCodeWithoutSystemText) {
  vela::SysException error(0xDEAD1, nullptr, 0, nullptr);
  EXPECT_EQ(error.text(), u"(0xDEAD1)\"\"");
}

TEST(Exceptions, MessageBuilders) {
  EXPECT_EQ(vela::http::make_length_error(1000, 400, 500)->text(),
            u"Invalid content length. full_size: 1000.000000, requested_size: 400.000000, content_len: 500.000000");
  EXPECT_EQ(vela::http::make_status_error(404)->text(), u"Unexpected http server response code(404).");
  EXPECT_EQ(vela::http::make_curl_error(7, u"Couldn't connect to server")->text(),
            u"Inner libCurl error(7): \"Couldn't connect to server\".");
}

// ---------------------------------------------------------------------------

TEST(TransferErrorText, ClosedAndTooSlowPrefixes) {
  EXPECT_EQ(http_transfer::describe(CURLE_PARTIAL_FILE, 0), "Transfer closed. " + curlMessage(CURLE_PARTIAL_FILE));
  EXPECT_EQ(http_transfer::describe(CURLE_OPERATION_TIMEDOUT, 30),
            "Operation too slow. Less than 1 bytes/sec transferred the last 30 seconds. " +
                curlMessage(CURLE_OPERATION_TIMEDOUT));
  EXPECT_EQ(http_transfer::describe(CURLE_OPERATION_TIMEDOUT, 0),
            "Operation too slow. Less than 1 bytes/sec. " + curlMessage(CURLE_OPERATION_TIMEDOUT));
  EXPECT_EQ(http_transfer::describe(CURLE_COULDNT_CONNECT, 30), curlMessage(CURLE_COULDNT_CONNECT));
}

TEST(TransferOnTheWire, GetCarriesFixedHeadersInOrder) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "x")); });
  http_transfer transfer;
  RecordingCallback callback;
  http_request_params params = getParams(server.url("/path?q=1"));
  params.headers = {"X-First: 1", "X-Second: 2"};
  ASSERT_TRUE(transfer.perform(params, &callback));

  ASSERT_EQ(server.requestCount(), 1u);
  const HttpRequest request = server.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/path?q=1");
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.headerNames(), (std::vector<std::string>{"Host", "User-Agent", "Content-Type", "Accept",
                                                             "Connection", "X-First", "X-Second"}));
  quillet_test::expectFixedHeaders(request);
  EXPECT_EQ(request.body, "");
}

TEST(TransferOnTheWire, PostSendsBodyOnlyWhenNotEmpty) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "")); });
  http_transfer transfer;
  RecordingCallback callback;
  http_request_params params;
  params.url = server.url("/post");
  params.method = http_method::post;
  params.body = "a=1";
  ASSERT_TRUE(transfer.perform(params, &callback));
  params.body.clear();
  ASSERT_TRUE(transfer.perform(params, &callback));
  params.noBody = true;
  ASSERT_TRUE(transfer.perform(params, &callback));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "a=1");
  EXPECT_EQ(requests[0].header("Content-Length"), "3");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/xml;charset=UTF-8");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_FALSE(requests[1].hasHeader("Content-Length"));
  EXPECT_EQ(requests[2].method, "HEAD");
}

TEST(TransferOnTheWire, UploadIsAChunkedPut) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpResponse(200, "OK", ""));
    c.close();  // the chunked body is not read
  });
  http_transfer transfer;
  RecordingCallback callback;
  callback.upload = "payload";
  http_request_params params;
  params.url = server.url("/put");
  params.method = http_method::upload;
  params.headers = {"X-Extra: 1"};
  transfer.perform(params, &callback);  // the outcome depends on when the server hangs up
  const HttpRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "PUT");
  const auto names = request.headerNames();
  const auto extra = std::find(names.begin(), names.end(), "X-Extra");
  ASSERT_NE(extra, names.end());
  ASSERT_NE(extra + 1, names.end());
  EXPECT_EQ(*(extra + 1), "Transfer-Encoding");
  EXPECT_EQ(request.header("Transfer-Encoding"), "chunked");
}

// A receive rate cap belongs to its transfer alone, also when the next one
// runs on the same pooled handle and connection.
TEST(TransferReuse, ASpeedCapEndsWithItsTransfer) {
  const std::string big = patternBytes(0, 256 * 1024, 7);
  RawHttpServer server(
      [&](const HttpRequest& r, Connection& c) { c.send(httpResponse(200, "OK", r.target == "/big" ? big : "s")); });
  http_request_params params = getParams(server.url("/small"));
  params.maxRecvSpeed = 1024;
  RecordingCallback first;
  http_transfer capped;
  ASSERT_TRUE(capped.perform(params, &first));

  params = getParams(server.url("/big"));
  // At the cap above this would take minutes; the limit fails it with 28.
  params.timeout = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(scaled(20s)).count());
  RecordingCallback second;
  http_transfer next;
  EXPECT_TRUE(next.perform(params, &second)) << next.result();
  EXPECT_EQ(second.body, big);
  EXPECT_EQ(server.acceptedCount(), 1u);
}

TEST(TransferCallbacks, BodylessResponseReachesReceiveInfoOnce) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send("HTTP/1.1 204 No Content\r\n\r\n"); });
  http_transfer transfer;
  RecordingCallback callback;
  EXPECT_TRUE(transfer.perform(getParams(server.url()), &callback));
  EXPECT_EQ(callback.infoCalls, 1);
  EXPECT_EQ(callback.body, "");
  long status = 0;
  ASSERT_TRUE(transfer.responseCode(status));
  EXPECT_EQ(status, 204);

  // Refusing the head of a body-less answer fails the run with 42.
  RecordingCallback refusing;
  refusing.acceptInfo = false;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &refusing));
  EXPECT_EQ(transfer.result(), CURLE_ABORTED_BY_CALLBACK);
}

TEST(TransferCallbacks, InfoComesOnceBeforeTheBody) {
  const std::string body = patternBytes(0, 300000, 7);
  RawHttpServer server([&](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", body)); });
  http_transfer transfer;
  RecordingCallback callback;
  ASSERT_TRUE(transfer.perform(getParams(server.url()), &callback));
  EXPECT_EQ(callback.infoCalls, 1);
  EXPECT_EQ(callback.dataCallsBeforeInfo, 0);
  EXPECT_EQ(callback.body, body);
  double length = 0;
  ASSERT_TRUE(transfer.contentLength(length));
  EXPECT_EQ(length, 300000.0);
}

TEST(TransferCallbacks, RefusalsEndWithWriteError) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "body")); });
  http_transfer transfer;
  RecordingCallback refuseData;
  refuseData.acceptData = false;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &refuseData));
  std::string text;
  EXPECT_EQ(transfer.errorText(text), CURLE_WRITE_ERROR);
  EXPECT_EQ(text, "Failed writing received data to disk/application");

  RecordingCallback refuseInfo;
  refuseInfo.acceptInfo = false;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &refuseInfo));
  EXPECT_EQ(transfer.result(), CURLE_WRITE_ERROR);
  EXPECT_EQ(refuseInfo.body, "");
}

// The large receive buffer goes to a bounded number of transfers at once, and
// each handle gives its place back when it goes, however its run ended.
TEST(TransferReceiveBuffer, OnlyAFewTransfersAtOnceGetTheLargeOne) {
  const std::string body = patternBytes(0, 300000, 3);
  RawHttpServer server([&](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", body)); });
  std::vector<std::unique_ptr<http_transfer>> holders;
  for (int i = 0; i < http_transfer::kLargeBufferTransfers; ++i) {
    holders.push_back(std::make_unique<http_transfer>());
    ASSERT_TRUE(holders.back()->setup(getParams(server.url())));
    EXPECT_EQ(holders.back()->receiveBufferBytes(), http_transfer::kReceiveBufferBytes);
  }

  http_transfer transfer;
  RecordingCallback callback;
  ASSERT_TRUE(transfer.perform(getParams(server.url()), &callback));
  EXPECT_EQ(transfer.receiveBufferBytes(), http_transfer::kSmallReceiveBufferBytes);
  EXPECT_EQ(callback.body, body);

  holders.back()->reset();
  ASSERT_TRUE(transfer.setup(getParams(server.url())));
  EXPECT_EQ(transfer.receiveBufferBytes(), http_transfer::kReceiveBufferBytes);
  transfer.reset();

  // Runs that end, well or not, leave every place free again.
  holders.clear();
  RecordingCallback refusing;
  refusing.acceptData = false;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &refusing));
  EXPECT_TRUE(transfer.perform(getParams(server.url()), &callback));
  for (int i = 0; i < http_transfer::kLargeBufferTransfers; ++i) {
    holders.push_back(std::make_unique<http_transfer>());
    ASSERT_TRUE(holders.back()->setup(getParams(server.url())));
    EXPECT_EQ(holders.back()->receiveBufferBytes(), http_transfer::kReceiveBufferBytes);
  }
}

TEST(TransferFailures, ConnectionClosedEarly) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", 1000) + "only ten..");
    c.close();
  });
  http_transfer transfer;
  RecordingCallback callback;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &callback));
  std::string text;
  EXPECT_EQ(transfer.errorText(text), CURLE_PARTIAL_FILE);
  EXPECT_EQ(text, "Transfer closed. " + curlMessage(CURLE_PARTIAL_FILE));
  EXPECT_EQ(callback.body, "only ten..");
}

TEST(TransferFailures, TimeLimitGivesTooSlowText) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", 100) + "a");
    c.stall(scaled(10s));
  });
  http_transfer transfer;
  RecordingCallback callback;
  http_request_params params = getParams(server.url());
  params.timeout = 1;
  EXPECT_FALSE(transfer.perform(params, &callback));
  std::string text;
  EXPECT_EQ(transfer.errorText(text), CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(text, "Operation too slow. Less than 1 bytes/sec transferred the last 1 seconds. " +
                      curlMessage(CURLE_OPERATION_TIMEDOUT));
}

// libcurl looks at the cancel flag about once a second while it waits.
constexpr auto kPromptCancel = 3s;

TEST(TransferFailures, CancelStopsAStalledTransferPromptly) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.stall(scaled(20s)); });
  http_transfer transfer;
  RecordingCallback callback;
  std::chrono::steady_clock::time_point cancelled;
  std::thread canceller([&] {
    server.waitForRequests(1, scaled(10s));
    // A check made after the request arrived is one made while the transfer waits for the answer.
    const int before = callback.cancelChecks.load();
    quillet_test::eventually([&] { return callback.cancelChecks.load() != before; });
    cancelled = std::chrono::steady_clock::now();
    callback.cancel = true;
  });
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &callback));
  const auto ended = std::chrono::steady_clock::now();
  canceller.join();
  EXPECT_LT(ended - cancelled, scaled(kPromptCancel));
  EXPECT_EQ(transfer.result(), CURLE_ABORTED_BY_CALLBACK);
}

TEST(TransferFailures, RefusedConnection) {
  http_transfer transfer;
  RecordingCallback callback;
  EXPECT_FALSE(
      transfer.perform(getParams("http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/"), &callback));
  EXPECT_EQ(transfer.result(), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(callback.infoCalls, 0);
  long status = -1;
  EXPECT_TRUE(transfer.responseCode(status));
  EXPECT_EQ(status, 0);
}

TEST(TransferFailures, NoTransferWhileHttpSystemIsDown) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "")); });
  vela::http::http_system::instance().release();
  // The tests after this one in the same process need the system up.
  struct revive_at_end {
    ~revive_at_end() { vela::http::http_system::instance().reviveForTesting(); }
  } revive;
  http_transfer transfer;
  RecordingCallback callback;
  EXPECT_FALSE(transfer.perform(getParams(server.url()), &callback));
  std::string text;
  EXPECT_EQ(transfer.errorText(text), CURLE_FAILED_INIT);
  long status = 0;
  EXPECT_FALSE(transfer.responseCode(status));  // no handle was made
  // perform() is synchronous, so any connection it made is queued ahead of this probe.
  ASSERT_TRUE(quillet_test::connectAndClose(server.port()));
  ASSERT_TRUE(server.waitForClosedConnections(1, scaled(10s)));
  EXPECT_EQ(server.acceptedCount(), 1u);
  EXPECT_EQ(server.requestCount(), 0u);
}

// ---------------------------------------------------------------------------

TEST(DataRequestParams, UrlAndQuerySplitting) {
  const std::string u = "http://127.0.0.1:1/stats";
  auto post = http_request_data_helper::makeParams((u + "?a=1&b=2").c_str(), http_method::post, nullptr);
  EXPECT_EQ(post.url, u);
  EXPECT_EQ(post.body, "a=1&b=2");
  EXPECT_EQ(post.timeout, 30);
  EXPECT_EQ(post.method, http_method::post);

  auto get = http_request_data_helper::makeParams((u + "?a=1&b=2").c_str(), http_method::get, nullptr);
  EXPECT_EQ(get.url, u + "?a=1&b=2");
  EXPECT_EQ(get.body, "");

  auto emptyBody = http_request_data_helper::makeParams((u + "?a=1").c_str(), http_method::post, "");
  EXPECT_EQ(emptyBody.url, u + "?a=1");
  EXPECT_EQ(emptyBody.body, "");

  auto given = http_request_data_helper::makeParams((u + "?a=1").c_str(), http_method::post, "x=y");
  EXPECT_EQ(given.url, u + "?a=1");
  EXPECT_EQ(given.body, "x=y");

  auto trailing = http_request_data_helper::makeParams((u + "?").c_str(), http_method::post, nullptr);
  EXPECT_EQ(trailing.url, u);
  EXPECT_EQ(trailing.body, "");

  auto twoMarks = http_request_data_helper::makeParams((u + "?a=?&b").c_str(), http_method::post, nullptr);
  EXPECT_EQ(twoMarks.url, u);
  EXPECT_EQ(twoMarks.body, "a=?&b");

  auto none = http_request_data_helper::makeParams(nullptr, http_method::post, "body");
  EXPECT_EQ(none.url, "");
  EXPECT_EQ(none.body, "");
}

TEST(DataRequest, BufferGrowthAndReading) {
  http_request_data_helper request;
  EXPECT_EQ(request.capacity(), 0u);
  // A null URL runs and fails inside libcurl; the buffer is prepared anyway.
  request.Start(nullptr, http_method::get, nullptr);
  ASSERT_TRUE(waitFinished(request));
  EXPECT_EQ(request.capacity(), 1024u);
  EXPECT_EQ(utf8(request.getError()->text()).rfind("Inner libCurl error(3): \"", 0), 0u);
  EXPECT_EQ(request.getCurlCode(), 3);

  http_transfer unused;
  const std::string first = patternBytes(0, 1000, 1);
  const std::string second = patternBytes(1000, 100, 1);
  ASSERT_TRUE(request.receiveData(unused, 0, first.data(), 1000));
  EXPECT_EQ(request.capacity(), 1024u);
  ASSERT_TRUE(request.receiveData(unused, 0, second.data(), 100));
  EXPECT_EQ(request.capacity(), 2124u);
  ASSERT_TRUE(request.receiveData(unused, 0, nullptr, 5));
  EXPECT_EQ(request.readData(nullptr, 0), 1100u);

  std::string out(2000, '#');
  EXPECT_EQ(request.readData(out.data(), 0), 1100u);  // capacity 0 asks for the size
  EXPECT_EQ(request.readData(out.data(), 2000), 1100u);
  EXPECT_EQ(out.substr(0, 1100), first + second);
  EXPECT_EQ(out[1100], '#');
  std::string prefix(4, '\0');
  EXPECT_EQ(request.readData(prefix.data(), 4), 4u);
  EXPECT_EQ(prefix, first.substr(0, 4));
  EXPECT_EQ(request.readData(prefix.data(), 4), 4u);  // not consumed
  EXPECT_EQ(prefix, first.substr(0, 4));
}

// Where the larger growth finds no room, the exact size still may: a chunk
// is refused only when not even that fits, and the body so far stays.
TEST(DataRequest, GrowthFallsBackToTheExactSize) {
  struct Reset {
    ~Reset() { http_request_data_helper::limitBlocksForTesting(UINT32_MAX); }
  } reset;
  http_request_data_helper request;
  request.Start(nullptr, http_method::get, nullptr);  // prepares the buffer
  ASSERT_TRUE(waitFinished(request));
  http_transfer unused;
  const std::string body = patternBytes(0, 100000, 5);
  http_request_data_helper::limitBlocksForTesting(100000 + 1024);
  for (std::size_t at = 0; at < body.size(); at += 10000) {
    ASSERT_TRUE(request.receiveData(unused, 0, body.data() + at, 10000)) << at;
  }
  EXPECT_FALSE(request.receiveData(unused, 0, body.data(), 2000));  // no room even for the exact size
  std::string out(body.size(), '#');
  EXPECT_EQ(request.readData(out.data(), static_cast<uint32_t>(out.size())), body.size());
  EXPECT_TRUE(out == body);
}

TEST(DataRequest, QueryBecomesPostBodyOnTheWire) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "ok")); });
  http_request_data_helper request;
  ASSERT_TRUE(request.Start((server.url("/stats") + "?a=1&b=2").c_str(), http_method::post, nullptr));
  ASSERT_TRUE(waitFinished(request));
  EXPECT_EQ(request.getError(), nullptr) << errorText(request);
  const HttpRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.target, "/stats");
  EXPECT_EQ(sent.body, "a=1&b=2");
}

// ---------------------------------------------------------------------------

TEST(RequestHelper, NeverStartedReadsFinishedWithoutError) {
  http_request_data_helper request;
  EXPECT_TRUE(request.isFinished());
  EXPECT_TRUE(request.waitThread());
  EXPECT_EQ(request.getError(), nullptr);
  EXPECT_EQ(request.getCurlCode(), -1);
  int32_t status = 7;
  EXPECT_FALSE(request.getResponseCode(&status));
}

TEST(RequestHelper, StatusOutcomes) {
  RawHttpServer server([](const HttpRequest& r, Connection& c) {
    if (r.target == "/404") c.send(httpResponse(404, "Not Found", "gone"));
    if (r.target == "/206") c.send(httpResponse(206, "Partial Content", "part", {"Content-Range: bytes 0-3/10"}));
  });
  http_request_data_helper missing;
  missing.Start(server.url("/404").c_str(), http_method::get, nullptr);
  ASSERT_TRUE(waitFinished(missing));
  EXPECT_EQ(errorText(missing), "Unexpected http server response code(404).");
  EXPECT_EQ(missing.getCurlCode(), -1);
  std::string body(4, '\0');
  EXPECT_EQ(missing.readData(body.data(), 4), 4u);
  EXPECT_EQ(body, "gone");  // what arrived before the failure stays readable

  http_request_data_helper partial;
  partial.Start(server.url("/206").c_str(), http_method::get, nullptr);
  ASSERT_TRUE(waitFinished(partial));
  EXPECT_EQ(partial.getError(), nullptr);
}

TEST(RequestHelper, ErrorCopiesAreIndependent) {
  http_request_data_helper request;
  request.setError(std::make_unique<vela::http::http_exception>(u"kept"));
  auto first = request.getError();
  first.reset();
  auto second = request.getError();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->text(), u"kept");
  request.setError(std::make_unique<vela::http::http_exception>(u"replaced"));
  EXPECT_EQ(second->text(), u"kept");
  EXPECT_EQ(request.getError()->text(), u"replaced");
}

TEST(RequestHelper, CancelEndsWithCallbackAbort) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.stall(scaled(20s)); });
  http_request_data_helper request;
  ASSERT_TRUE(request.Start(server.url().c_str(), http_method::get, nullptr));
  ASSERT_TRUE(server.waitForRequests(1, scaled(10s)));
  EXPECT_FALSE(request.isFinished());
  // A second start while the first run goes on is refused and changes nothing.
  EXPECT_FALSE(request.Start(server.url("/other").c_str(), http_method::get, nullptr));
  request.cancel();
  ASSERT_TRUE(waitFinished(request, 5s));
  EXPECT_EQ(request.getCurlCode(), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(errorText(request), "Inner libCurl error(42): \"" + curlMessage(CURLE_ABORTED_BY_CALLBACK) + "\".");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(RequestHelper, DestroyingARunningRequestJoinsItsWorker) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    c.send(httpHead(200, "OK", 1000000) + "start");
    c.stall(scaled(20s));
  });
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  {
    FileDownloadRequest download(ql::pushLogRecord);
    ASSERT_TRUE(download.Start(server.url().c_str(), quillet_test::widePath(dir.file("f")).c_str(), 0, 0));
    ASSERT_TRUE(server.waitForRequests(1, scaled(10s)));
    while (download.getDownloadedSize() < 5 && std::chrono::steady_clock::now() - start < scaled(10s)) {
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(5s));
  // The worker ended before the object went: its last record is already there.
  const auto records = quillet_test::drainLogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("Request finished: Inner libCurl error(42)", 0), 0u) << records[0];
  EXPECT_EQ(quillet_test::readFile(dir.file("f")), "start");
}

class ThreadCreationFails : public ::testing::Test {
 protected:
  void SetUp() override { ql::platform::testing::failThreadCreation(true); }
  void TearDown() override { ql::platform::testing::failThreadCreation(false); }
};

TEST_F(ThreadCreationFails, RequestReadsAsFailed) {
  http_request_data_helper request;
  EXPECT_FALSE(request.Start("http://127.0.0.1:1/", http_method::get, nullptr));
  EXPECT_TRUE(request.isFinished());
  EXPECT_EQ(errorText(request), "Failed to start request thread");
}

TEST_F(ThreadCreationFails, DownloadReleasesItsFile) {
  TempDir dir;
  const auto path = quillet_test::widePath(dir.file("target"));
  FileDownloadRequest download(ql::pushLogRecord);
  EXPECT_FALSE(download.Start("http://127.0.0.1:1/", path.c_str(), 0, 0));
  EXPECT_EQ(errorText(download), "Failed to start request thread");
  ql::platform::File again;
  EXPECT_TRUE(again.openExclusive(path));
  // Like every other failed download, it says why.
  EXPECT_EQ(quillet_test::drainLogRecords(),
            std::vector<std::string>{"Request finished: Failed to start request thread"});

  ql::platform::testing::failThreadCreation(false);
  again.close();
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", "fine")); });
  ASSERT_TRUE(download.Start(server.url().c_str(), path.c_str(), 0, 0));
  ASSERT_TRUE(waitFinished(download));
  EXPECT_EQ(download.getError(), nullptr);  // a new run starts without the old error
}

// ---------------------------------------------------------------------------

// Serves `content`, honouring "Range: bytes=N-" with 206 unless told to ignore it.
struct ContentServer {
  std::string content;
  bool honourRange = true;
  int status = 0;  // forced status when not 0
  RawHttpServer server{[this](const HttpRequest& r, Connection& c) { answer(r, c); }};

  void answer(const HttpRequest& request, Connection& c) {
    if (status != 0) {
      c.send(httpResponse(status, "Forced", "forced body"));
      return;
    }
    const std::string range = request.header("Range");
    std::size_t from = 0;
    if (honourRange && range.rfind("bytes=", 0) == 0) from = std::stoul(range.substr(6));
    if (from == 0 || !honourRange) {
      c.send(httpResponse(200, "OK", content));
    } else {
      c.send(httpResponse(206, "Partial Content", content.substr(from),
                          {"Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) +
                           "/" + std::to_string(content.size())}));
    }
  }
};

class FileDownload : public ::testing::Test {
 protected:
  // The rows read the records their own requests wrote, not earlier tests'.
  void SetUp() override { quillet_test::drainLogRecords(); }

  bool download(FileDownloadRequest& request, int64_t hint = 0, uint32_t options = 0) {
    const bool started = request.Start(source.server.url("/file").c_str(), target().c_str(), hint, options);
    return waitFinished(request) && started;
  }
  std::u16string target() const { return quillet_test::widePath(dir.file("target.bin")); }
  std::string onDisk() const { return quillet_test::readFile(dir.file("target.bin")); }

  TempDir dir;
  ContentServer source;
};

TEST_F(FileDownload, WholeFileOverExistingContent) {
  source.content = patternBytes(0, 3 * 1024 * 1024 + 17, 3);
  quillet_test::writeFile(dir.file("target.bin"), std::string(5000000, 'x'));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request));
  EXPECT_EQ(request.getError(), nullptr) << errorText(request);
  EXPECT_TRUE(onDisk() == source.content);
  EXPECT_EQ(source.server.requests().at(0).header("Range"), "bytes=0-");
  const auto head = request.headInfo();
  EXPECT_TRUE(head.infoReceived);
  EXPECT_EQ(head.responseCode, 200);
  EXPECT_EQ(head.contentLength, static_cast<int32_t>(source.content.size()));
  EXPECT_EQ(request.getDownloadedSize(), 0);  // closed at the end of the run
  EXPECT_EQ(quillet_test::drainLogRecords(), std::vector<std::string>{"Request finished: success"});
}

TEST_F(FileDownload, NotFoundLeavesEmptyFile) {
  source.status = 404;
  quillet_test::writeFile(dir.file("target.bin"), "old");
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request));
  EXPECT_EQ(errorText(request), "Unexpected http server response code(404).");
  EXPECT_EQ(request.getCurlCode(), -1);  // the handler's error wins over libcurl's 23
  EXPECT_EQ(onDisk(), "");
  EXPECT_EQ(request.headInfo().responseCode, 404);
  EXPECT_EQ(quillet_test::drainLogRecords(),
            std::vector<std::string>{"Request finished: Unexpected http server response code(404)."});
}

TEST_F(FileDownload, ResumeContinuesAfterExistingBytes) {
  source.content = patternBytes(0, 1000, 9);
  quillet_test::writeFile(dir.file("target.bin"), source.content.substr(0, 400));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request, 1000, http_request_file_helper::resume_existing));
  EXPECT_EQ(request.getError(), nullptr) << errorText(request);
  EXPECT_EQ(source.server.requests().at(0).header("Range"), "bytes=400-");
  EXPECT_EQ(request.headInfo().responseCode, 206);
  EXPECT_TRUE(onDisk() == source.content);
}

TEST_F(FileDownload, ResumeWithWrongFullSizeIsRefused) {
  source.content = patternBytes(0, 900, 9);  // 400 on disk + 500 announced != 1000
  quillet_test::writeFile(dir.file("target.bin"), source.content.substr(0, 400));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request, 1000, http_request_file_helper::resume_existing));
  EXPECT_EQ(errorText(request),
            "Invalid content length. full_size: 1000.000000, requested_size: 400.000000, content_len: 500.000000");
  EXPECT_EQ(onDisk(), source.content.substr(0, 400));  // nothing appended
}

TEST_F(FileDownload, ResumeAnsweredWithWholeFileStartsOver) {
  source.content = patternBytes(0, 1000, 4);
  source.honourRange = false;
  quillet_test::writeFile(dir.file("target.bin"), std::string(400, 'z'));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request, 1000, http_request_file_helper::resume_existing));
  EXPECT_EQ(request.getError(), nullptr) << errorText(request);
  EXPECT_EQ(source.server.requests().at(0).header("Range"), "bytes=400-");
  EXPECT_TRUE(onDisk() == source.content);
}

TEST_F(FileDownload, ResumeNeverStartsBeyondTheExpectedSize) {
  source.content = patternBytes(0, 1000, 5);
  quillet_test::writeFile(dir.file("target.bin"), std::string(1500, 'z'));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request, 1000, http_request_file_helper::resume_existing));
  EXPECT_EQ(source.server.requests().at(0).header("Range"), "bytes=0-");
  EXPECT_TRUE(onDisk() == source.content);
}

TEST_F(FileDownload, PartialAnswerWithoutFullSizeIsAccepted) {
  source.content = patternBytes(0, 600, 5);
  quillet_test::writeFile(dir.file("target.bin"), source.content.substr(0, 100));
  FileDownloadRequest request(ql::pushLogRecord);
  ASSERT_TRUE(download(request, 0, http_request_file_helper::resume_existing));
  EXPECT_EQ(request.getError(), nullptr) << errorText(request);
  EXPECT_TRUE(onDisk() == source.content);
}

TEST_F(FileDownload, StartFailuresRecordSystemErrors) {
  FileDownloadRequest missingDir(ql::pushLogRecord);
  const auto bad = quillet_test::widePath(dir.file("no-such-dir") / "target.bin");
  EXPECT_FALSE(missingDir.Start(source.server.url().c_str(), bad.c_str(), 0, 0));
  EXPECT_TRUE(missingDir.isFinished());
  EXPECT_EQ(utf8(missingDir.getError()->text()).rfind("(0x3)\"", 0), 0u) << errorText(missingDir);
  EXPECT_FALSE(missingDir.headInfo().infoReceived);

  FileDownloadRequest noPath(ql::pushLogRecord);
  EXPECT_FALSE(noPath.Start(source.server.url().c_str(), nullptr, 0, 0));
  EXPECT_EQ(utf8(noPath.getError()->text()).rfind("(0x3)\"", 0), 0u);

  ql::platform::File holder;
  ASSERT_TRUE(holder.openExclusive(target()));
  FileDownloadRequest shared(ql::pushLogRecord);
  EXPECT_FALSE(shared.Start(source.server.url().c_str(), target().c_str(), 0, 0));
  EXPECT_EQ(utf8(shared.getError()->text()).rfind("(0x20)\"", 0), 0u) << errorText(shared);

  EXPECT_EQ(source.server.requestCount(), 0u);
  EXPECT_TRUE(quillet_test::drainLogRecords().empty());
}

}  // namespace
