// Time limits of the tests, stretched for slow runs. Tests wait on events; a
// limit only ends a wait that has already failed, or bounds how long an
// action may take. scripts/test.sh sets QUILLET_TEST_TIME_FACTOR for the
// sanitizer builds and for Wine, where everything runs several times slower.
#pragma once

#include <chrono>
#include <thread>

namespace quillet_test {

// QUILLET_TEST_TIME_FACTOR when it holds a number of at least 1, else 1.
double timeFactor();

// `limit` multiplied by timeFactor().
std::chrono::milliseconds scaled(std::chrono::milliseconds limit);

// Polls `condition` until it holds or scaled(`limit`) has passed; whether it holds.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quillet_test
