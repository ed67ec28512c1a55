// printf-style formatting of UTF-16 text. Only the conversions the HTTP
// engine's messages use are understood: %s (UTF-16 text), %d (signed 32-bit),
// %X (unsigned 32-bit, upper-case hexadecimal), %f (double, six decimals) and
// %%. It does not depend on the C runtime's wide functions, whose wchar_t is
// 32 bits wide on some systems and whose decimal point follows the locale.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vela {

class format_arg {
 public:
  enum class kind { text, signed_int, unsigned_int, real };

  format_arg(std::u16string_view value) : kind_(kind::text), text_(value) {}
  format_arg(const std::u16string& value) : kind_(kind::text), text_(value) {}
  format_arg(const char16_t* value) : kind_(kind::text), text_(value == nullptr ? std::u16string_view() : value) {}
  format_arg(int32_t value) : kind_(kind::signed_int), integer_(value) {}
  format_arg(uint32_t value) : kind_(kind::unsigned_int), integer_(value) {}
  format_arg(double value) : kind_(kind::real), real_(value) {}

  kind type() const { return kind_; }
  std::u16string_view text() const { return text_; }
  int64_t integer() const { return integer_; }
  double real() const { return real_; }

 private:
  kind kind_;
  std::u16string_view text_;
  int64_t integer_ = 0;
  double real_ = 0.0;
};

// A conversion that does not match its argument, a missing argument or an
// unknown conversion is a format error and gives an empty string.
std::u16string format_wide(std::u16string_view format, std::initializer_list<format_arg> args);

}  // namespace vela
