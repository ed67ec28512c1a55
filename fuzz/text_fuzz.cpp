// The UTF-8/UTF-16 conversions and byte widening on arbitrary bytes, checked
// against a reference decoder: well-formed UTF-8 (no overlong forms, no
// surrogate code points, nothing above U+10FFFF) round-trips exactly and
// everything else converts to nothing; UTF-16 without unpaired surrogates
// round-trips exactly and everything else is refused.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "check.h"
#include "text/text.h"

namespace {

// Decodes well-formed UTF-8 into UTF-16 by the table of well-formed byte
// sequences; false on anything else.
bool referenceDecode(const std::string& bytes, std::u16string& units) {
  units.clear();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    std::size_t count;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (b0 <= 0x7F) {
      count = 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      count = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      count = 3;
      if (b0 == 0xE0) low = 0xA0;
      if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      count = 4;
      if (b0 == 0xF0) low = 0x90;
      if (b0 == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - i < count) return false;
    uint32_t cp = count == 1 ? b0 : b0 & (0x7F >> count);
    for (std::size_t k = 1; k < count; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (b < lo || b > hi) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp);
    }
    i += count;
  }
  return true;
}

bool isWellFormedUtf16(const std::u16string& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

void checkUtf8(const std::string& bytes) {
  std::u16string expected;
  const bool wellFormed = referenceDecode(bytes, expected);
  const std::u16string units = ql::utf8ToWide(bytes.data(), bytes.size());
  if (!wellFormed) {
    FUZZ_CHECK(units.empty());
    return;
  }
  FUZZ_CHECK(units == expected);
  FUZZ_CHECK(isWellFormedUtf16(units));
  std::string back;
  FUZZ_CHECK(ql::utf16ToUtf8(units, back));
  FUZZ_CHECK(back == bytes);
  FUZZ_CHECK(ql::wideToUtf8(units) == bytes);
}

void checkUtf16(const std::u16string& units) {
  std::string bytes;
  const bool converted = ql::utf16ToUtf8(units, bytes);
  FUZZ_CHECK(converted == isWellFormedUtf16(units));
  if (!converted) {
    FUZZ_CHECK(bytes.empty());
    FUZZ_CHECK(ql::wideToUtf8(units) == "(invalid string)");
    return;
  }
  std::u16string decoded;
  FUZZ_CHECK(referenceDecode(bytes, decoded));
  FUZZ_CHECK(decoded == units);
  FUZZ_CHECK(ql::utf8ToWide(bytes.data(), bytes.size()) == units);
  FUZZ_CHECK(ql::wideToUtf8(units) == bytes);
}

void checkWidening(const std::string& bytes) {
  const std::u16string units = ql::widenBytes(bytes);
  FUZZ_CHECK(units.size() == bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    FUZZ_CHECK(units[i] == (byte < 0x80 ? byte : (0xFF00 | byte)));
  }
  FUZZ_CHECK(ql::widenBytes(bytes.data(), bytes.size()) == units);
}

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void checkDecimal(const uint8_t* data, std::size_t size) {
  uint32_t bits = 0;
  std::memcpy(&bits, data, size < 4 ? size : 4);
  FUZZ_CHECK(ql::toDecimalText(bits) == ascii(std::to_string(bits)));
  const auto value = static_cast<int32_t>(bits);
  FUZZ_CHECK(ql::toDecimalText(value) == ascii(std::to_string(value)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  checkUtf8(bytes);
  checkWidening(bytes);
  checkDecimal(data, size);

  // The same bytes read as UTF-16 units, low byte first.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  checkUtf16(units);
  return 0;
}
