#include "err/err_category.h"

#include <locale>

#include "platform/platform.h"
#include "text/text.h"

namespace Err::details {
namespace {

constexpr uint32_t kEnglishUnitedStates = 0x409;

const char* coreMessage(int code) {
  switch (code) {
    case 16000: return "unknown error";
    case 16001: return "";
    case 16002: return "access denied";
    case 16003: return "no space on device";
    case 16004: return "no such file or directory";
    case 16005: return "invalid argument";
    case 16006: return "not enough space";
    case 16007: return "missing library";
    case 16009: return "unable prepare update dir";
    case 16010: return "input-output error";
    case 16011: return "wrong protocol";
    case 16012: return "XML parsing failed";
    case 16013: return "JSON parsing failed";
    case 16014: return "already running";
    default: return "unknown core error";
  }
}

// White space as the current global locale classifies it.
std::u16string trimmed(const std::u16string& text) {
  const std::locale locale;
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(locale);
  auto isSpace = [&](char16_t unit) { return ctype.is(std::ctype_base::space, static_cast<wchar_t>(unit)); };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Condition value in this category, or 0 for codes that keep their own value
// in the system category.
int conditionValue(int code) {
  switch (code) {
    case 5:
    case 33:
    case 65:
    case 83:
    case 108:
    case 132:
    case 158:
    case 167:
    case 16002: return 1;
    case 112:
    case 16003: return 2;
    case 16010:
    case 16011:
    case 16012:
    case 16013: return 4;
    case 2:
    case 3:
    case 15:
    case 53:
    case 67:
    case 161:
    case 206:
    case 16004: return 5;
    case 6:
    case 13:
    case 87:
    case 16005: return 6;
    case 8:
    case 16006: return 7;
    default: return 0;
  }
}

}  // namespace

const ErrCategory& ErrCategory::instance() {
  static const ErrCategory category;
  return category;
}

const char* ErrCategory::name() const noexcept { return "Error.Error.Category"; }

std::string ErrCategory::message(int code) const {
  try {
    if (code > 15999) return coreMessage(code);
    std::u16string text;
    if (!ql::platform::systemMessage(static_cast<uint32_t>(code), kEnglishUnitedStates, text) || text.empty()) {
      return std::string();
    }
    return ql::wideToUtf8(trimmed(text));
  } catch (...) {
    return std::string();
  }
}

std::error_condition ErrCategory::default_error_condition(int code) const noexcept {
  const int value = conditionValue(code);
  if (value != 0) return std::error_condition(value, *this);
  return std::error_condition(code, std::system_category());
}

bool ErrCategory::equivalent(const std::error_code& code, int value) const noexcept {
  return code.category() == *this && default_error_condition(code.value()).value() == value;
}

bool ErrCategory::equivalent(int code, const std::error_condition& condition) const noexcept {
  return default_error_condition(code) == condition;
}

}  // namespace Err::details
