#include "util/ulid.h"

#include <algorithm>
#include <random>

#include "api/export_guard.h"
#include "platform/platform.h"
#include "quillet/quillet.h"
#include "util/text.h"

namespace ql {
namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::array<uint8_t, 10> randomPart() {
  std::array<uint8_t, 10> random{};
  if (!platform::fillRandom(random.data(), random.size())) {
    // The system source failing is all but impossible; the runtime's own
    // nondeterministic source still keeps identifiers from colliding.
    std::random_device device;
    for (auto& byte : random) byte = static_cast<uint8_t>(device());
  }
  return random;
}

}  // namespace

UlidBytes makeUlidBytes(int64_t seconds, const std::array<uint8_t, 10>& random) {
  UlidBytes value{};
  auto time = static_cast<uint64_t>(seconds);
  for (int i = 0; i < 6; ++i) value[i] = static_cast<uint8_t>(time >> (8 * (5 - i)));
  for (int i = 0; i < 10; ++i) value[6 + i] = random[i];
  return value;
}

std::string encodeUlid(const UlidBytes& value) {
  // 130 bits: two zero pad bits, then the 128 bits of the value; five bits a
  // character, most significant first.
  std::string text(26, '0');
  for (int c = 0; c < 26; ++c) {
    int firstBit = c * 5 - 2;  // position in the value, bit 0 the top bit of byte 0
    unsigned index = 0;
    for (int b = 0; b < 5; ++b) {
      int bit = firstBit + b;
      unsigned set = bit < 0 ? 0u : (value[bit / 8] >> (7 - bit % 8)) & 1u;
      index = (index << 1) | set;
    }
    text[c] = kAlphabet[index];
  }
  return text;
}

std::string generateUlid() {
  return encodeUlid(makeUlidBytes(platform::unixTimeSeconds(), randomPart()));
}

}  // namespace ql

extern "C" QL_API void QL_CALL QL_GenerateULID(QL_WCHAR* buffer) {
  ql::guardExport([&] {
    if (buffer == nullptr) return;
    std::u16string units = ql::widenBytes(ql::generateUlid());
    std::copy(units.begin(), units.end(), reinterpret_cast<char16_t*>(buffer));
  });
}
