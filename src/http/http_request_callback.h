// How a transfer reports to its request. Every operation runs on the worker
// thread inside a libcurl callback, with the transfer lock held.
#pragma once

#include <cstdint>

namespace vela::http {

class http_transfer;

class http_request_callback {
 public:
  // True stops the transfer (libcurl code 42).
  virtual bool isCancelled(http_transfer& transfer, uintptr_t user_data) = 0;
  // Fills an upload buffer; false aborts the upload.
  virtual bool provideData(http_transfer& transfer, uintptr_t user_data, void* buffer, uint32_t size,
                           uint32_t& written) = 0;
  // The response head is complete; at most once per run. False aborts.
  virtual bool receiveInfo(http_transfer& transfer, uintptr_t user_data) = 0;
  // One chunk of response body. False aborts (libcurl code 23).
  virtual bool receiveData(http_transfer& transfer, uintptr_t user_data, const void* data, uint32_t size) = 0;

 protected:
  virtual ~http_request_callback() = default;
};

}  // namespace vela::http
