// Errors of the logging framework, handed to a core's failure handler.
#pragma once

#include <exception>
#include <string>

namespace Log::Errors {

class Base : public std::exception {
 public:
  explicit Base(std::string message) : message_(std::move(message)) {}
  ~Base() override = default;
  const char* what() const noexcept override { return message_.c_str(); }
  [[noreturn]] virtual void rethrow() const { throw *this; }

 private:
  std::string message_;
};

class Failed : public Base {
 public:
  explicit Failed(std::string message) : Base(std::move(message)) {}
  ~Failed() override = default;
  const char* what() const noexcept override { return Base::what(); }
  [[noreturn]] void rethrow() const override { throw *this; }
};

}  // namespace Log::Errors
