// The description of one transfer, a plain value copied by assignment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vela::http {

enum class http_method : int32_t {
  post = 0,
  upload = 1,  // sent as a PUT with a chunked body
  get = 2,
};

class http_transfer;

// Runs transfers of many requests on one libcurl multi handle, for the
// request's worker, which waits meanwhile: connections are then shared, and
// HTTP/2 carries several files over one of them.
class transfer_driver {
 public:
  virtual ~transfer_driver() = default;
  // Runs `easy` to its end; libcurl's result code.
  virtual int run(void* easy, http_transfer& transfer) = 0;
  // Wakes the driver's wait for network activity, for a cancel. Any thread.
  virtual void wake() = 0;
};

struct http_request_params {
  std::string url;
  http_method method = http_method::post;
  std::vector<std::string> headers;  // complete lines, sent after the fixed ones
  std::string body;                  // posted only for `post`, up to its first NUL
  bool noBody = false;
  int64_t maxRecvSpeed = 0;  // bytes per second, 0 for no cap
  int32_t timeout = 0;       // whole-transfer limit in seconds, 0 for none
  // Where the transfer runs: null for the request's own multi handle.
  std::shared_ptr<transfer_driver> driver;
  bool allowHttp2 = false;  // HTTP/2 over TLS where the server offers it
};

}  // namespace vela::http
