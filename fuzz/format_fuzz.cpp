// The placeholder formatter on arbitrary formats and arguments, checked
// against a reference written unit by unit from the formatter's rules:
// "%" plus one or two digits is a placeholder; the distinct numbers, sorted,
// pick the arguments in order; a placeholder without an argument and a lone
// "%" stay as written; with no arguments the text ends at its first NUL.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "log/format_message.h"
#include "text/text.h"

namespace {

bool isDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

// The placeholder starting at `at`, or 0 units when there is none.
std::size_t placeholderAt(const std::u16string& format, std::size_t at, int& number) {
  if (format[at] != u'%' || at + 1 == format.size() || !isDigit(format[at + 1])) return 0;
  number = format[at + 1] - u'0';
  if (at + 2 < format.size() && isDigit(format[at + 2])) {
    number = number * 10 + (format[at + 2] - u'0');
    return 3;
  }
  return 2;
}

std::u16string reference(const std::u16string& format, const std::vector<std::u16string>& arguments) {
  if (arguments.empty()) return format.substr(0, format.find(u'\0'));

  std::set<int> numbers;
  for (std::size_t i = 0; i < format.size();) {
    int number = 0;
    const std::size_t length = placeholderAt(format, i, number);
    if (length == 0) {
      ++i;
    } else {
      numbers.insert(number);
      i += length;
    }
  }

  std::u16string result;
  for (std::size_t i = 0; i < format.size();) {
    int number = 0;
    const std::size_t length = placeholderAt(format, i, number);
    if (length == 0) {
      result += format[i++];
      continue;
    }
    const auto index = static_cast<std::size_t>(std::distance(numbers.begin(), numbers.find(number)));
    result += index < arguments.size() ? arguments[index] : format.substr(i, length);
    i += length;
  }
  return result;
}

// Byte-widened units; '%', digits and NUL stay cheap to reach.
std::u16string units(const std::string& bytes) { return ql::widenBytes(bytes); }

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto count = provider.ConsumeIntegralInRange<std::size_t>(0, 5);
  std::vector<std::u16string> arguments;
  for (std::size_t i = 0; i < count; ++i) {
    arguments.push_back(units(provider.ConsumeRandomLengthString(16)));
  }
  const int32_t first = provider.ConsumeIntegral<int32_t>();
  const int32_t second = provider.ConsumeIntegral<int32_t>();
  const int32_t third = provider.ConsumeIntegral<int32_t>();
  const std::string formatBytes = provider.ConsumeRemainingBytesAsString();
  const std::u16string format = units(formatBytes);

  // An exactly sized copy, so that a read past the given length is caught.
  const std::vector<char16_t> exact(format.begin(), format.end());
  const std::u16string result = ql::formatMessage(exact.data(), exact.size(), arguments);
  FUZZ_CHECK(result == reference(format, arguments));

  // The typed front ends feed the same rules.
  FUZZ_CHECK(ql::formatMessage(format) == reference(format, {}));
  const std::string text = formatBytes.substr(0, formatBytes.size() / 4);
  FUZZ_CHECK(ql::formatMessage(format, text) == reference(format, {units(text)}));
  FUZZ_CHECK(ql::formatMessage(format, text, first, second, third) ==
             reference(format, {units(text), ascii(std::to_string(first)), ascii(std::to_string(second)),
                                ascii(std::to_string(third))}));
  return 0;
}
