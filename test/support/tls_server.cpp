#include "support/tls_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>

namespace quillet_test {

struct TlsServer::State {
  struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
  };
  std::unique_ptr<EVP_PKEY, KeyFree> key;
  std::unique_ptr<X509, CertFree> cert;
  std::unique_ptr<httplib::SSLServer> server;
};

namespace {

// A certificate for 127.0.0.1 that signs itself, valid for an hour.
bool makeSelfSigned(EVP_PKEY*& keyOut, X509*& certOut) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) return false;
  X509* cert = X509_new();
  bool ok = cert != nullptr && X509_set_version(cert, 2) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert), -60) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), 3600) != nullptr && X509_set_pubkey(cert, key) == 1;
  if (ok) {
    X509_NAME* name = X509_get_subject_name(cert);
    ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                    -1, 0) == 1 &&
         X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (!ok) {
    X509_free(cert);
    EVP_PKEY_free(key);
    return false;
  }
  keyOut = key;
  certOut = cert;
  return true;
}

}  // namespace

TlsServer::TlsServer() : state_(std::make_unique<State>()) {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  if (!makeSelfSigned(key, cert)) return;
  state_->key.reset(key);
  state_->cert.reset(cert);
  state_->server = std::make_unique<httplib::SSLServer>(cert, key);
  if (!state_->server->is_valid()) return;
  state_->server->Get(".*", [this](const httplib::Request&, httplib::Response& response) {
    ++requests_;
    response.set_content("secret", "text/plain");
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
  }
  if (thread_.joinable()) thread_.join();
}

std::string TlsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace quillet_test
