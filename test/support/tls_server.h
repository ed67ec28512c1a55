// HTTPS servers on 127.0.0.1 for the TLS tests, each presenting one kind of
// certificate from a test PKI made when the tests run: a root, an
// intermediate it signs, and server certificates that the intermediate signs.
// Nothing secret is stored anywhere; every key lives only in memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/raw_http_server.h"

namespace quillet_test {

// What a server presents. Every kind but `valid` and `tls11Only` must be
// refused by a client that checks the peer.
enum class TlsPeer {
  valid,                // for 127.0.0.1 and localhost, sent with the intermediate
  expired,              // ended yesterday
  notYetValid,          // starts tomorrow
  otherHost,            // for another host name only
  selfSigned,           // signs itself
  unknownAuthority,     // signed by a root nobody trusts
  missingIntermediate,  // valid, but sent without the intermediate
  tls11Only,            // valid, but the server speaks TLS 1.0 and 1.1 only
};

struct TlsPeerName {
  TlsPeer peer;
  const char* name;
};
// Every kind, with the name used on command lines and in test names.
inline const std::vector<TlsPeerName>& tlsPeers() {
  static const std::vector<TlsPeerName> peers{
      {TlsPeer::valid, "valid"},
      {TlsPeer::expired, "expired"},
      {TlsPeer::notYetValid, "not_yet_valid"},
      {TlsPeer::otherHost, "other_host"},
      {TlsPeer::selfSigned, "self_signed"},
      {TlsPeer::unknownAuthority, "unknown_authority"},
      {TlsPeer::missingIntermediate, "missing_intermediate"},
      {TlsPeer::tls11Only, "tls11_only"},
  };
  return peers;
}

// Test names and messages show the kind by its name.
inline void PrintTo(const TlsPeerName& peer, std::ostream* out) { *out << peer.name; }

// What every TLS test server answers: more than one TLS record, and an odd size.
inline std::string tlsTestBody() { return patternBytes(0, 256 * 1024 + 7, 443); }

// Everything below needs OpenSSL, which the Windows cross build lacks: the
// Windows tests reach servers that quillet_tls_servers runs on the build host.

// The root, the intermediate and the unknown root. Copies share the keys.
class TestPki {
 public:
  TestPki();
  bool ready() const;
  // The root in PEM, for a trust bundle.
  std::string rootPem() const;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// One HTTPS server: every GET answers `body` with a Content-Length (a response
// ended only by closing the TLS connection never ends under Wine).
class TlsServer {
 public:
  TlsServer(const TestPki& pki, TlsPeer peer, std::string body);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  bool ready() const { return port_ > 0; }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  std::string url(std::string_view path = "/") const;
  // Requests that got through the handshake and reached a handler.
  int requestCount() const { return requests_.load(); }

 private:
  void start(const TestPki& pki, TlsPeer peer);
  void waitUntilRunning();

  struct State;
  std::unique_ptr<State> state_;
  std::string body_;
  int port_ = -1;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// Lets every OpenSSL client and server of this process speak TLS 1.0 and 1.1,
// which the system's policy forbids. Empty on success, else why not.
std::string allowOldTlsVersionsInThisProcess();

// Makes this process trust `rootPem` besides the system's roots: in a mount
// namespace of its own, a bundle of both is mounted over the bundle libcurl
// reads. Must run before the process starts any thread. Empty on success,
// else why it could not be done (no right to make a namespace, say).
std::string trustRootInThisProcess(const std::string& rootPem);

}  // namespace quillet_test
