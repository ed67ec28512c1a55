#include "http/format_wide.h"

#include <charconv>
#include <cmath>

namespace vela {
namespace {

void appendAscii(std::u16string& out, const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) out += static_cast<char16_t>(static_cast<unsigned char>(*p));
}

bool appendReal(std::u16string& out, double value) {
  if (std::isnan(value)) {
    out += u"nan";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? u"-inf" : u"inf";
    return true;
  }
  char buffer[400];  // the largest double in fixed notation needs 309 digits + 7
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return false;
  appendAscii(out, buffer, result.ptr);
  return true;
}

}  // namespace

std::u16string format_wide(std::u16string_view format, std::initializer_list<format_arg> args) {
  std::u16string out;
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    char16_t c = format[i];
    if (c != u'%') {
      out += c;
      continue;
    }
    if (++i == format.size()) return {};
    char16_t conversion = format[i];
    if (conversion == u'%') {
      out += u'%';
      continue;
    }
    if (next == args.end()) return {};
    const format_arg& arg = *next++;
    char buffer[32];
    switch (conversion) {
      case u's':
        if (arg.type() != format_arg::kind::text) return {};
        out.append(arg.text());
        break;
      case u'd': {
        if (arg.type() != format_arg::kind::signed_int) return {};
        auto result = std::to_chars(buffer, buffer + sizeof buffer, arg.integer());
        appendAscii(out, buffer, result.ptr);
        break;
      }
      case u'X': {
        if (arg.type() != format_arg::kind::unsigned_int) return {};
        auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(arg.integer()), 16);
        for (char* p = buffer; p != result.ptr; ++p) {
          if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
        }
        appendAscii(out, buffer, result.ptr);
        break;
      }
      case u'f':
        if (arg.type() != format_arg::kind::real || !appendReal(out, arg.real())) return {};
        break;
      default: return {};
    }
  }
  return out;
}

}  // namespace vela
