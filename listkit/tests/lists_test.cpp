#include <listkit/listkit.h>

#include <gtest/gtest.h>

using List = std::vector<UnicodeString>;

namespace {

List split(const UnicodeString &text, const UnicodeString &delimiters)
{
    List out{u"stale"};
    Sv_StrToList(text, delimiters, out);
    return out;
}

} // namespace

TEST(StrToList, KeepsOnlyNonEmptyPiecesInOrder)
{
    EXPECT_EQ(split(u"a,,b,", u","), (List{u"a", u"b"}));
    EXPECT_EQ(split(u",a", u","), (List{u"a"}));
    EXPECT_EQ(split(u"abc", u","), (List{u"abc"}));
    EXPECT_EQ(split(u"a,b", u","), (List{u"a", u"b"}));
}

TEST(StrToList, DoesNotTrimPieces)
{
    EXPECT_EQ(split(u"x; y", u";"), (List{u"x", u" y"}));
}

TEST(StrToList, AnyDelimiterOfTheSetEndsAPiece)
{
    EXPECT_EQ(split(u"a b;c", u" ;"), (List{u"a", u"b", u"c"}));
    // The registry's time text is split at h, m and s.
    EXPECT_EQ(split(u"12h30m5s0", u"hms"), (List{u"12", u"30", u"5", u"0"}));
    // Large sets take another lookup path; the result must not change.
    EXPECT_EQ(split(u"1a2b3c4d5e6f7g8h9i0", u"abcdefghi"),
              (List{u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"0"}));
    EXPECT_EQ(split(u"x\u044Fy\uFFFFz", u"\u044F\uFFFF0123456789"), (List{u"x", u"y", u"z"}));
}

TEST(StrToList, EmptyTextOrOnlyDelimitersGiveAnEmptyList)
{
    EXPECT_TRUE(split(u"", u",").empty());
    EXPECT_TRUE(split(u",,,", u",").empty());
    EXPECT_TRUE(split(u",", u",").empty());
    EXPECT_TRUE(split(u" ; ;", u" ;").empty());
}

TEST(StrToList, NoDelimitersKeepsTheTextWhole)
{
    EXPECT_EQ(split(u"a,b", u""), (List{u"a,b"}));
}

TEST(StrToList, FourPartAddressesAndMessages)
{
    EXPECT_EQ(split(u"192.168.0.1", u"."), (List{u"192", u"168", u"0", u"1"}));
    EXPECT_EQ(split(u"112,0,83,5", u","), (List{u"112", u"0", u"83", u"5"}));
}
