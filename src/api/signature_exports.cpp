// The signature exports: a minisign signature checked against the
// publisher's public keys, over bytes the host holds, over the body of a
// finished in-memory request, or over a file. Each tells its outcome in one
// log record.
#include <cstdint>
#include <memory>
#include <string_view>

#include "api/export_guard.h"
#include "api/library.h"
#include "api/log_queue.h"
#include "http/http_request_data_helper.h"
#include "quillet/quillet.h"
#include "text/text.h"
#include "util/signature.h"

namespace {

std::string_view orEmpty(const char* text) { return text == nullptr ? std::string_view() : text; }

int tell(const ql::SignatureVerdict& verdict) {
  if (!verdict.verified) {
    ql::pushLogRecord(u"Signature check failed: " + verdict.problem);
    return 0;
  }
  ql::pushLogRecord(u"Signature verified: key " + ql::asciiToWide(verdict.keyId.c_str()));
  return 1;
}

int verifyRequest(uint32_t id, const char* signature, const char* publicKeys) {
  const auto request = std::dynamic_pointer_cast<vela::http::http_request_data_helper>(ql::requests().find(id));
  if (!request) {
    ql::pushLogRecord(u"Request not found");
    return 0;
  }
  // A running request's body is still growing: only what has fully arrived counts.
  if (!request->isFinished()) {
    ql::pushLogRecord(u"Request not finished");
    return 0;
  }
  const ql::SignatureVerdict verdict = request->useBody([&](const unsigned char* body, uint32_t size) {
    return ql::verifySignature(orEmpty(signature), orEmpty(publicKeys), body, size);
  });
  return tell(verdict);
}

}  // namespace

extern "C" {

QL_API int QL_CALL QL_VerifySignature(const void* data, unsigned int size, const char* signature,
                                      const char* publicKeys) {
  return ql::guardExport(
      0, [&] { return tell(ql::verifySignature(orEmpty(signature), orEmpty(publicKeys), data, size)); });
}

QL_API int QL_CALL QL_VerifyRequestSignature(unsigned int request, const char* signature, const char* publicKeys) {
  return ql::guardExport(0, [&] { return verifyRequest(request, signature, publicKeys); });
}

QL_API int QL_CALL QL_VerifyFileSignature(const QL_WCHAR* path, const char* signature, const char* publicKeys) {
  return ql::guardExport(0, [&] {
    static_assert(sizeof(QL_WCHAR) == sizeof(char16_t), "the host's wide text is UTF-16");
    // No path names no file, as Windows has it for an empty one.
    const auto* text = reinterpret_cast<const char16_t*>(path);
    return tell(ql::verifyFileSignature(orEmpty(signature), orEmpty(publicKeys),
                                        text == nullptr ? std::u16string() : std::u16string(text)));
  });
}

}  // extern "C"
