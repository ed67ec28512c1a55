#include "http/http_request_data_helper.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "text/text.h"

namespace vela::http {
namespace {

// The host reads the body length as a signed 32-bit count.
constexpr uint64_t kLargestBody = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

// The largest block reserve() may ask for; tests lower it to stand for an
// address space that has no room for more.
std::atomic<uint32_t> largestBlock{std::numeric_limits<uint32_t>::max()};

}  // namespace

http_request_data_helper::~http_request_data_helper() {
  stopWorker();  // the worker may still be appending to the buffer
}

http_request_params http_request_data_helper::makeParams(const char* url, http_method method, const char* body) {
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
    if (capacity_ < kSpareBytes) {
      if (!reserve(kSpareBytes)) throw std::bad_alloc();
      capacity_ = kSpareBytes;
    }
    params = makeParams(url, method, body);
  }
  return startThread(params);
}

// realloc rather than a fresh block and a copy: it may extend the block in
// place (large blocks are remapped, not copied), and it leaves the new bytes
// uninitialised, as they are about to be overwritten anyway.
bool http_request_data_helper::reserve(uint32_t capacity) noexcept {
  if (capacity <= allocated_) return true;
  if (capacity > largestBlock.load(std::memory_order_relaxed)) return false;
  void* grown = std::realloc(body_.get(), capacity);
  if (grown == nullptr) return false;  // the old block and its contents stay
  body_.release();
  body_.reset(static_cast<unsigned char*>(grown));
  allocated_ = capacity;
  return true;
}

bool http_request_data_helper::onReceiveData(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return true;
  const uint64_t needed = static_cast<uint64_t>(size_) + size;
  if (needed + kSpareBytes > kLargestBody) return false;
  if (needed >= capacity_) {
    // The rule reports the exact size needed plus the spare bytes; the storage
    // grows by half at least, so appending stays amortised constant per byte.
    const auto wanted = static_cast<uint32_t>(needed + kSpareBytes);
    const uint64_t geometric = std::min<uint64_t>(allocated_ + allocated_ / 2, kLargestBody);
    const auto larger = static_cast<uint32_t>(std::max<uint64_t>(wanted, geometric));
    // In a 32-bit address space the larger block may find no room where the
    // exact one still does: the chunk is refused only when neither fits.
    if (wanted > allocated_ && !reserve(larger) && (larger == wanted || !reserve(wanted))) return false;
    capacity_ = wanted;
  }
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

uint32_t http_request_data_helper::readWidened(char16_t* destination, uint32_t count) {
  Guard guard(*this);
  const uint32_t widened = std::min(count, size_);
  const char* bytes = reinterpret_cast<const char*>(body_.get());
  char16_t* rest = ql::widenBytesTo(bytes, bytes + widened, destination);
  std::fill(rest, destination + count, u'\0');
  return widened;
}

void http_request_data_helper::limitBlocksForTesting(uint32_t largest) { largestBlock.store(largest); }

uint32_t http_request_data_helper::capacity() {
  Guard guard(*this);
  return capacity_;
}

}  // namespace vela::http
