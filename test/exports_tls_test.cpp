// HTTPS as the installer meets it: one server per kind of certificate, each
// asked for the same body in memory and as a download. A peer is trusted only
// with a chain to a trusted root, for the host asked, valid now, over TLS 1.2
// or newer.
//
// On Linux the servers run in this process, which trusts the test root in a
// mount namespace of its own. The Windows tests reach the same servers run on
// the build host by scripts/test-win32.sh, named in QUILLET_TLS_SERVERS; there
// the test root is not trusted, so the valid peer passes only where nothing
// checks certificates, and the refusals skip under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"
#include "support/tls_server.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace std::chrono_literals;
using quillet_test::TlsPeer;
using quillet_test::TlsPeerName;

// The servers of this test process, or why there are none.
struct Servers {
  std::string unavailable;
  std::map<std::string, uint16_t> ports;
#ifndef _WIN32
  std::unique_ptr<quillet_test::TestPki> pki;
  std::map<std::string, std::unique_ptr<quillet_test::TlsServer>> running;
#endif
};

#ifdef _WIN32
void find(Servers& servers) {
  const char* listed = std::getenv("QUILLET_TLS_SERVERS");
  if (listed == nullptr || *listed == '\0') {
    servers.unavailable = "no TLS servers in QUILLET_TLS_SERVERS (scripts/test-win32.sh starts them)";
    return;
  }
  std::istringstream entries(listed);
  for (std::string entry; std::getline(entries, entry, ',');) {
    const auto equals = entry.find('=');
    if (equals != std::string::npos) {
      servers.ports[entry.substr(0, equals)] = static_cast<uint16_t>(std::stoi(entry.substr(equals + 1)));
    }
  }
}

bool underWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
void find(Servers& servers) {
  // Left as the system has it, OpenSSL would refuse TLS 1.0 and 1.1 itself and
  // hide whether the library asks for TLS 1.2, as it must on Windows.
  servers.unavailable = quillet_test::allowOldTlsVersionsInThisProcess();
  servers.pki = std::make_unique<quillet_test::TestPki>();
  if (servers.unavailable.empty()) {
    servers.unavailable = quillet_test::trustRootInThisProcess(servers.pki->rootPem());
  }
  if (!servers.unavailable.empty()) {
    servers.unavailable = "cannot trust the test root here: " + servers.unavailable;
    return;
  }
  for (const auto& [peer, name] : quillet_test::tlsPeers()) {
    auto& server = servers.running[name];
    server = std::make_unique<quillet_test::TlsServer>(*servers.pki, peer, quillet_test::tlsTestBody());
    if (!server->ready()) {
      servers.unavailable = std::string("the ") + name + " server did not start";
      return;
    }
    servers.ports[name] = server->port();
  }
}

bool underWine() { return false; }
#endif

// Made once per process and before anything else starts a thread: only a
// process with one thread may enter a mount namespace of its own.
Servers& servers() {
  static Servers made;
  static const bool found = (find(made), true);
  (void)found;
  return made;
}

// What the library must make of each peer: done, or failed with this code.
int expectedCode(TlsPeer peer) {
  switch (peer) {
    case TlsPeer::valid: return 0;
    case TlsPeer::tls11Only: return 35;  // no version both sides speak
    default: return 60;                  // the peer's certificate is not trusted
  }
}

class HttpsPeer : public testing::TestWithParam<TlsPeerName> {};

TEST_P(HttpsPeer, IsTrustedOnlyWithAValidChainForTheHostOverTls12OrNewer) {
  const TlsPeerName row = GetParam();
  Servers& all = servers();
  if (!all.unavailable.empty()) GTEST_SKIP() << all.unavailable;
  const int expected = expectedCode(row.peer);
  if (expected == 60 && underWine()) GTEST_SKIP() << "Wine's Schannel does not check certificates";
  const std::string url = "https://127.0.0.1:" + std::to_string(all.ports.at(row.name)) + "/file.bin";
  const std::string body = quillet_test::tlsTestBody();

  const unsigned request = QL_Request(0, url.c_str(), nullptr);
  const QL_REQUEST_INFO inMemory = quillet_test::waitFinished(request);
  quillet_test::TempDir dir;
  const std::u16string target = quillet_test::widePath(dir.file("file.bin"));
  const unsigned download = QL_DownloadFile(url.c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()));
  const QL_REQUEST_INFO toFile = quillet_test::waitFinished(download);
  const std::vector<std::string> records = quillet_test::drainLogRecords();

  if (expected == 0) {
    EXPECT_EQ(inMemory.state, QL_STATE_DONE);
    EXPECT_EQ(inMemory.responseCode, 200);
    const std::string received = quillet_test::bodyOf(request);
    EXPECT_EQ(received.size(), body.size());
    EXPECT_TRUE(received == body) << "the body arrived changed";
    EXPECT_EQ(toFile.state, QL_STATE_DONE);
    const std::string onDisk = quillet_test::readFile(dir.file("file.bin"));
    EXPECT_EQ(onDisk.size(), body.size());
    EXPECT_TRUE(onDisk == body) << "the file arrived changed";
    return;
  }
  EXPECT_EQ(inMemory.state, QL_STATE_FAILED);
  EXPECT_EQ(inMemory.curlCode, expected);
  EXPECT_EQ(toFile.state, QL_STATE_FAILED);
  EXPECT_EQ(toFile.curlCode, expected);
  ASSERT_FALSE(records.empty());
  const std::string finished = "Request finished: Inner libCurl error(" + std::to_string(expected) + "): \"";
  EXPECT_EQ(records.back().rfind(finished, 0), 0u) << records.back();
#ifndef _WIN32
  EXPECT_EQ(all.running.at(row.name)->requestCount(), 0) << "a request went to a peer that should have been refused";
#endif
}

INSTANTIATE_TEST_SUITE_P(EveryKind, HttpsPeer, testing::ValuesIn(quillet_test::tlsPeers()),
                         [](const testing::TestParamInfo<TlsPeerName>& row) { return std::string(row.param.name); });

// A server that takes the connection and never answers the handshake: the
// host's cancel must end the wait at once, not at the next timeout.
TEST(Https, CancelEndsAHandshakeThatIsNeverAnswered) {
  quillet_test::RawHttpServer silent([](const quillet_test::HttpRequest&, quillet_test::Connection&) {});
  const std::string url = "https://127.0.0.1:" + std::to_string(silent.port()) + "/";
  const unsigned id = QL_Request(0, url.c_str(), nullptr);
  ASSERT_TRUE(quillet_test::eventually([&] { return silent.acceptedCount() > 0; }));
  ASSERT_EQ(quillet_test::infoOf(id).state, QL_STATE_RUNNING);
  EXPECT_EQ(QL_CancelRequest(id), 1);
  const QL_REQUEST_INFO info = quillet_test::waitFinished(id, 2s);
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.curlCode, 42);
}

}  // namespace
