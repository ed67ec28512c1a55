// An in-memory request: a GET or POST whose whole response body is kept in a
// buffer that the host copies out once the run has finished.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "http/http_request_helper.h"

namespace vela::http {

class http_request_data_helper final : public http_request_helper {
 public:
  static constexpr int32_t kTimeout = 30;        // seconds for the whole transfer
  static constexpr uint32_t kSpareBytes = 1024;  // room kept after each reallocation

  http_request_data_helper() = default;
  ~http_request_data_helper() override;

  // `post` posts `body` when it is not empty and otherwise sends a GET. A
  // null `body` with `post` turns the URL's query (after its first '?') into
  // the body. A null `url` starts a run that fails inside libcurl.
  bool Start(const char* url, http_method method, const char* body);

  // With no destination (or capacity 0) the body size; otherwise copies the
  // first min(capacity, size) bytes and returns that count. Not consuming.
  uint32_t readData(void* destination, uint32_t capacity);

  // Widens the first min(count, size) bytes one unit each (see
  // ql::widenBytesTo) into `destination` and zeroes the rest of its `count`
  // units, in one pass. Returns the number of body bytes widened.
  uint32_t readWidened(char16_t* destination, uint32_t count);

  // Hands the body's bytes and their count to `use` under the request lock,
  // without copying them, and returns what it returns: for checks over a
  // body as large as the transfer allowed.
  template <typename Use>
  auto useBody(Use&& use) {
    Guard guard(*this);
    return std::forward<Use>(use)(static_cast<const unsigned char*>(body_.get()), size_);
  }

  // The growth rule's capacity (1024 spare bytes after each growth), for
  // tests; the storage underneath is at least this large.
  uint32_t capacity();
  // Makes every body block larger than `largest` bytes fail to allocate, as
  // in an address space without room for it (UINT32_MAX: no limit).
  static void limitBlocksForTesting(uint32_t largest);

  // Splits the host's arguments into the transfer's url and body.
  static http_request_params makeParams(const char* url, http_method method, const char* body);

 private:
  bool onReceiveData(const void* data, uint32_t size) override;

  struct FreeBytes {
    void operator()(unsigned char* bytes) const noexcept { std::free(bytes); }
  };

  // Makes the storage hold at least `capacity` bytes; false when memory runs out.
  bool reserve(uint32_t capacity) noexcept;

  std::unique_ptr<unsigned char, FreeBytes> body_;  // malloc'd: realloc may grow it in place
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;   // what the growth rule reports
  uint32_t allocated_ = 0;  // what the storage really holds
};

}  // namespace vela::http
