#include "support/requests.h"

#include <thread>
#include <vector>

#include "support/time_limits.h"

namespace quillet_test {

QL_REQUEST_INFO infoOf(unsigned id) {
  QL_REQUEST_INFO info{99, 99, 99, 99, 99};
  QL_RequestInfo(id, &info);
  return info;
}

QL_REQUEST_INFO waitFinished(unsigned id, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
  QL_REQUEST_INFO info = infoOf(id);
  while (info.state == QL_STATE_RUNNING && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    info = infoOf(id);
  }
  return info;
}

std::string bodyOf(unsigned id) {
  int size = 0;
  if (QL_RequestData(id, nullptr, &size) != 1) return "<no data>";
  std::vector<QL_WCHAR> units(static_cast<std::size_t>(size) + 1);
  if (size > 0 && QL_RequestData(id, units.data(), &size) != 1) return "<no data>";
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes += static_cast<char>(units[static_cast<std::size_t>(i)] & 0xFF);
  return bytes;
}

}  // namespace quillet_test
