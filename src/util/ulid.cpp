#include "util/ulid.h"

#include <random>

#include "platform/platform.h"

namespace ql {
namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// One thread's unspent random bytes. Zero-initialised means empty, so the
// thread-local needs no constructor or destructor.
struct RandomPool {
  uint8_t bytes[kUlidRandomBlockBytes];
  std::size_t left;         // unspent bytes at the end of `bytes`
  uint32_t forkGeneration;  // of the process that drew them
};

thread_local RandomPool t_pool;

void refill(RandomPool& pool) {
  if (!platform::fillRandom(pool.bytes, sizeof pool.bytes)) {
    // The system source failing is all but impossible; the runtime's own
    // nondeterministic source still keeps identifiers from colliding.
    std::random_device device;
    for (auto& byte : pool.bytes) byte = static_cast<uint8_t>(device());
  }
  pool.left = sizeof pool.bytes;
}

std::array<uint8_t, 10> randomPart() {
  RandomPool& pool = t_pool;
  // Read before drawing, so the fork counter is in place for what is drawn.
  const uint32_t generation = platform::forkGeneration();
  std::array<uint8_t, 10> random;
  // A pool copied into a forked child holds bytes its parent may still hand
  // out: the child drops them. A tail too short for a whole part is dropped.
  if (pool.forkGeneration != generation || pool.left < random.size()) {
    refill(pool);
    pool.forkGeneration = generation;
  }
  const uint8_t* from = pool.bytes + (sizeof pool.bytes - pool.left);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = from[i];
  pool.left -= random.size();
  return random;
}

// Characters for the low 5 * count bits of `bits`, most significant first.
template <typename Unit>
Unit* writeBase32(uint64_t bits, int count, Unit* out) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<Unit>(kAlphabet[bits & 31]);
    bits >>= 5;
  }
  return out + count;
}

uint64_t bigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// The value read as a 130-bit number with two zero pad bits on top, five bits
// a character: the first 10 characters are exactly the pad and the 48 time
// bits, and each half of the random part is 40 bits, 8 characters.
template <typename Unit>
void writeText(const UlidBytes& value, Unit* out) {
  out = writeBase32(bigEndian(&value[0], 6), 10, out);
  out = writeBase32(bigEndian(&value[6], 5), 8, out);
  writeBase32(bigEndian(&value[11], 5), 8, out);
}

// Whole seconds need no finer clock than the tick's, and reading the fine one
// would cost about as much as the rest of a ULID.
UlidBytes newUlidBytes() { return makeUlidBytes(platform::coarseUnixTimeSeconds(), randomPart()); }

}  // namespace

UlidBytes makeUlidBytes(int64_t seconds, const std::array<uint8_t, 10>& random) {
  UlidBytes value{};
  auto time = static_cast<uint64_t>(seconds);
  for (int i = 0; i < 6; ++i) value[i] = static_cast<uint8_t>(time >> (8 * (5 - i)));
  for (int i = 0; i < 10; ++i) value[6 + i] = random[i];
  return value;
}

std::string encodeUlid(const UlidBytes& value) {
  std::string text(26, '0');
  writeText(value, text.data());
  return text;
}

void writeNewUlid(char16_t* out) { writeText(newUlidBytes(), out); }

std::string generateUlid() { return encodeUlid(newUlidBytes()); }

}  // namespace ql
