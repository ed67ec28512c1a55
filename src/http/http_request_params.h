// The description of one transfer, a plain value copied by assignment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::http {

enum class http_method : int32_t {
  post = 0,
  upload = 1,  // sent as a PUT with a chunked body
  get = 2,
};

struct http_request_params {
  std::string url;
  http_method method = http_method::post;
  std::vector<std::string> headers;  // complete lines, sent after the fixed ones
  std::string body;                  // posted only for `post`, up to its first NUL
  bool noBody = false;
  int64_t maxRecvSpeed = 0;  // bytes per second, 0 for no cap
  int32_t timeout = 0;       // whole-transfer limit in seconds, 0 for none
};

}  // namespace vela::http
