#include "err/error.h"

#include "err/err_category.h"

namespace Err {
namespace {

// std::system_error appends ": " even to an empty message; an empty message
// must leave the standard text empty.
std::system_error makeSystemError(const char* message, const std::error_category& category) {
  const std::error_code code(Error::kCode, category);
  if (message == nullptr || *message == '\0') return std::system_error(code);
  return std::system_error(code, message);
}

}  // namespace

Error::Error(const char* message, const std::error_category& category)
    : std::system_error(makeSystemError(message, category)) {}

Error::~Error() = default;

const char* Error::standardText() const noexcept {
  const char* text = std::system_error::what();
  return text != nullptr ? text : "Unknown exception";
}

const char* Error::what() const noexcept { return standardText(); }

void Error::rethrow() const { throw *this; }

const std::string& Error::kindName() {
  static const std::string name = "Error";
  return name;
}

const std::string& Error::name() const { return kindName(); }

const std::string& Error::fullName() const { return name(); }

std::shared_ptr<Error> Error::clone() const { return std::make_shared<Error>(*this); }

Error2::Error2(const std::string& message) : Error(message.c_str(), details::ErrCategory::instance()) {}

Error2::~Error2() = default;

const char* Error2::what() const noexcept {
  if (renderedWhat_.empty()) {
    try {
      std::string text = "[" + name() + "]";
      const std::string standard = standardText();
      if (!standard.empty()) text += " " + standard;
      renderedWhat_ = std::move(text);
    } catch (...) {
      return standardText();
    }
  }
  return renderedWhat_.c_str();
}

void Error2::rethrow() const { throw *this; }

const std::string& Error2::kindName() { return Error::kindName(); }

const std::string& Error2::name() const { return kindName(); }

const std::string& Error2::fullName() const {
  if (renderedFullName_.empty()) renderedFullName_ = name();
  return renderedFullName_;
}

std::shared_ptr<Error> Error2::clone() const { return std::make_shared<Error2>(*this); }

}  // namespace Err
