#include "support/tls_server.h"

#include <curl/curl.h>
#include <httplib.h>
#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/mount_namespace.h"

namespace quillet_test {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

constexpr long kDay = 24 * 3600;

struct Issued {
  Key key;
  Cert cert;
};

struct Validity {
  long notBefore;  // seconds from now
  long notAfter;
};

// A certificate for `commonName` with `extensions` (name, value pairs as the
// openssl configuration writes them), signed by `issuer`, or by itself when
// there is none. Empty on failure.
Issued issue(const char* commonName, Validity validity, const std::vector<std::pair<int, const char*>>& extensions,
             const Issued* issuer) {
  Issued made{Key(EVP_EC_gen("P-256")), Cert(X509_new())};
  X509* cert = made.cert.get();
  if (!made.key || cert == nullptr) return {};
  unsigned char serial[8];
  BIGNUM* number = RAND_bytes(serial, sizeof serial) == 1 ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr;
  bool ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) != nullptr &&
            X509_set_version(cert, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert), validity.notBefore) &&
            X509_gmtime_adj(X509_getm_notAfter(cert), validity.notAfter) && X509_set_pubkey(cert, made.key.get()) == 1;
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(cert);
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer->cert.get()) : name) == 1;
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer != nullptr ? issuer->cert.get() : cert, cert, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    if (!ok) break;
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    ok = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
  }
  ok = ok && X509_sign(cert, issuer != nullptr ? issuer->key.get() : made.key.get(), EVP_sha256()) > 0;
  return ok ? std::move(made) : Issued{};
}

Issued issueRoot(const char* commonName) {
  return issue(commonName, {-2 * kDay, 30 * kDay},
               {{NID_basic_constraints, "critical,CA:TRUE"},
                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                {NID_subject_key_identifier, "hash"}},
               nullptr);
}

Issued issueServer(const char* commonName, const char* names, Validity validity, const Issued* issuer) {
  std::vector<std::pair<int, const char*>> extensions{{NID_basic_constraints, "critical,CA:FALSE"},
                                                      {NID_key_usage, "critical,digitalSignature"},
                                                      {NID_ext_key_usage, "serverAuth"},
                                                      {NID_subject_alt_name, names},
                                                      {NID_subject_key_identifier, "hash"}};
  if (issuer != nullptr) extensions.push_back({NID_authority_key_identifier, "keyid:always"});
  return issue(commonName, validity, extensions, issuer);
}

std::string pemOf(X509* cert) {
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return {};
  std::string pem;
  if (PEM_write_bio_X509(out, cert) == 1) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    pem.assign(data, static_cast<std::size_t>(size));
  }
  BIO_free(out);
  return pem;
}

}  // namespace

struct TestPki::Impl {
  Issued root;
  Issued intermediate;
  Issued unknownRoot;
};

TestPki::TestPki() : impl_(std::make_shared<Impl>()) {
  impl_->root = issueRoot("quillet test root");
  if (impl_->root.cert) {
    impl_->intermediate = issue("quillet test intermediate", {-2 * kDay, 30 * kDay},
                                {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                                 {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                 {NID_subject_key_identifier, "hash"},
                                 {NID_authority_key_identifier, "keyid:always"}},
                                &impl_->root);
  }
  impl_->unknownRoot = issueRoot("quillet test root nobody trusts");
}

bool TestPki::ready() const { return impl_->root.cert && impl_->intermediate.cert && impl_->unknownRoot.cert; }

std::string TestPki::rootPem() const { return impl_->root.cert ? pemOf(impl_->root.cert.get()) : std::string(); }

struct TlsServer::State {
  Issued leaf;
  std::unique_ptr<httplib::SSLServer> server;
};

TlsServer::TlsServer(const TestPki& pki, TlsPeer peer, std::string body)
    : state_(std::make_unique<State>()), body_(std::move(body)) {
  start(pki, peer);
}

void TlsServer::start(const TestPki& pki, TlsPeer peer) {
  if (!pki.ready()) return;
  const TestPki::Impl& authority = pki.impl();
  const char* commonName = "127.0.0.1";
  const char* names = "IP:127.0.0.1,DNS:localhost";
  Validity validity{-3600, kDay};
  const Issued* signer = &authority.intermediate;
  switch (peer) {
    case TlsPeer::expired: validity = {-2 * kDay, -kDay}; break;
    case TlsPeer::notYetValid: validity = {kDay, 2 * kDay}; break;
    case TlsPeer::otherHost: commonName = "other.invalid", names = "DNS:other.invalid"; break;
    case TlsPeer::selfSigned: signer = nullptr; break;
    case TlsPeer::unknownAuthority: signer = &authority.unknownRoot; break;
    default: break;
  }
  state_->leaf = issueServer(commonName, names, validity, signer);
  if (!state_->leaf.cert) return;
  X509* intermediate = signer == &authority.intermediate && peer != TlsPeer::missingIntermediate
                           ? authority.intermediate.cert.get()
                           : nullptr;
  state_->server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
    bool ok = SSL_CTX_use_certificate(&context, state_->leaf.cert.get()) == 1 &&
              SSL_CTX_use_PrivateKey(&context, state_->leaf.key.get()) == 1 &&
              (intermediate == nullptr || SSL_CTX_add1_chain_cert(&context, intermediate) == 1);
    if (peer == TlsPeer::tls11Only) {
      // Below the system's policy, which forbids these versions by default.
      ok = ok && SSL_CTX_set_cipher_list(&context, "DEFAULT:@SECLEVEL=0") == 1 &&
           SSL_CTX_set_min_proto_version(&context, TLS1_VERSION) == 1 &&
           SSL_CTX_set_max_proto_version(&context, TLS1_1_VERSION) == 1;
    }
    return ok;
  });
  if (!state_->server->is_valid()) return;
  state_->server->Get(".*", [this](const httplib::Request&, httplib::Response& response) {
    ++requests_;
    response.set_content(body_, "application/octet-stream");
  });
  port_ = state_->server->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return;
  thread_ = std::thread([this] { state_->server->listen_after_bind(); });
  waitUntilRunning();
}

// stop() only reaches a server that is already listening.
void TlsServer::waitUntilRunning() {
  for (int i = 0; i < 500 && !state_->server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TlsServer::~TlsServer() {
  if (thread_.joinable()) {
    waitUntilRunning();
    state_->server->stop();
    thread_.join();
  }
}

std::string TlsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string allowOldTlsVersionsInThisProcess() {
  char config[] = "/tmp/quillet-openssl-XXXXXX";
  const int file = ::mkstemp(config);
  if (file < 0) return std::string("mkstemp: ") + std::strerror(errno);
  const std::string text =
      "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = policy\n"
      "[policy]\nMinProtocol = TLSv1\nCipherString = DEFAULT:@SECLEVEL=0\n";
  const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(file);
  // OpenSSL read the system's configuration when it started; this replaces it.
  const bool loaded = written && CONF_modules_load_file(config, nullptr, 0) == 1;
  ::unlink(config);
  return loaded ? std::string() : "loading an OpenSSL configuration that allows TLS 1.0 failed";
}

std::string trustRootInThisProcess(const std::string& rootPem) {
  if (rootPem.empty()) return "no test root was made";
  // The bundle libcurl was built to read; the library sets no other.
  std::string bundle;
  if (CURL* probe = curl_easy_init()) {
    char* path = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path != nullptr) bundle = path;
    curl_easy_cleanup(probe);
  }
  if (bundle.empty()) return "libcurl names no CA bundle";
  std::ostringstream system;
  system << std::ifstream(bundle, std::ios::binary).rdbuf();

  return showInPrivateNamespace(bundle, system.str() + "\n" + rootPem);
}

}  // namespace quillet_test
