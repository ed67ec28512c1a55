// Conversions between the library's text forms: UTF-16 for everything the
// host reads, UTF-8 for error messages, and byte-widened UTF-16 for byte
// strings handed to the host unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ql {

// UTF-16 to UTF-8; false (and `out` cleared) on an unpaired surrogate.
bool utf16ToUtf8(const std::u16string& in, std::string& out);

// UTF-16 to UTF-8, "(invalid string)" when the input cannot be converted.
std::string wideToUtf8(const std::u16string& text);

// UTF-8 to UTF-16; empty for ill-formed input (no partial result).
std::u16string utf8ToWide(const char* data, std::size_t length);

// One 16-bit unit per byte, sign-extended: 0x41 -> 0x0041, 0xC3 -> 0xFFC3.
std::u16string widenBytes(const char* data, std::size_t length);
// The same into `destination`, which holds last - first units; returns the
// end of what was written.
char16_t* widenBytesTo(const char* first, const char* last, char16_t* destination);
inline std::u16string widenBytes(const std::string& bytes) { return widenBytes(bytes.data(), bytes.size()); }

// Decimal digits with a leading '-' for negative values.
std::u16string toDecimalText(int32_t value);
std::u16string toDecimalText(uint32_t value);

// ASCII text as UTF-16, for the library's own fixed strings.
std::u16string asciiToWide(const char* text);

}  // namespace ql
