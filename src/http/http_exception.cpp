#include "http/http_exception.h"

#include "http/format_wide.h"
#include "platform/platform.h"

namespace vela {
namespace {

std::u16string orEmpty(const char16_t* text) { return text == nullptr ? std::u16string() : text; }

bool isLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

// The system text comes with its trailing line break; only CR and LF are cut,
// at both ends, so inner spaces and punctuation stay.
std::u16string systemText(uint32_t code) {
  std::u16string text;
  if (!ql::platform::systemMessage(code, 0x400, text)) return {};
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isLineBreak(text[begin])) ++begin;
  while (end > begin && isLineBreak(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

Exception::Exception(const char16_t* source_file, int32_t source_line, const char16_t* function)
    : source_file_(orEmpty(source_file)), source_line_(source_line), function_(orEmpty(function)) {}

SysException::SysException(uint32_t system_code, const char16_t* source_file, int32_t source_line,
                           const char16_t* function)
    : Exception(source_file, source_line, function), system_code_(system_code), system_text_(systemText(system_code)) {}

std::u16string SysException::text() const { return format_wide(u"(0x%X)\"%s\"", {system_code_, system_text_}); }

namespace http {

http_exception::http_exception(const char16_t* message) : Exception(nullptr, 0, nullptr), message_(orEmpty(message)) {}

http_exception::http_exception(std::u16string message) : Exception(nullptr, 0, nullptr), message_(std::move(message)) {}

std::unique_ptr<http_exception> make_curl_error(int32_t code, const std::u16string& description,
                                                const std::u16string& via) {
  return std::make_unique<http_exception>(format_wide(u"Inner libCurl error(%d): \"%s\"%s.", {code, description, via}));
}

std::unique_ptr<http_exception> make_status_error(int32_t status, const std::u16string& via) {
  return std::make_unique<http_exception>(format_wide(u"Unexpected http server response code(%d)%s.", {status, via}));
}

std::unique_ptr<http_exception> make_proxy_sign_in_error(const std::u16string& via) {
  return std::make_unique<http_exception>(u"Proxy sign-in failed (407)" + via + u".");
}

std::unique_ptr<http_exception> make_length_error(int64_t full_size, int64_t requested_size, int64_t content_len) {
  return std::make_unique<http_exception>(format_wide(
      u"Invalid content length. full_size: %f, requested_size: %f, content_len: %f",
      {static_cast<double>(full_size), static_cast<double>(requested_size), static_cast<double>(content_len)}));
}

}  // namespace http
}  // namespace vela
