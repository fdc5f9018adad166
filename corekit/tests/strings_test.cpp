#include <corekit/corekit.h>

#include <gtest/gtest.h>

#include <climits>

TEST(Quote, EnclosesAndDoublesInnerQuotes)
{
    EXPECT_EQ(S_Quote(u""), u"\"\"");
    EXPECT_EQ(S_Quote(u"abc"), u"\"abc\"");
    EXPECT_EQ(S_Quote(u"a\"b"), u"\"a\"\"b\"");
    EXPECT_EQ(S_Quote(u"\""), u"\"\"\"\"");
}

TEST(ThousandSeparators, ThirtyTwoBitGroupsInThrees)
{
    EXPECT_EQ(S_IntToStrTS(0, u','), u"0");
    EXPECT_EQ(S_IntToStrTS(999, u','), u"999");
    EXPECT_EQ(S_IntToStrTS(1000, u'.'), u"1.000");
    EXPECT_EQ(S_IntToStrTS(1234567, u','), u"1,234,567");
    EXPECT_EQ(S_IntToStrTS(123456789, u' '), u"123 456 789");
    EXPECT_EQ(S_IntToStrTS(INT_MAX, u','), u"2,147,483,647");
    EXPECT_EQ(S_IntToStrTS(INT_MIN, u','), u"-2,147,483,648");
}

TEST(ThousandSeparators, SixtyFourBitGroupsInThrees)
{
    EXPECT_EQ(S_IntToStrTs(123, u','), u"123");
    EXPECT_EQ(S_IntToStrTs(1234, u','), u"1,234");
    EXPECT_EQ(S_IntToStrTs(1234567, u','), u"1,234,567");
    EXPECT_EQ(S_IntToStrTs(LLONG_MAX, u','), u"9,223,372,036,854,775,807");
    EXPECT_EQ(S_IntToStrTs(LLONG_MIN, u'.'), u"-9.223.372.036.854.775.808");
}

TEST(ThousandSeparators, NegativeValuesGroupTheDigitsOnly)
{
    // The sign is no digit: no separator directly after it.
    EXPECT_EQ(S_IntToStrTS(-123, u','), u"-123");
    EXPECT_EQ(S_IntToStrTS(-123456, u','), u"-123,456");
    EXPECT_EQ(S_IntToStrTS(-1234, u','), u"-1,234");
    EXPECT_EQ(S_IntToStrTs(-123, u','), u"-123");
    EXPECT_EQ(S_IntToStrTs(-123456789012LL, u','), u"-123,456,789,012");
}

TEST(ThousandSeparators, ReadBackRemovesEverySeparator)
{
    EXPECT_EQ(S_StrToIntTS(u"1 234 567", u' '), 1234567);
    EXPECT_EQ(S_StrToIntTS(u"1,234", u','), 1234);
    EXPECT_EQ(S_StrToIntTS(u"-2,147,483,648", u','), INT_MIN);
    EXPECT_EQ(S_StrToIntTS(S_IntToStrTS(-98765, u'.'), u'.'), -98765);
    EXPECT_THROW(S_StrToIntTS(u"", u','), EConvertError);
    EXPECT_THROW(S_StrToIntTS(u",,,", u','), EConvertError);
    EXPECT_THROW(S_StrToIntTS(u"1.234", u','), EConvertError);
    EXPECT_THROW(S_StrToIntTS(u"2,147,483,648", u','), EConvertError);
}

TEST(Padding, RepeatsAndPadsWithoutCutting)
{
    EXPECT_EQ(S_Space(3, u'*'), u"***");
    EXPECT_EQ(S_Space(0, u'*'), u"");
    EXPECT_EQ(S_Space(-5, u'*'), u"");
    EXPECT_EQ(S_LeftPad(u"abc", 2, u'0'), u"abc");
    EXPECT_EQ(S_LeftPad(u"7", 3, u'0'), u"007");
    EXPECT_EQ(S_LeftPad(u"", 2, u' '), u"  ");
    EXPECT_EQ(S_LeftPad(u"ab", -1, u' '), u"ab");
    EXPECT_EQ(S_RightPad(u"ab", 4, u'.'), u"ab..");
    EXPECT_EQ(S_RightPad(u"abcde", 4, u'.'), u"abcde");
    EXPECT_EQ(S_RightPad(u"ab", 2, u'.'), u"ab");
}

TEST(DigitString, OnlyPlainDecimalDigits)
{
    EXPECT_TRUE(S_DigitString(u"0"));
    EXPECT_TRUE(S_DigitString(u"0123456789"));
    EXPECT_FALSE(S_DigitString(u""));
    EXPECT_FALSE(S_DigitString(u"-1"));
    EXPECT_FALSE(S_DigitString(u"+1"));
    EXPECT_FALSE(S_DigitString(u"1 "));
    EXPECT_FALSE(S_DigitString(u"1,000"));
    EXPECT_FALSE(S_DigitString(u"12a"));
    EXPECT_FALSE(S_DigitString(u"\uFF11")); // full-width one
}

TEST(StrToCharr, CutsToFitAndAlwaysTerminates)
{
    char16_t buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    S_StrToCharr(u"hello", buf, 3);
    EXPECT_EQ(UnicodeString(buf), u"he");
    EXPECT_EQ(buf[3], u'#');

    std::fill(std::begin(buf), std::end(buf), u'#');
    S_StrToCharr(u"hello", buf, 1);
    EXPECT_EQ(buf[0], u'\0');
    EXPECT_EQ(buf[1], u'#');

    std::fill(std::begin(buf), std::end(buf), u'#');
    S_StrToCharr(u"hi", buf, 8);
    EXPECT_EQ(UnicodeString(buf), u"hi");
    EXPECT_EQ(buf[3], u'#');

    // Nothing is written for sizes that leave no room for the terminator.
    std::fill(std::begin(buf), std::end(buf), u'#');
    S_StrToCharr(u"hi", buf, 0);
    S_StrToCharr(u"hi", buf, -4);
    EXPECT_EQ(buf[0], u'#');
    S_StrToCharr(u"hi", nullptr, 4);
}

TEST(AfterBefore, SplitAtTheLastOccurrence)
{
    EXPECT_EQ(S_After(u"a.b.c", u'.'), u"c");
    EXPECT_EQ(S_Before(u"a.b.c", u'.'), u"a.b");
    EXPECT_EQ(S_After(u"name.", u'.'), u"");
    EXPECT_EQ(S_After(u"name", u'.'), u"");
    EXPECT_EQ(S_After(u"", u'.'), u"");
    EXPECT_EQ(S_Before(u".ext", u'.'), u"");
    EXPECT_EQ(S_Before(u"name", u'.'), u"");
    EXPECT_EQ(S_Before(u"", u'.'), u"");
    EXPECT_EQ(S_Before(u"name.", u'.'), u"name");
    EXPECT_EQ(S_After(u".ext", u'.'), u"ext");
    EXPECT_EQ(S_After(u"Caption^Value", u'^'), u"Value");
    EXPECT_EQ(S_Before(u"Caption^Value", u'^'), u"Caption");
}

TEST(DivideChoosingSide, PartBeforeOrAfterTheFirstDelimiter)
{
    EXPECT_EQ(S_Divide(u"key=value", u"=", true), u"key");
    EXPECT_EQ(S_Divide(u"key=value", u"=", false), u"value");
    EXPECT_EQ(S_Divide(u"=value", u"=", true), u"");
    EXPECT_EQ(S_Divide(u"=value", u"=", false), u"value");
    EXPECT_EQ(S_Divide(u"key=", u"=", true), u"key");
    EXPECT_EQ(S_Divide(u"key=", u"=", false), u"");
    EXPECT_EQ(S_Divide(u"ab", u"abc", true), u"ab");
    EXPECT_EQ(S_Divide(u"abc", u"abc", false), u"abc");
    EXPECT_EQ(S_Divide(u"a=b=c", u"=", true), u"a");
    EXPECT_EQ(S_Divide(u"a=b=c", u"=", false), u"b=c");
    EXPECT_EQ(S_Divide(u"plain", u"=", false), u"plain");
    EXPECT_EQ(S_Divide(u"plain", u"", true), u"plain");
    EXPECT_EQ(S_Divide(u"C:\\Windows", u"\\", true), u"C:");
    EXPECT_EQ(S_Divide(u"/usr", u"/", true), u"");
    EXPECT_EQ(S_Divide(u"one::two", u"::", true), u"one");
    EXPECT_EQ(S_Divide(u"one::two", u"::", false), u"two");
    EXPECT_EQ(S_Divide(u"one::", u"::", false), u"");
}

TEST(DivideWithRest, ReturnsFirstPartAndSetsRest)
{
    UnicodeString rest = u"stale";
    EXPECT_EQ(S_Divide(u"key=value", u"=", rest), u"key");
    EXPECT_EQ(rest, u"value");

    rest = u"stale";
    EXPECT_EQ(S_Divide(u"=value", u"=", rest), u"");
    EXPECT_EQ(rest, u"=value");

    rest = u"stale";
    EXPECT_EQ(S_Divide(u"key=", u"=", rest), u"key=");
    EXPECT_EQ(rest, u"");

    rest = u"stale";
    EXPECT_EQ(S_Divide(u"plain", u"=", rest), u"plain");
    EXPECT_EQ(rest, u"");

    rest = u"stale";
    EXPECT_EQ(S_Divide(u"", u"=", rest), u"");
    EXPECT_EQ(rest, u"");

    rest = u"stale";
    EXPECT_EQ(S_Divide(u"ab", u"abc", rest), u"ab");
    EXPECT_EQ(rest, u"");
}

TEST(DivideWithRest, TheRestMayBeTheTextItself)
{
    UnicodeString text = u"aa=bb=cc";
    EXPECT_EQ(S_Divide(text, u"=", text), u"aa");
    EXPECT_EQ(text, u"bb=cc");
    EXPECT_EQ(S_Divide(text, u"=", text), u"bb");
    EXPECT_EQ(text, u"cc");
    EXPECT_EQ(S_Divide(text, u"=", text), u"cc");
    EXPECT_EQ(text, u"");

    UnicodeString delimiter = u"=";
    EXPECT_EQ(S_Divide(u"k=vw", delimiter, delimiter), u"k");
    EXPECT_EQ(delimiter, u"vw");
}

TEST(DivideWithRest, ADelimiterFollowedByOneCharacterCountsAsAtTheEnd)
{
    // Unlike the overload that chooses a side, one character after the delimiter is not
    // split off: the text comes back whole and rest stays empty.
    const struct {
        const char16_t *text, *delimiter, *result, *rest;
    } cases[] = {
        {u"ab=c", u"=", u"ab=c", u""},  {u"a::b", u"::", u"a::b", u""}, {u"k=v", u"=", u"k=v", u""},
        {u"ab=cd", u"=", u"ab", u"cd"}, {u"a::bc", u"::", u"a", u"bc"}, {u"=c", u"=", u"", u"=c"},
    };
    for (const auto &c : cases) {
        UnicodeString rest = u"stale";
        EXPECT_EQ(S_Divide(c.text, c.delimiter, rest), c.result);
        EXPECT_EQ(rest, c.rest);
    }
}

TEST(Count, CharactersAndNonOverlappingSubstrings)
{
    EXPECT_EQ(S_Count(u"a.b.c", u'.'), 2);
    EXPECT_EQ(S_Count(u"", u'.'), 0);
    EXPECT_EQ(S_Count(u"abc", u'.'), 0);
    EXPECT_EQ(S_Count(u"aaaa", u"aa"), 2);
    EXPECT_EQ(S_Count(u"aaa", u"aa"), 1);
    EXPECT_EQ(S_Count(u"abcabcab", u"abc"), 2);
    EXPECT_EQ(S_Count(u"abc", u""), 0);
    EXPECT_EQ(S_Count(u"", u"a"), 0);
    EXPECT_EQ(S_Count(u"ab", u"abc"), 0);
    EXPECT_EQ(S_Count(u"abab", u"abab"), 1);
    EXPECT_EQ(S_Count(u"A a", u"a"), 1); // case-sensitive
}
