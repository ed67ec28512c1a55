#include "text/text.h"

namespace ql {
namespace {

const std::string kInvalidString = "(invalid string)";

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool utf16ToUtf8(const std::u16string& in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t unit = in[i];
    if (isHighSurrogate(unit)) {
      if (i + 1 >= in.size() || !isLowSurrogate(in[i + 1])) {
        out.clear();
        return false;
      }
      char32_t low = in[++i];
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    } else if (isLowSurrogate(unit)) {
      // A low surrogate with no high one before it encodes nothing.
      out.clear();
      return false;
    }
    appendUtf8(out, unit);
  }
  return true;
}

std::string wideToUtf8(const std::u16string& text) {
  std::string out;
  if (!utf16ToUtf8(text, out)) return kInvalidString;
  return out;
}

std::u16string utf8ToWide(const char* data, std::size_t length) {
  std::u16string out;
  if (data == nullptr) return out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  out.reserve(length);
  std::size_t i = 0;
  while (i < length) {
    unsigned char lead = bytes[i];
    char32_t cp;
    std::size_t extra;
    char32_t minimum;
    if (lead < 0x80) {
      cp = lead, extra = 0, minimum = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1F, extra = 1, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0F, extra = 2, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07, extra = 3, minimum = 0x10000;
    } else {
      return {};  // continuation byte, overlong lead, or beyond U+10FFFF
    }
    if (length - i - 1 < extra) return {};  // cut off by the end of the input
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char next = bytes[i + k];
      if ((next & 0xC0) != 0x80) return {};
      cp = (cp << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogate code points and values above U+10FFFF are
    // refused so that every accepted input has one meaning.
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

char16_t* widenBytesTo(const char* first, const char* last, char16_t* destination) {
  for (; first != last; ++first, ++destination) {
    *destination = static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(*first)));
  }
  return destination;
}

std::u16string widenBytes(const char* data, std::size_t length) {
  std::u16string out(length, u'\0');
  widenBytesTo(data, data + length, out.data());
  return out;
}

namespace {

std::u16string decimal(uint32_t magnitude, bool negative) {
  char16_t digits[11];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits[count++] = u'-';
  std::u16string out(count, u'0');
  for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return out;
}

}  // namespace

std::u16string toDecimalText(uint32_t value) { return decimal(value, false); }

std::u16string toDecimalText(int32_t value) {
  // Negate in unsigned arithmetic so that INT32_MIN does not overflow.
  return value >= 0 ? decimal(static_cast<uint32_t>(value), false) : decimal(0u - static_cast<uint32_t>(value), true);
}

std::u16string asciiToWide(const char* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (; *text != '\0'; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace ql
