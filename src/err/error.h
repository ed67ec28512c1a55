// The library's exception classes for its non-HTTP code. Each kind of error
// is its own class with a dotted name built from its ancestry
// ("Error.Common.JSON.Failed"), so callers can catch a whole family through
// its base kind.
#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <type_traits>

namespace Err {

class Error : public std::system_error {
 public:
  // The error code is always kCode in `category`, whose message for it is
  // empty: the standard text is "message: ", or empty for an empty message.
  static constexpr int kCode = 16001;

  Error(const char* message, const std::error_category& category);
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  ~Error() override;

  const char* what() const noexcept override;
  [[noreturn]] virtual void rethrow() const;
  virtual const std::string& name() const;
  virtual const std::string& fullName() const;
  virtual std::shared_ptr<Error> clone() const;

  static const std::string& kindName();

 protected:
  // The text std::system_error composed, "Unknown exception" standing in for
  // a missing one.
  const char* standardText() const noexcept;
};

class Error2 : public Error {
 public:
  explicit Error2(const std::string& message);
  Error2(const Error2&) = default;
  Error2& operator=(const Error2&) = default;
  ~Error2() override;

  // "[<name>]" followed by " <standard text>" when there is one; rendered on
  // first use and kept with the object (copies included).
  const char* what() const noexcept override;
  [[noreturn]] void rethrow() const override;
  const std::string& name() const override;
  const std::string& fullName() const override;
  std::shared_ptr<Error> clone() const override;

  static const std::string& kindName();

 private:
  mutable std::string renderedWhat_;
  mutable std::string renderedFullName_;
};

template <typename Traits>
class GenericError;

namespace details {
// A kind whose traits name no parent kind derives from Error2 directly.
template <typename Traits>
using ParentError =
    std::conditional_t<std::is_void_v<typename Traits::parent>, Error2, GenericError<typename Traits::parent>>;
}  // namespace details

// Traits give the parent kind's traits (`parent`, void for a top kind) and the
// kind's own word (`word()`).
template <typename Traits>
class GenericError : public details::ParentError<Traits> {
  using Parent = details::ParentError<Traits>;

 public:
  explicit GenericError(const std::string& message) : Parent(message) {}
  GenericError(const GenericError&) = default;
  GenericError& operator=(const GenericError&) = default;
  ~GenericError() override = default;

  [[noreturn]] void rethrow() const override { throw *this; }
  const std::string& name() const override { return kindName(); }
  std::shared_ptr<Error> clone() const override { return std::make_shared<GenericError>(*this); }

  static const std::string& kindName() {
    static const std::string name = Parent::kindName() + "." + Traits::word();
    return name;
  }
};

}  // namespace Err

namespace Common::Errors {

struct Base_traits {
  using parent = void;
  static const char* word() { return "Common"; }
};

using Base = Err::GenericError<Base_traits>;

}  // namespace Common::Errors
