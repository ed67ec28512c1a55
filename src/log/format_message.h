// Numbered-placeholder formatting ("%0" ... "%99") for the library's texts
// that carry values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ql {

// Fills the placeholders of `format` (`length` units) with `arguments`. The
// distinct placeholder numbers, sorted, select the arguments in order, so a
// format may use 3 and 7 for arguments 0 and 1. Placeholders without an
// argument stay as written. With no arguments the text is returned as written,
// cut at its first NUL.
std::u16string formatMessage(const char16_t* format, std::size_t length, const std::vector<std::u16string>& arguments);

// Typed front ends: narrow strings are byte-widened, integers written in
// decimal.
std::u16string formatMessage(std::u16string_view format);
std::u16string formatMessage(std::u16string_view format, const std::string& argument);
std::u16string formatMessage(std::u16string_view format, const std::string& text, int32_t first, int32_t second,
                             int32_t third);

}  // namespace ql
