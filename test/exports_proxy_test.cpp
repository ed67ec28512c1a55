// Proxies as users have them, through the exports: the environment's
// variables on both builds, and on Windows the user's own settings (a fixed
// proxy, its bypass list, a PAC file), which each row writes into the
// registry of the test's Wine prefix and puts back when it ends.
//
// The origin is named kProxiedHost, which only the test proxy resolves, so a
// transfer that went around the proxy fails; "localhost" is what a direct
// transfer reaches. Each row fetches the URL twice: the route is worked out
// and recorded once, and the second request takes it as remembered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/loopback_socket.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/time_limits.h"
#include "support/tls_server.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace std::chrono_literals;
using namespace quillet_test;

// An HTTP proxy for the rows: it tunnels CONNECT and forwards absolute-form
// requests, counting both, and demands Basic credentials when given some.
// It resolves kProxiedHost, and reaches nothing but 127.0.0.1.
constexpr const char* kProxiedHost = "quillet-origin.test";

class TestProxy {
 public:
  // With `demand`, every request must come with user:secret as Basic
  // Proxy-Authorization, else the answer is 407.
  explicit TestProxy(bool demand)
      : expected_(demand ? "Basic dXNlcjpzZWNyZXQ=" : ""),
        server_([this](const HttpRequest& request, Connection& c) { handle(request, c); }) {}
  std::string address() const { return "127.0.0.1:" + std::to_string(server_.port()); }
  std::size_t tunnels() const { return tunnels_; }
  std::size_t forwarded() const { return forwarded_; }
  // Proxy-Authorization values received, right or wrong.
  std::vector<std::string> authorizations() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return authorizations_;
  }

 private:
  void handle(const HttpRequest& request, Connection& c) {
    const std::string authorization = request.header("Proxy-Authorization");
    if (!authorization.empty()) {
      std::lock_guard<std::mutex> guard(mutex_);
      authorizations_.push_back(authorization);
    }
    if (!expected_.empty() && authorization != expected_) {
      c.send(httpResponse(407, "Proxy Authentication Required", "", {"Proxy-Authenticate: Basic realm=\"test\""}));
      return;
    }
    // "host:port" of a tunnel, or "http://host:port/path" to forward.
    const bool tunnel = request.method == "CONNECT";
    std::string authority = tunnel ? request.target : request.target.substr(request.target.find("://") + 3);
    const std::string path = tunnel ? "" : authority.substr(std::min(authority.find('/'), authority.size()));
    authority.erase(authority.size() - path.size());
    const std::string host = authority.substr(0, authority.rfind(':'));
    const auto port = static_cast<uint16_t>(std::stoi(authority.substr(authority.rfind(':') + 1)));
    if (host != kProxiedHost && host != "127.0.0.1") {
      c.send(httpResponse(502, "Bad Gateway", ""));
    } else if (tunnel) {
      ++tunnels_;
      c.tunnel(port);
    } else {
      ++forwarded_;
      // One request per connection to the origin, which then closes it.
      std::string forward = request.method + " " + path + " HTTP/1.1\r\n";
      for (const auto& [name, value] : request.headers) {
        if (name.rfind("Proxy-", 0) != 0 && name != "Connection") forward += name + ": " + value + "\r\n";
      }
      c.send(loopback::exchange(port, forward + "Connection: close\r\n\r\n" + request.body));
    }
    c.close();
  }

  const std::string expected_;
  std::atomic<std::size_t> tunnels_{0};
  std::atomic<std::size_t> forwarded_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> authorizations_;
  RawHttpServer server_;  // last: its threads end before the rest goes
};

struct Row {
  const char* name;
  // Set up, with {proxy}, {dead} (a port nobody listens on), {pac} and
  // {origin} or {tls} (the HTTPS test server) filled in.
  const char* environment;  // "NAME=value", several separated by '|'
  const char* systemProxy;
  const char* bypass;
  enum { noPac, pac, silentPac } script;
  bool demand;  // the proxy demands user:secret
  const char* url;
  // Expected: whether the proxy carried the origin's body, else these failure
  // words, and the route's record after "Proxy for <origin>: ".
  bool proxied;
  const char* failure;
  const char* route;
};

// clang-format off
const Row kRows[] = {
  {"fixed_proxy_https", "", "http={dead};https={proxy}", "", Row::noPac, false, "https://quillet-origin.test:{tls}/",
   true, "", "{proxy} (from system settings)"},
  {"fixed_proxy_http", "", "{proxy}", "", Row::noPac, false, "http://quillet-origin.test:{origin}/file",
   true, "", "{proxy} (from system settings)"},
  {"bypassed_host", "", "{proxy}", "*.invalid; LOCAL*", Row::noPac, false, "http://localhost:{origin}/file",
   false, "", "DIRECT (from system settings)"},
  {"pac_direct", "", "", "", Row::pac, false, "http://localhost:{origin}/file",
   false, "", "DIRECT (from PAC {pac})"},
  {"pac_dead_first_proxy", "", "", "", Row::pac, false, "http://quillet-origin.test:{origin}/file",
   true, "", "{dead}, then {proxy}, then DIRECT (from PAC {pac})"},
  {"pac_server_silent", "", "", "", Row::silentPac, false, "http://localhost:{origin}/file",
   false, "", "DIRECT (from PAC {pac})"},
  {"environment_beats_system", "http_proxy=http://{proxy}", "{dead}", "", Row::noPac, false,
   "http://quillet-origin.test:{origin}/file", true, "", "{proxy} (from environment)"},
  {"no_proxy", "http_proxy=http://{proxy}|NO_PROXY=example.invalid, .localhost", "", "", Row::noPac, false,
   "http://localhost:{origin}/file", false, "", "DIRECT (from environment)"},
  {"basic_with_credentials", "http_proxy=http://user:secret@{proxy}", "", "", Row::noPac, true,
   "http://quillet-origin.test:{origin}/file", true, "", "{proxy} (from environment)"},
  {"basic_without_credentials", "http_proxy=http://{proxy}", "", "", Row::noPac, true,
   "http://quillet-origin.test:{origin}/file", false, "Proxy sign-in failed (407) via proxy {proxy} from environment.",
   "{proxy} (from environment)"},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::string filled(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
  }
  return text;
}

void setEnvironment(const std::string& assignments) {
  std::istringstream list(assignments);
  for (std::string assignment; std::getline(list, assignment, '|');) {
    const std::string name = assignment.substr(0, assignment.find('='));
    const std::string value = assignment.substr(assignment.find('=') + 1);
#ifdef _WIN32
    ASSERT_TRUE(::SetEnvironmentVariableA(name.c_str(), value.c_str()));
#else
    ASSERT_EQ(::setenv(name.c_str(), value.c_str(), 1), 0);
#endif
  }
}

#ifdef _WIN32
// The current user's proxy settings, written as the binary value Windows' own
// dialogs write: version, counter, flags (1 direct, 2 fixed proxy, 4 PAC
// file), then the proxy, the bypass list and the PAC file's URL, each after
// its length. The value found before goes back when the row ends.
struct UserProxySettings {
  const wchar_t* const name = L"DefaultConnectionSettings";
  HKEY key = nullptr;
  std::vector<BYTE> saved = std::vector<BYTE>(4096);
  LONG found = ERROR_FILE_NOT_FOUND;

  UserProxySettings(const std::string& proxy, const std::string& bypass, const std::string& pac) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
    DWORD size = static_cast<DWORD>(saved.size());
    found = ::RegQueryValueExW(key, name, nullptr, nullptr, saved.data(), &size);
    saved.resize(size);
    std::string blob;
    const auto word = [&blob](std::size_t value) { blob.append(reinterpret_cast<const char*>(&value), 4); };
    for (std::size_t flag : {0x46u, 1u, 1u | (proxy.empty() ? 0u : 2u) | (pac.empty() ? 0u : 4u)}) word(flag);
    for (const std::string& text : {proxy, bypass, pac}) {
      word(text.size());
      blob += text;
    }
    EXPECT_EQ(::RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                               static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
  }
  ~UserProxySettings() {
    if (found == ERROR_SUCCESS)
      ::RegSetValueExW(key, name, 0, REG_BINARY, saved.data(), static_cast<DWORD>(saved.size()));
    if (found != ERROR_SUCCESS) ::RegDeleteValueW(key, name);
    ::RegCloseKey(key);
  }
};

#endif

// The valid HTTPS test server that scripts/test-win32.sh runs; 0 without.
uint16_t tlsServerPort() {
  std::istringstream entries(std::getenv("QUILLET_TLS_SERVERS") == nullptr ? "" : std::getenv("QUILLET_TLS_SERVERS"));
  for (std::string entry; std::getline(entries, entry, ',');) {
    if (entry.rfind("valid=", 0) == 0) return static_cast<uint16_t>(std::stoi(entry.substr(6)));
  }
  return 0;
}

class Proxies : public ::testing::TestWithParam<Row> {};

TEST_P(Proxies, RouteBodyAndRecord) {
  const Row& row = GetParam();
#ifndef _WIN32
  if (*row.environment == '\0') GTEST_SKIP() << "POSIX systems keep no proxy settings for the library to read";
#endif
  // Wine's TLS checks no certificate, so the test root's name for 127.0.0.1
  // passes for the proxied name too; Windows would refuse it.
  const bool https = std::string(row.url).rfind("https", 0) == 0;
  const uint16_t tls = tlsServerPort();
  if (https && tls == 0)
    GTEST_SKIP() << "no HTTPS test server in QUILLET_TLS_SERVERS (scripts/test-win32.sh runs them)";
  const std::string body = https ? tlsTestBody() : patternBytes(0, 70000, 31);
  RawHttpServer origin([&](const HttpRequest&, Connection& c) { c.send(httpResponse(200, "OK", body)); });
  TestProxy proxy(row.demand);
  std::map<std::string, std::string> values{{"{proxy}", proxy.address()},
                                            {"{dead}", "127.0.0.1:" + std::to_string(unusedPort())},
                                            {"{origin}", std::to_string(origin.port())},
                                            {"{tls}", std::to_string(tls)}};
  const std::string script = filled(
      "function FindProxyForURL(url, host) {\n"
      "  if (host == \"localhost\") return \"DIRECT\";\n"
      "  return \"PROXY {dead}; PROXY {proxy}; DIRECT\";\n"
      "}\n",
      values);
  RawHttpServer pacServer([&](const HttpRequest&, Connection& c) {
    if (row.script == Row::silentPac) return c.stall(scaled(120s));
    c.send(httpResponse(200, "OK", script, {"Content-Type: application/x-ns-proxy-autoconfig"}));
  });
  values["{pac}"] = pacServer.url("/proxy.pac");

  setEnvironment(filled(row.environment, values));
#ifdef _WIN32
  const UserProxySettings settings(filled(row.systemProxy, values), row.bypass,
                                   row.script == Row::noPac ? "" : values["{pac}"]);
#endif
  QL_Initialize();
  drainLogRecords();

  const std::string url = filled(row.url, values);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE("request " + std::to_string(attempt + 1));
    const auto started = std::chrono::steady_clock::now();
    const unsigned id = QL_Request(0, url.c_str(), nullptr);
    const QL_REQUEST_INFO info = waitFinished(id, 60s);
    if (*row.failure == '\0') {
      EXPECT_EQ(info.state, QL_STATE_DONE);
      EXPECT_TRUE(bodyOf(id) == body) << "the body is not the origin's, byte for byte";
    } else {
      EXPECT_EQ(info.state, QL_STATE_FAILED);
      std::vector<QL_WCHAR> words(512);
      int length = 0;
      ASSERT_EQ(QL_RequestError(id, words.data(), static_cast<unsigned>(words.size()), &length), 1);
      EXPECT_EQ(toUtf8(std::u16string(words.begin(), words.begin() + length)), filled(row.failure, values));
    }
    if (row.script == Row::silentPac) {
      // The look-up is given up after 2 s; the transfer itself is quick.
      const auto took = std::chrono::steady_clock::now() - started;
      EXPECT_LT(took, (attempt == 0 ? 2s : 0s) + scaled(1s));
    }
    QL_RemoveRequest(id);
  }

  EXPECT_EQ(proxy.tunnels() > 0, https && row.proxied);
  EXPECT_EQ(proxy.forwarded(), !https && row.proxied ? 2u : 0u);
  // A password goes to the proxy only where one was given.
  const bool given = std::string(row.environment).find('@') != std::string::npos;
  EXPECT_EQ(!proxy.authorizations().empty(), given);
  std::vector<std::string> routes;
  for (const std::string& record : drainLogRecords()) {
    if (record.rfind("Proxy for ", 0) == 0) routes.push_back(record);
  }
  const std::string asked = url.substr(0, url.find('/', url.find("://") + 3));
  EXPECT_EQ(routes, std::vector<std::string>{"Proxy for " + asked + ": " + filled(row.route, values)});
  QL_Cleanup();
}

INSTANTIATE_TEST_SUITE_P(Rows, Proxies, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
