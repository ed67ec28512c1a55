// The error category of the Err classes: core codes above 15999 with their
// own texts, everything else read as a Windows system error code.
#pragma once

#include <string>
#include <system_error>

namespace Err::details {

class ErrCategory : public std::error_category {
 public:
  // The single instance, created on first use.
  static const ErrCategory& instance();

  const char* name() const noexcept override;
  std::string message(int code) const override;  // never throws
  std::error_condition default_error_condition(int code) const noexcept override;
  // True for a code of this category whose condition has the value `value`;
  // the condition's category is not compared.
  bool equivalent(const std::error_code& code, int value) const noexcept override;
  bool equivalent(int code, const std::error_condition& condition) const noexcept override;

 private:
  ErrCategory() = default;
};

}  // namespace Err::details
