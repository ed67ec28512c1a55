// No C++ exception may reach the host: an export that fails inside (memory
// exhaustion included) ends with its failure value instead.
#pragma once

#include <utility>

namespace ql {

template <typename Result, typename Body>
Result guardExport(Result failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return failure;
  }
}

template <typename Body>
void guardExport(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

}  // namespace ql
