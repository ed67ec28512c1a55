// ULIDs: 48 bits of time in whole seconds, then 80 random bits, written as 26
// characters of Crockford's base-32 alphabet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ql {

using UlidBytes = std::array<uint8_t, 16>;

// The 16-byte value: the low 48 bits of `seconds` (most significant byte
// first), then the ten random bytes.
UlidBytes makeUlidBytes(int64_t seconds, const std::array<uint8_t, 10>& random);

// The standard 26-character text form of a 16-byte value.
std::string encodeUlid(const UlidBytes& value);

// A new ULID for the current time, its random part from the system's
// entropy source; written as 26 UTF-16 units (no terminator) without
// allocating, or as text.
void writeNewUlid(char16_t* out);
std::string generateUlid();

// Random bytes are drawn from the system a block at a time and handed out per
// thread; a byte is handed out once only, also across a fork.
constexpr std::size_t kUlidRandomBlockBytes = 4096;

}  // namespace ql
