#include "http/http_request_data_helper.h"

#include <cstring>
#include <limits>
#include <new>

namespace vela::http {

http_request_data_helper::~http_request_data_helper() {
  stopWorker();  // the worker may still be appending to the buffer
}

http_request_params http_request_data_helper::makeParams(const char* url, http_method method,
                                                         const char* body) {
  http_request_params params;
  params.method = method;
  params.timeout = kTimeout;
  if (url == nullptr) return params;
  if (body != nullptr) {
    params.url = url;
    params.body = body;
    return params;
  }
  const char* question = std::strchr(url, '?');
  if (question != nullptr && method == http_method::post) {
    params.url.assign(url, question);
    params.body = question + 1;
  } else {
    params.url = url;
  }
  return params;
}

bool http_request_data_helper::Start(const char* url, http_method method, const char* body) {
  http_request_params params;
  {
    Guard guard(*this);
    size_ = 0;
    if (capacity_ < kSpareBytes) reallocate(kSpareBytes);
    params = makeParams(url, method, body);
  }
  return startThread(params);
}

void http_request_data_helper::reallocate(uint32_t capacity) {
  auto larger = std::make_unique<unsigned char[]>(capacity);
  if (size_ != 0) std::memcpy(larger.get(), body_.get(), size_);
  body_ = std::move(larger);
  capacity_ = capacity;
}

bool http_request_data_helper::onReceiveData(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return true;
  const uint64_t needed = static_cast<uint64_t>(size_) + size;
  // The host reads the body length as a signed 32-bit count.
  if (needed + kSpareBytes > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
  if (needed >= capacity_) reallocate(static_cast<uint32_t>(needed + kSpareBytes));
  std::memcpy(body_.get() + size_, data, size);
  size_ = static_cast<uint32_t>(needed);
  return true;
}

uint32_t http_request_data_helper::readData(void* destination, uint32_t capacity) {
  Guard guard(*this);
  if (destination == nullptr || capacity == 0) return size_;
  const uint32_t count = capacity < size_ ? capacity : size_;
  if (count != 0) std::memcpy(destination, body_.get(), count);
  return count;
}

uint32_t http_request_data_helper::capacity() {
  Guard guard(*this);
  return capacity_;
}

}  // namespace vela::http
