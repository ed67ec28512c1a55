#include "log/format_message.h"

#include <algorithm>

#include "text/text.h"

namespace ql {
namespace {

struct Placeholder {
  std::size_t position;
  std::size_t length;  // 2 or 3 units, the '%' included
  int number;
};

bool isDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

std::vector<Placeholder> findPlaceholders(const char16_t* format, std::size_t length) {
  std::vector<Placeholder> found;
  std::size_t i = 0;
  while (i < length) {
    if (format[i] != u'%') {
      ++i;
      continue;
    }
    if (i + 1 >= length) break;
    if (!isDigit(format[i + 1])) {
      // A lone '%' is literal; the unit after it is scanned normally, so
      // "%%0" still holds the placeholder "%0".
      ++i;
      continue;
    }
    Placeholder placeholder{i, 2, format[i + 1] - u'0'};
    if (i + 2 < length && isDigit(format[i + 2])) {
      placeholder.number = placeholder.number * 10 + (format[i + 2] - u'0');
      placeholder.length = 3;
    }
    found.push_back(placeholder);
    i += placeholder.length;
  }
  return found;
}

}  // namespace

std::u16string formatMessage(const char16_t* format, std::size_t length, const std::vector<std::u16string>& arguments) {
  if (format == nullptr) return std::u16string();
  if (arguments.empty()) {
    // Never read past the given length, even when the text holds no NUL.
    const char16_t* end = std::find(format, format + length, u'\0');
    return std::u16string(format, end);
  }

  const std::vector<Placeholder> placeholders = findPlaceholders(format, length);
  std::vector<int> numbers;
  for (const Placeholder& placeholder : placeholders) numbers.push_back(placeholder.number);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());

  std::u16string result;
  result.reserve(length);
  std::size_t copied = 0;
  for (const Placeholder& placeholder : placeholders) {
    const auto index = static_cast<std::size_t>(std::lower_bound(numbers.begin(), numbers.end(), placeholder.number) -
                                                numbers.begin());
    if (index >= arguments.size()) continue;  // kept as written with the text around it
    result.append(format + copied, placeholder.position - copied);
    result.append(arguments[index]);
    copied = placeholder.position + placeholder.length;
  }
  result.append(format + copied, length - copied);
  return result;
}

std::u16string formatMessage(std::u16string_view format) { return formatMessage(format.data(), format.size(), {}); }

std::u16string formatMessage(std::u16string_view format, const std::string& argument) {
  return formatMessage(format.data(), format.size(), {widenBytes(argument)});
}

std::u16string formatMessage(std::u16string_view format, const std::string& text, int32_t first, int32_t second,
                             int32_t third) {
  return formatMessage(format.data(), format.size(),
                       {widenBytes(text), toDecimalText(first), toDecimalText(second), toDecimalText(third)});
}

}  // namespace ql
