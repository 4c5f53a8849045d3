// Substrings, search, padding, trimming and number renderings.
#include "runtime/string_helpers.h"

#include <gtest/gtest.h>

using namespace kelpora;

namespace {

TEST(StringHelpers, MidCountsFromOne) {
  EXPECT_EQ(Mid(u"abcde", 2, 3), u"bcd");
  EXPECT_EQ(Mid(u"abcde", 0, 3), u"ab");  // the place before the text uses up count
  EXPECT_EQ(Mid(u"abcde", -1, 3), u"a");
  EXPECT_EQ(Mid(u"abcde", 2, -1), u"bcde");
  EXPECT_EQ(Mid(u"abcde", 0, -1), u"abcde");  // places before the text add no blanks
  EXPECT_EQ(Mid(u"abcde", -3, -1), u"abcde");
  EXPECT_EQ(Mid(u"abcde", 4, 10), u"de");
  EXPECT_EQ(Mid(u"abcde", 6, 1), u"");
  EXPECT_EQ(Mid(u"abcde", 5, 1), u"e");
  EXPECT_EQ(Mid(u"abcde", 1, 0), u"");
  EXPECT_EQ(Mid(u"", 1, 1), u"");
}

TEST(StringHelpers, InstrSearchesFromAOneBasedStart) {
  EXPECT_EQ(Instr(u"abcabc", u"bc"), 2);
  EXPECT_EQ(Instr(u"abcabc", u"bc", 3), 5);
  EXPECT_EQ(Instr(u"abcabc", u"bc", 6), 0);
  EXPECT_EQ(Instr(u"abcabc", u"x"), 0);
  EXPECT_EQ(Instr(u"abc", u"a", -4), 1);
  EXPECT_EQ(Instr(u"abc", u"c", 100), 0);
}

TEST(StringHelpers, LeftRightAndPadding) {
  EXPECT_EQ(Left(u"abc", 2), u"ab");
  EXPECT_EQ(Left(u"abc", 9), u"abc");
  EXPECT_EQ(Right(u"abc", 2), u"bc");
  EXPECT_EQ(Right(u"abc", 9), u"abc");
  EXPECT_EQ(Left(u"abc", -1), u"");
  EXPECT_EQ(LSet(u"abc", 5), u"abc  ");
  EXPECT_EQ(RSet(u"abc", 5), u"  abc");
  EXPECT_EQ(LSet(u"abcde", 3), u"abc");
  EXPECT_EQ(RSet(u"abcde", 3), u"cde");
  EXPECT_EQ(LSet(u"abc", 0), u"");
}

TEST(StringHelpers, ReplaceTrimAndCase) {
  EXPECT_EQ(Replace(u"a.b.c", u".", u"::"), u"a::b::c");
  EXPECT_EQ(Replace(u"aaa", u"aa", u"b"), u"ba");
  EXPECT_EQ(Replace(u"abc", u"", u"x"), u"abc");
  EXPECT_EQ(Trim(u" \t\r\n ab c\x01 "), u"ab c");
  EXPECT_EQ(Trim(u"   "), u"");
  EXPECT_EQ(Lower(u"HeLLo \u00c9"), u"hello \u00c9");
  EXPECT_EQ(Upper(u"hello \u00e9"), u"HELLO \u00e9");
}

TEST(StringHelpers, HexAndBinaryAreFixedWidthAndUnsigned) {
  EXPECT_EQ(Hex(-1), u"FFFFFFFF");
  EXPECT_EQ(Hex(0), u"00000000");
  EXPECT_EQ(Hex(0x1234ABCD), u"1234ABCD");
  EXPECT_EQ(Hex(INT32_MIN), u"80000000");
  EXPECT_EQ(Bin(5), String(29, u'0') + u"101");
  EXPECT_EQ(Bin(-1), String(32, u'1'));
  EXPECT_EQ(Bin(INT32_MIN), u"1" + String(31, u'0'));
  EXPECT_EQ(LongHex(-1), String(16, u'F'));
  EXPECT_EQ(LongHex(0x0123456789ABCDEFLL), u"0123456789ABCDEF");
  EXPECT_EQ(LongHex(INT64_MIN), u"8000000000000000");
  EXPECT_EQ(LongBin(1), String(63, u'0') + u"1");
  EXPECT_EQ(LongBin(0x100000000LL), String(31, u'0') + u"1" + String(32, u'0'));
}

}  // namespace
