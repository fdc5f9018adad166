#include <corekit/corekit.h>

#include <gtest/gtest.h>

#include <climits>

TEST(StrToInt, AcceptsDecimalWithSign)
{
    EXPECT_EQ(StrToInt(u"0"), 0);
    EXPECT_EQ(StrToInt(u"+17"), 17);
    EXPECT_EQ(StrToInt(u"-17"), -17);
    EXPECT_EQ(StrToInt(u"2147483647"), INT_MAX);
    EXPECT_EQ(StrToInt(u"-2147483648"), INT_MIN);
    EXPECT_EQ(StrToInt(u"007"), 7);
}

TEST(StrToInt, AcceptsHexadecimalPrefixes)
{
    EXPECT_EQ(StrToInt(u"0xb4"), 180);
    EXPECT_EQ(StrToInt(u"0XB4"), 180);
    EXPECT_EQ(StrToInt(u"$1E0"), 480);
    EXPECT_EQ(StrToInt(u"-$10"), -16);
    // A full 32-bit pattern is the signed value with the same bits.
    EXPECT_EQ(StrToInt(u"$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt(u"0x80000000"), INT_MIN);
}

TEST(StrToInt, RejectsEverythingElse)
{
    for (const char16_t *bad : {u"", u" 1", u"1 ", u"+", u"-", u"0x", u"$", u"1.5", u"12a", u"0x1g", u"--1",
                                u"2147483648", u"-2147483649", u"0x100000000", u"\uFF11"})
        EXPECT_THROW(StrToInt(bad), EConvertError) << UnicodeToUtf8(bad);
}

TEST(StrToInt64, CoversTheWholeRange)
{
    EXPECT_EQ(StrToInt64(u"9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(StrToInt64(u"-9223372036854775808"), LLONG_MIN);
    EXPECT_THROW(StrToInt64(u"9223372036854775808"), EConvertError);
    // Negated hexadecimal bit patterns wrap as they do in 32 bits, without overflowing.
    EXPECT_EQ(StrToInt(u"-$FFFFFFFF"), 1);
    EXPECT_EQ(StrToInt64(u"-$FFFFFFFFFFFFFFFF"), 1);
    EXPECT_EQ(StrToInt64(u"-$8000000000000000"), LLONG_MIN);
    EXPECT_EQ(StrToInt64(u"-0x8000000000000001"), LLONG_MAX);
}

TEST(Utf, RoundTripsCyrillicAndAstralCharacters)
{
    const UnicodeString text = u"Привет, мир \U0001F600 end";
    EXPECT_EQ(Utf8ToUnicode(UnicodeToUtf8(text)), text);
    EXPECT_EQ(UnicodeToUtf8(u"Ж"), "\xD0\x96");
}

TEST(Utf, ReplacesBrokenInputInsteadOfFailing)
{
    EXPECT_EQ(Utf8ToUnicode("a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUnicode("\xD0"), u"\uFFFD");           // truncated sequence
    EXPECT_EQ(Utf8ToUnicode("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong
    EXPECT_EQ(UnicodeToUtf8(UnicodeString(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(DateTime, UnixRoundTripAndEpoch)
{
    const long long t = 1700000000;
    EXPECT_EQ(DateTimeToUnix(UnixToDateTime(t)), t);
    const TDateTime now = Now();
    EXPECT_GT(now, 45000.0); // after 2023
    EXPECT_LT(now, 80000.0);
}
