// The error objects a request records when a run fails. They are created with
// new, copied with clone() and owned by exactly one holder (a request, or the
// caller of clone()), which keeps them in a std::unique_ptr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vela {

class Alert {
 public:
  virtual ~Alert() = default;
  virtual const char16_t* name() const = 0;
  virtual std::u16string text() const = 0;
  virtual int32_t level() const = 0;
  // A new object of the same dynamic type; the caller owns it.
  virtual Alert* clone() const = 0;

 protected:
  Alert() = default;
  Alert(const Alert&) = default;
  Alert& operator=(const Alert&) = default;
};

class Exception : public Alert {
 public:
  Exception(const char16_t* source_file, int32_t source_line, const char16_t* function);

  int32_t level() const override { return 1; }
  Exception* clone() const override = 0;

  const std::u16string& source_file() const { return source_file_; }
  int32_t source_line() const { return source_line_; }
  const std::u16string& function() const { return function_; }

 protected:
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

 private:
  std::u16string source_file_;
  int32_t source_line_;
  std::u16string function_;
};

// A failed system call: the Windows error code and its system text.
class SysException : public Exception {
 public:
  SysException(uint32_t system_code, const char16_t* source_file, int32_t source_line, const char16_t* function);
  SysException(const SysException&) = default;

  const char16_t* name() const override { return u"system error"; }
  std::u16string text() const override;
  SysException* clone() const override { return new SysException(*this); }

  uint32_t system_code() const { return system_code_; }
  const std::u16string& system_text() const { return system_text_; }

 private:
  uint32_t system_code_;
  std::u16string system_text_;
};

// Owned copy of any error, for holders that keep errors in unique_ptr.
template <typename T>
std::unique_ptr<T> clone_owned(const T& error) {
  return std::unique_ptr<T>(error.clone());
}

namespace http {

class http_exception : public Exception {
 public:
  explicit http_exception(const char16_t* message);
  explicit http_exception(std::u16string message);
  http_exception(const http_exception&) = default;

  const char16_t* name() const override { return u"http request error"; }
  std::u16string text() const override { return message_; }
  http_exception* clone() const override { return new http_exception(*this); }

 private:
  std::u16string message_;
};

// The messages the request classes record. `via` names the proxy the
// transfer went through (" via proxy 127.0.0.1:3128 from system settings"),
// empty for a direct one.
std::unique_ptr<http_exception> make_curl_error(int32_t code, const std::u16string& description,
                                                const std::u16string& via = {});
std::unique_ptr<http_exception> make_status_error(int32_t status, const std::u16string& via = {});
// A proxy that wanted a sign-in (407) it did not get or did not accept.
std::unique_ptr<http_exception> make_proxy_sign_in_error(const std::u16string& via);
std::unique_ptr<http_exception> make_length_error(int64_t full_size, int64_t requested_size, int64_t content_len);

}  // namespace http
}  // namespace vela
