#include <listkit/listkit.h>

#include <gtest/gtest.h>
#include <testsupport/tempdir.h>

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
    // Larger sets, and delimiters past the first 256 code units, must split the same way.
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

TEST(StrToList, ReusedListsLoseTheirOldEntries)
{
    List list{u"1", u"2", u"3", u"4", u"5"};
    Sv_StrToList(u"a,b", u",", list);
    EXPECT_EQ(list, (List{u"a", u"b"}));
    Sv_StrToList(u"a,b,c,d,e,f,g", u",", list);
    EXPECT_EQ(list, (List{u"a", u"b", u"c", u"d", u"e", u"f", u"g"}));
}

TEST(StrToList, SplitsAnEntryOfTheListItself)
{
    List list{u"x", u"y", u"a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u,v,w,x,y,z"};
    Sv_StrToList(list[2], u",", list);
    ASSERT_EQ(list.size(), 26u);
    EXPECT_EQ(list.front(), u"a");
    EXPECT_EQ(list.back(), u"z");
    list = {u";", u"p;q"};
    Sv_StrToList(list[1], list[0], list);
    EXPECT_EQ(list, (List{u"p", u"q"}));
}

TEST(StrToList, FourPartAddressesAndMessages)
{
    EXPECT_EQ(split(u"192.168.0.1", u"."), (List{u"192", u"168", u"0", u"1"}));
    EXPECT_EQ(split(u"112,0,83,5", u","), (List{u"112", u"0", u"83", u"5"}));
}

// ---- List files -----------------------------------------------------------------------------

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

class ListFiles : public ::testing::Test {
protected:
    void TearDown() override { std::setlocale(LC_ALL, ""); }

    UnicodeString path(const char *name) const { return Utf8ToUnicode((m_dir / name).string()); }
    void writeBytes(const char *name, const std::string &bytes) const
    {
        std::ofstream(m_dir / name, std::ios::binary) << bytes;
    }
    std::string readBytes(const char *name) const
    {
        std::ifstream in(m_dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    List load(const char *name, int maxLineLength, bool expected = true) const
    {
        List out{u"stale"};
        EXPECT_EQ(Sv_LoadFromFile(out, path(name), maxLineLength), expected);
        return out;
    }

    testsupport::TempDir m_tmp{"korvel-lists"};
    fs::path m_dir = m_tmp.path();
};

} // namespace

TEST_F(ListFiles, OneUtf8LinePerStringWithoutByteOrderMark)
{
    ASSERT_TRUE(Sv_SaveToFile({u"alpha", u"", u"\u0431\u0435\u0442\u0430"}, path("l.txt")));
    EXPECT_EQ(readBytes("l.txt"), "alpha\n\n\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0\n");
}

TEST_F(ListFiles, RoundTripUnderTheCLocale)
{
    std::setlocale(LC_ALL, "C");
    const List list{u"\u041C\u0430\u0441\u0442\u0435\u0440", u"x y", u"\u00E9t\u00E9", u"\U0001F600"};
    ASSERT_TRUE(Sv_SaveToFile(list, path("c.txt")));
    EXPECT_EQ(load("c.txt", 1024), list);
}

TEST_F(ListFiles, EmptyListGivesAnEmptyFileThatLoadsAsNothing)
{
    ASSERT_TRUE(Sv_SaveToFile({}, path("e.txt")));
    EXPECT_TRUE(fs::exists(m_dir / "e.txt"));
    EXPECT_EQ(fs::file_size(m_dir / "e.txt"), 0u);
    EXPECT_TRUE(load("e.txt", 100, false).empty());
}

TEST_F(ListFiles, LinesLoseTrailingBlanksButEmptyLinesStay)
{
    writeBytes("t.txt", "alpha\n\nbeta  \n");
    EXPECT_EQ(load("t.txt", 100), (List{u"alpha", u"", u"beta"}));
    // Line ends written elsewhere with carriage returns, and a last line without a line end.
    writeBytes("w.txt", "one\r\n  two\t\r\nthree");
    EXPECT_EQ(load("w.txt", 100), (List{u"one", u"  two", u"three"}));
}

TEST_F(ListFiles, LongLinesArriveInPieces)
{
    writeBytes("a.txt", "abcdefg\n");
    EXPECT_EQ(load("a.txt", 4), (List{u"abc", u"def", u"g"}));
    writeBytes("b.txt", "abcdef\n");
    EXPECT_EQ(load("b.txt", 4), (List{u"abc", u"def", u""}));
    writeBytes("c.txt", "ab\n");
    EXPECT_EQ(load("c.txt", 2), (List{u"a", u"b", u""}));
}

TEST_F(ListFiles, HugeLineLengthsReserveNothingUpFront)
{
    writeBytes("a.txt", "abc\nd\n");
    EXPECT_EQ(load("a.txt", INT_MAX), (List{u"abc", u"d"}));
}

TEST_F(ListFiles, UselessLineLengthsReadNothing)
{
    writeBytes("a.txt", "abc\n");
    for (int n : {1, 0, -1, -1000})
        EXPECT_TRUE(load("a.txt", n, false).empty()) << n;
}

TEST_F(ListFiles, MissingFileLeavesTheListAlone)
{
    List list{u"keep"};
    EXPECT_FALSE(Sv_LoadFromFile(list, path("missing.txt"), 100));
    EXPECT_EQ(list, List{u"keep"});
    EXPECT_FALSE(Sv_LoadFromFile(list, Utf8ToUnicode(m_dir.string()), 100)) << "a folder is no list file";
    EXPECT_EQ(list, List{u"keep"});
    EXPECT_FALSE(Sv_SaveToFile({u"x"}, path("no/such/dir/l.txt")));
}

TEST_F(ListFiles, StreamsAreReadFromWhereTheyStand)
{
    writeBytes("s.txt", "head\nbody 1\nbody 2\n");
    FILE *f = std::fopen((m_dir / "s.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    UnicodeString first;
    ASSERT_TRUE(S_ReadLine(f, first, false));
    EXPECT_EQ(first, u"head");
    List rest{u"stale"};
    EXPECT_TRUE(Sv_LoadFromStream(rest, f, 100));
    EXPECT_EQ(rest, (List{u"body 1", u"body 2"}));
    EXPECT_FALSE(Sv_LoadFromStream(rest, f, 100));
    EXPECT_TRUE(rest.empty());
    std::fclose(f);
}

TEST_F(ListFiles, WriteErrorsStopTheSave)
{
    writeBytes("ro.txt", "");
    FILE *f = std::fopen((m_dir / "ro.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(Sv_SaveToStream({u"a", u"b"}, f));
    EXPECT_TRUE(Sv_SaveToStream({}, f));
    std::fclose(f);
    EXPECT_FALSE(Sv_SaveToStream({u"a"}, nullptr));
    List list;
    EXPECT_FALSE(Sv_LoadFromStream(list, nullptr, 10));
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(Sv_SaveToFile({u"a", u"b"}, u"/dev/full"));
    }
}

TEST_F(ListFiles, ManyLinesRoundTrip)
{
    List list;
    for (int i = 0; i < 5000; ++i)
        list.push_back(U("line ") + IntToStr(i) + u" \u0436");
    ASSERT_TRUE(Sv_SaveToFile(list, path("m.txt")));
    EXPECT_EQ(load("m.txt", 64), list);
}
