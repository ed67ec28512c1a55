#include "support/time_limits.h"

#include <cstdlib>

namespace quillet_test {

double timeFactor() {
  static const double factor = [] {
    const char* text = std::getenv("QUILLET_TEST_TIME_FACTOR");
    if (text == nullptr) return 1.0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 1.0 ? value : 1.0;
  }();
  return factor;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds limit) {
  return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(limit.count()) * timeFactor()));
}

}  // namespace quillet_test
