// Text that crosses the boundary in the host's encodings: narrow URLs in the
// ANSI code page, quoted in log records through the system's conversion but
// handed to libcurl as the same bytes, and wide paths beyond ASCII and the
// Basic Multilingual Plane, which name the file the download writes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

namespace {

using namespace std::chrono_literals;
using quillet_test::httpResponse;
using quillet_test::RawHttpServer;

using quillet_test::waitFinished;

RawHttpServer::Handler answer(std::string response) {
  return [response](const quillet_test::HttpRequest&, quillet_test::Connection& c) { c.send(response); };
}

TEST(Encoding, AnsiUrlIsQuotedThroughCodePage1252AndSentUnconverted) {
  RawHttpServer server(answer(httpResponse(200, "OK", "")));
  // 0xE9 and 0x80 are "é" and "€" in code page 1252; as Latin-1 0x80 would
  // be a control character, and a UTF-8 re-encoding would send C3 A9.
  const std::string url = server.url("/caf\xE9\x80");
  const unsigned id = QL_Request(0, url.c_str(), nullptr);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(waitFinished(id).state, QL_STATE_DONE);

  const std::string asciiPart = server.url("/caf");
  const std::u16string quoted =
      u"Sending request: 1 <" + std::u16string(asciiPart.begin(), asciiPart.end()) + u"\u00E9\u20AC>";
  const std::vector<std::string> records = quillet_test::drainLogRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front(), quillet_test::toUtf8(quoted));

  ASSERT_EQ(server.requestCount(), 1u);
  const std::string target = server.requests().front().target;
  // libcurl may percent-encode the bytes, but they stay E9 80.
  EXPECT_TRUE(target == "/caf\xE9\x80" || target == "/caf%E9%80" || target == "/caf%e9%80") << target;
}

TEST(Encoding, DownloadWritesTheFileAWidePathNames) {
  RawHttpServer server(answer(httpResponse(200, "OK", "payload")));
  quillet_test::TempDir dir;
  // Accented Latin, CJK and a character outside the BMP (a surrogate pair).
  const std::filesystem::path target = dir.path() / std::filesystem::path(u"caf\u00E9 \u6587\U0001F3AE.bin");
  const std::u16string wide = quillet_test::widePath(target);
  const unsigned id = QL_DownloadFile(server.url("/f").c_str(), reinterpret_cast<const QL_WCHAR*>(wide.c_str()));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(waitFinished(id).state, QL_STATE_DONE);

  ASSERT_TRUE(std::filesystem::exists(target));
  EXPECT_EQ(quillet_test::readFile(target), "payload");
  // Nothing else was created beside it under a mangled name.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);

  const std::vector<std::string> records = quillet_test::drainLogRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front(),
            "Start download request: 1 <" + server.url("/f") + "> to <" + quillet_test::toUtf8(wide) + ">");
}

}  // namespace
