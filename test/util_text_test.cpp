#include <gtest/gtest.h>

#include "text/text.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

TEST(WideToUtf8, EncodesEveryLengthClass) {
  EXPECT_EQ(ql::wideToUtf8(u""), "");
  EXPECT_EQ(ql::wideToUtf8(u"A"), "A");
  EXPECT_EQ(ql::wideToUtf8(u"\u00E9"), bytes({0xC3, 0xA9}));
  EXPECT_EQ(ql::wideToUtf8(u"\u07FF\u0800"), bytes({0xDF, 0xBF, 0xE0, 0xA0, 0x80}));
  EXPECT_EQ(ql::wideToUtf8(u"\uFFFF"), bytes({0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(ql::wideToUtf8(std::u16string{0xD83D, 0xDE00}), bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(ql::wideToUtf8(std::u16string{0xDBFF, 0xDFFF}), bytes({0xF4, 0x8F, 0xBF, 0xBF}));
}

TEST(WideToUtf8, BrokenSurrogatesGiveTheFallbackAndNoPartialText) {
  EXPECT_EQ(ql::wideToUtf8(std::u16string{u'x', 0xD83D, u'A'}), "(invalid string)");
  EXPECT_EQ(ql::wideToUtf8(std::u16string{u'x', 0xD83D}), "(invalid string)");
  EXPECT_EQ(ql::wideToUtf8(std::u16string{0xDE00, u'x'}), "(invalid string)");
  std::string out = "stale";
  EXPECT_FALSE(ql::utf16ToUtf8(std::u16string{0xD800, 0xD800}, out));
  EXPECT_TRUE(out.empty());
}

TEST(Utf8ToWide, DecodesEveryLengthClass) {
  EXPECT_EQ(ql::utf8ToWide("", 0), u"");
  std::string pair = bytes({0xF0, 0x9F, 0x98, 0x80});
  EXPECT_EQ(ql::utf8ToWide(pair.data(), pair.size()), (std::u16string{0xD83D, 0xDE00}));
  std::string mixed = "a" + bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC});
  EXPECT_EQ(ql::utf8ToWide(mixed.data(), mixed.size()), u"a\u00E9\u20AC");
  // The length, not a NUL, ends the input.
  std::string withNul("a\0b", 3);
  EXPECT_EQ(ql::utf8ToWide(withNul.data(), withNul.size()), std::u16string(u"a\0b", 3));
}

TEST(Utf8ToWide, IllFormedInputGivesEmptyText) {
  for (const std::string& bad : {bytes({0x80}), bytes({0xC3, 0x41}), bytes({0x41, 0xC3}), bytes({0xE2, 0x82}),
                                 bytes({0xF0, 0x9F, 0x98}), bytes({0xC0, 0xAF}),  // overlong '/'
                                 bytes({0xED, 0xA0, 0x80}),                       // surrogate code point
                                 bytes({0xF4, 0x90, 0x80, 0x80}),                 // above U+10FFFF
                                 bytes({0xF8, 0x88, 0x80, 0x80, 0x80})}) {
    EXPECT_EQ(ql::utf8ToWide(bad.data(), bad.size()), u"") << "input of " << bad.size() << " bytes";
  }
  EXPECT_EQ(ql::utf8ToWide(nullptr, 3), u"");
}

TEST(WidenBytes, SignExtendsEachByte) {
  std::string in = bytes({0x41, 0x00, 0x7F, 0x80, 0xC3, 0xFF});
  EXPECT_EQ(ql::widenBytes(in), (std::u16string{0x0041, 0x0000, 0x007F, 0xFF80, 0xFFC3, 0xFFFF}));
  EXPECT_EQ(ql::widenBytes(std::string()), u"");
}

TEST(ToDecimalText, RendersSignedAndUnsignedExtremes) {
  EXPECT_EQ(ql::toDecimalText(int32_t{0}), u"0");
  EXPECT_EQ(ql::toDecimalText(int32_t{395}), u"395");
  EXPECT_EQ(ql::toDecimalText(int32_t{-12}), u"-12");
  EXPECT_EQ(ql::toDecimalText(INT32_MIN), u"-2147483648");
  EXPECT_EQ(ql::toDecimalText(INT32_MAX), u"2147483647");
  EXPECT_EQ(ql::toDecimalText(uint32_t{4294967295u}), u"4294967295");
  EXPECT_EQ(ql::toDecimalText(uint32_t{10}), u"10");
}

}  // namespace
