#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/format_message.h"

namespace {

std::u16string format(const std::u16string& text, const std::vector<std::u16string>& arguments) {
  return ql::formatMessage(text.data(), text.size(), arguments);
}

TEST(FormatMessage, FillsTheLibraryTexts) {
  EXPECT_EQ(ql::formatMessage(u"Logger created (%0)", std::string("x")), u"Logger created (x)");
  EXPECT_EQ(
      ql::formatMessage(u"Failed to load JSON data (%0); line: %1; col: %2; byte: %3", std::string("e"), 3, 7, 42),
      u"Failed to load JSON data (e); line: 3; col: 7; byte: 42");
  EXPECT_EQ(ql::formatMessage(u"(%0) %1 %2 %3", std::string(""), -1, -2147483647 - 1, 0), u"() -1 -2147483648 0");
}

TEST(FormatMessage, NarrowArgumentsAreWidenedByteForByte) {
  // No UTF-8 decoding: every byte is one sign-extended unit.
  const std::u16string result = ql::formatMessage(u"[%0]", std::string("\xC3\xA9"));
  EXPECT_EQ(result, (std::u16string{u'[', 0xFFC3, 0xFFA9, u']'}));
}

TEST(FormatMessage, PlaceholderNumbersSelectArgumentsByRank) {
  EXPECT_EQ(format(u"%1 and %1", {u"x"}), u"x and x");
  EXPECT_EQ(format(u"%5 before %3", {u"a", u"b"}), u"b before a");
  EXPECT_EQ(format(u"%7-%3-%7", {u"first", u"second"}), u"second-first-second");
  EXPECT_EQ(format(u"%10 %2", {u"a", u"b"}), u"b a");
  // Arguments without a placeholder are ignored.
  EXPECT_EQ(format(u"only %0", {u"a", u"b", u"c"}), u"only a");
}

TEST(FormatMessage, PlaceholdersWithoutArgumentStayAsWritten) {
  EXPECT_EQ(format(u"(%0) (%1)", {u"x"}), u"(x) (%1)");
  EXPECT_EQ(format(u"%1 %0 %1", {u"x"}), u"%1 x %1");
  EXPECT_EQ(format(u"%42 then %99", {u"a"}), u"a then %99");
}

TEST(FormatMessage, PercentSignsThatStartNoPlaceholderAreLiteral) {
  for (const std::vector<std::u16string>& arguments :
       {std::vector<std::u16string>{u"x"}, std::vector<std::u16string>{u"x", u"y"}}) {
    EXPECT_EQ(format(u"100%", arguments), u"100%");
    EXPECT_EQ(format(u"%x", arguments), u"%x");
    EXPECT_EQ(format(u"%", arguments), u"%");
  }
  EXPECT_EQ(format(u"%%0", {u"x"}), u"%x");
  EXPECT_EQ(format(u"50%% of %0%", {u"x"}), u"50%% of x%");
}

TEST(FormatMessage, AtMostTwoDigitsAreTaken) {
  EXPECT_EQ(format(u"%123", {u"x"}), u"x3");
  EXPECT_EQ(format(u"%0123", {u"x", u"y"}), u"x23");
  EXPECT_EQ(format(u"%1%2", {u"a", u"b"}), u"ab");
}

TEST(FormatMessage, WithoutArgumentsTheTextIsCutAtItsFirstNul) {
  EXPECT_EQ(format(u"keep %0 and %1", {}), u"keep %0 and %1");
  const std::u16string withNul(u"ab\0cd", 5);
  EXPECT_EQ(format(withNul, {}), u"ab");
  EXPECT_EQ(ql::formatMessage(std::u16string_view(u"plain %3")), u"plain %3");
  // The given length still bounds the read when there is no NUL inside it.
  const char16_t unterminated[] = {u'a', u'b', u'c'};
  EXPECT_EQ(ql::formatMessage(unterminated, 2, {}), u"ab");
}

TEST(FormatMessage, WithArgumentsTheGivenLengthIsCopiedNulsIncluded) {
  const std::u16string withNul(u"%0\0z", 4);
  EXPECT_EQ(format(withNul, {u"x"}), std::u16string(u"x\0z", 3));
  // Only `length` units count: a placeholder beyond it is not seen.
  const std::u16string text = u"%0|%1";
  EXPECT_EQ(ql::formatMessage(text.data(), 3, {u"a", u"b"}), u"a|");
  // A '%' cut off from its digit by the length ends the scan.
  EXPECT_EQ(ql::formatMessage(text.data(), 4, {u"a", u"b"}), u"a|%");
}

TEST(FormatMessage, ArgumentsAreInsertedVerbatimAndNotScannedAgain) {
  EXPECT_EQ(format(u"%0 %1", {u"%1", u"y"}), u"%1 y");
  EXPECT_EQ(format(u"[%0]", {u""}), u"[]");
}

TEST(FormatMessage, EmptyFormatGivesEmptyResult) {
  EXPECT_EQ(format(u"", {u"x"}), u"");
  EXPECT_EQ(format(u"", {}), u"");
  EXPECT_EQ(ql::formatMessage(nullptr, 0, {u"x"}), u"");
}

}  // namespace
