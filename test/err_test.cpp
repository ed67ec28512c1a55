#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string>
#include <system_error>

#include "err/err_category.h"
#include "err/error.h"
#include "json/json_errors.h"
#include "support/system_text.h"

namespace {

using Err::details::ErrCategory;
namespace JsonErrors = Common::JSON::Errors;

const std::error_category& category() { return ErrCategory::instance(); }

TEST(ErrorKinds, NamesAreBuiltFromTheAncestry) {
  EXPECT_EQ(Err::Error("m", category()).name(), "Error");
  EXPECT_EQ(Err::Error2("m").name(), "Error");
  EXPECT_EQ(Common::Errors::Base("m").name(), "Error.Common");
  EXPECT_EQ(JsonErrors::Base("m").name(), "Error.Common.JSON");
  EXPECT_EQ(JsonErrors::Failed("m").name(), "Error.Common.JSON.Failed");
  EXPECT_EQ(JsonErrors::BadCast("m").name(), "Error.Common.JSON.BadCast");
  // The name follows the dynamic class, also through a base reference.
  const JsonErrors::Failed failed("m");
  const Err::Error& asBase = failed;
  EXPECT_EQ(asBase.name(), "Error.Common.JSON.Failed");
  EXPECT_EQ(asBase.fullName(), "Error.Common.JSON.Failed");
  EXPECT_EQ(Err::Error("m", category()).fullName(), "Error");
  // One string per kind, kept for the life of the library.
  EXPECT_EQ(&JsonErrors::Failed("a").name(), &JsonErrors::Failed("b").name());
}

TEST(ErrorKinds, EveryKindIsCaughtThroughItsAncestors) {
  auto caughtAs = [](auto thrower) {
    std::string path;
    try {
      thrower();
    } catch (const JsonErrors::Failed&) {
      path += "Failed ";
    } catch (...) {
    }
    try {
      thrower();
    } catch (const JsonErrors::BadCast&) {
      path += "BadCast ";
    } catch (...) {
    }
    try {
      thrower();
    } catch (const JsonErrors::Base&) {
      path += "JSON ";
    } catch (...) {
    }
    try {
      thrower();
    } catch (const Common::Errors::Base&) {
      path += "Common ";
    } catch (...) {
    }
    try {
      thrower();
    } catch (const Err::Error2&) {
      path += "Error2 ";
    } catch (...) {
    }
    try {
      thrower();
    } catch (const std::system_error& e) {
      if (e.code().value() == 16001 && &e.code().category() == &category()) path += "system";
    } catch (...) {
    }
    return path;
  };
  EXPECT_EQ(caughtAs([] { throw JsonErrors::Failed("x"); }), "Failed JSON Common Error2 system");
  EXPECT_EQ(caughtAs([] { throw JsonErrors::BadCast(""); }), "BadCast JSON Common Error2 system");
  EXPECT_EQ(caughtAs([] { throw Common::Errors::Base("x"); }), "Common Error2 system");
}

TEST(ErrorKinds, WhatRendersNameAndStandardText) {
  EXPECT_STREQ(JsonErrors::Failed("x").what(), "[Error.Common.JSON.Failed] x: ");
  EXPECT_STREQ(Err::Error2("").what(), "[Error]");
  EXPECT_STREQ(JsonErrors::BadCast("").what(), "[Error.Common.JSON.BadCast]");
  EXPECT_STREQ(Err::Error("plain", category()).what(), "plain: ");
  EXPECT_STREQ(Err::Error("", category()).what(), "");
  EXPECT_STREQ(Err::Error(nullptr, category()).what(), "");
  // Another category's message for 16001 joins the standard text.
  EXPECT_EQ(std::string(Err::Error("m", std::generic_category()).what()),
            "m: " + std::generic_category().message(16001));
}

TEST(ErrorKinds, RenderedTextIsCachedAndTravelsWithCopies) {
  const JsonErrors::Failed original("x");
  const char* first = original.what();
  EXPECT_EQ(original.what(), first);  // the same buffer: rendered once
  const JsonErrors::Failed copy = original;
  EXPECT_STREQ(copy.what(), "[Error.Common.JSON.Failed] x: ");
  EXPECT_EQ(copy.fullName(), "Error.Common.JSON.Failed");
  const std::exception& asStd = copy;
  EXPECT_STREQ(asStd.what(), first);
}

TEST(ErrorKinds, CloneAndRethrowKeepTheDynamicClass) {
  const JsonErrors::BadCast original("");
  const Err::Error& asBase = original;
  const std::shared_ptr<Err::Error> clone = asBase.clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_NE(clone.get(), &asBase);
  EXPECT_NE(dynamic_cast<JsonErrors::BadCast*>(clone.get()), nullptr);
  EXPECT_EQ(dynamic_cast<JsonErrors::Failed*>(clone.get()), nullptr);
  EXPECT_STREQ(clone->what(), "[Error.Common.JSON.BadCast]");
  EXPECT_THROW(clone->rethrow(), JsonErrors::BadCast);

  const std::shared_ptr<Err::Error> failedClone = JsonErrors::Failed("f").clone();
  try {
    failedClone->rethrow();
    FAIL() << "rethrow returned";
  } catch (const JsonErrors::BadCast&) {
    FAIL() << "caught as the wrong kind";
  } catch (const JsonErrors::Failed& error) {
    EXPECT_STREQ(error.what(), "[Error.Common.JSON.Failed] f: ");
  }

  // The plain classes clone and rethrow as themselves, not as a derived kind.
  const std::shared_ptr<Err::Error> plain = Err::Error("p", category()).clone();
  EXPECT_EQ(dynamic_cast<Err::Error2*>(plain.get()), nullptr);
  EXPECT_STREQ(plain->what(), "p: ");
  const std::shared_ptr<Err::Error> second = Err::Error2("q").clone();
  EXPECT_EQ(dynamic_cast<Common::Errors::Base*>(second.get()), nullptr);
  EXPECT_THROW(second->rethrow(), Err::Error2);
  try {
    second->rethrow();
  } catch (const Common::Errors::Base&) {
    FAIL() << "an Error2 must not be caught as a Common error";
  } catch (const Err::Error2& error) {
    EXPECT_STREQ(error.what(), "[Error] q: ");
  }
}

TEST(ErrCategoryTest, NameAndCoreMessages) {
  EXPECT_STREQ(category().name(), "Error.Error.Category");
  EXPECT_EQ(&ErrCategory::instance(), &ErrCategory::instance());
  EXPECT_EQ(category().message(16000), "unknown error");
  EXPECT_EQ(category().message(16001), "");
  EXPECT_EQ(category().message(16002), "access denied");
  EXPECT_EQ(category().message(16007), "missing library");
  EXPECT_EQ(category().message(16009), "unable prepare update dir");
  EXPECT_EQ(category().message(16013), "JSON parsing failed");
  EXPECT_EQ(category().message(16014), "already running");
  EXPECT_EQ(category().message(16008), "unknown core error");
  EXPECT_EQ(category().message(16015), "unknown core error");
  EXPECT_EQ(category().message(20000), "unknown core error");
}

TEST(ErrCategoryTest, SystemMessagesAreTrimmed) {
  const std::string text = category().message(2);
  EXPECT_EQ(text, quillet_test::systemText(2, "The system cannot find the file specified."));
  EXPECT_EQ(category().message(5), quillet_test::systemText(5, "Access is denied."));
  // A code without a system text gives the empty string.
  EXPECT_EQ(category().message(15999), "");
  EXPECT_EQ(category().message(-7), "");
}

TEST(ErrCategoryTest, DefaultConditionsMapFamiliesOfCodes) {
  struct Case {
    int code;
    int value;
  };
  for (const Case& c : {Case{5, 1}, Case{33, 1}, Case{167, 1}, Case{16002, 1}, Case{112, 2}, Case{16003, 2},
                        Case{16010, 4}, Case{16013, 4}, Case{2, 5}, Case{206, 5}, Case{16004, 5}, Case{6, 6},
                        Case{87, 6}, Case{16005, 6}, Case{8, 7}, Case{16006, 7}}) {
    const std::error_condition condition = category().default_error_condition(c.code);
    EXPECT_EQ(condition.value(), c.value) << c.code;
    EXPECT_EQ(&condition.category(), &category()) << c.code;
  }
  EXPECT_EQ(category().default_error_condition(5), category().default_error_condition(16002));
  for (int code : {16007, 16000, 0, 4, 16014}) {
    const std::error_condition condition = category().default_error_condition(code);
    EXPECT_EQ(condition.value(), code);
    EXPECT_EQ(condition.category(), std::system_category()) << code;
  }
}

TEST(ErrCategoryTest, Equivalence) {
  const std::error_code ours(5, category());
  const std::error_code system(5, std::system_category());
  EXPECT_TRUE(category().equivalent(ours, 1));
  EXPECT_FALSE(category().equivalent(ours, 5));
  EXPECT_FALSE(category().equivalent(system, 1));
  EXPECT_TRUE(category().equivalent(std::error_code(16013, category()), 4));
  EXPECT_TRUE(category().equivalent(std::error_code(16007, category()), 16007));

  // The standard form compares value and category of the condition.
  EXPECT_TRUE(category().equivalent(87, std::error_condition(6, category())));
  EXPECT_FALSE(category().equivalent(87, std::error_condition(6, std::system_category())));
  EXPECT_TRUE(category().equivalent(16007, std::error_condition(16007, std::system_category())));
  EXPECT_FALSE(category().equivalent(16007, std::error_condition(16007, category())));
  // And the standard comparison operators go through it.
  EXPECT_TRUE(std::error_code(16002, category()) == std::error_condition(1, category()));
  EXPECT_FALSE(std::error_code(16002, category()) == std::error_condition(2, category()));
}

}  // namespace
