// Error kinds of the JSON code: Error.Common.JSON and its two children.
#pragma once

#include "err/error.h"

namespace Common::JSON::Errors {

struct Base_traits {
  using parent = Common::Errors::Base_traits;
  static const char* word() { return "JSON"; }
};

// Creating a value failed, or the parser rejected a text.
struct Failed_traits {
  using parent = Base_traits;
  static const char* word() { return "Failed"; }
};

// A value is not of the type a conversion needs.
struct BadCast_traits {
  using parent = Base_traits;
  static const char* word() { return "BadCast"; }
};

using Base = Err::GenericError<Base_traits>;
using Failed = Err::GenericError<Failed_traits>;
using BadCast = Err::GenericError<BadCast_traits>;

}  // namespace Common::JSON::Errors
