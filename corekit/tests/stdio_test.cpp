#include <corekit/corekit.h>

#include <gtest/gtest.h>
#include <testsupport/tempdir.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

const UnicodeString Cyrillic = u"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440";

class StdioLines : public ::testing::Test {
protected:
    void TearDown() override { std::setlocale(LC_ALL, ""); }

    fs::path file(const char *name) const { return m_dir / name; }
    UnicodeString upath(const char *name) const { return Utf8ToUnicode(file(name).string()); }

    void writeBytes(const char *name, const std::string &bytes) const
    {
        std::ofstream(file(name), std::ios::binary) << bytes;
    }
    std::string readBytes(const char *name) const
    {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    FILE *open(const char *name, const char *mode) const { return std::fopen(file(name).c_str(), mode); }

    testsupport::TempDir m_tmp{"korvel-stdio"};
    fs::path m_dir = m_tmp.path();
};

} // namespace

TEST_F(StdioLines, WideLinesAreUtf8WithALineFeedAndNoByteOrderMark)
{
    FILE *f = open("a.txt", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(S_WriteLine(f, u"ab\u044F", false));
    EXPECT_TRUE(S_WriteLine(f, u"", false));
    std::fclose(f);
    EXPECT_EQ(readBytes("a.txt"), "ab\xD1\x8F\n\n");
}

TEST_F(StdioLines, CyrillicRoundTripsUnderTheCLocale)
{
    std::setlocale(LC_ALL, "C");
    FILE *f = open("c.txt", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(S_WriteLine(f, Cyrillic, false));
    std::fclose(f);

    f = open("c.txt", "r");
    ASSERT_NE(f, nullptr);
    UnicodeString line;
    EXPECT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, Cyrillic);
    std::fclose(f);
}

TEST_F(StdioLines, AnsiLinesUseTheLocaleEncoding)
{
    if (!std::setlocale(LC_ALL, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    ASSERT_TRUE(S_SaveStringToFile(upath("u.txt"), Cyrillic, true));
    EXPECT_EQ(readBytes("u.txt"), UnicodeToUtf8(Cyrillic) + "\n");
    UnicodeString text;
    EXPECT_TRUE(S_LoadStringFromFile(upath("u.txt"), text, true));
    EXPECT_EQ(text, Cyrillic);

    // Under the C locale the narrow encoding has no Cyrillic: it is written as '?'.
    std::setlocale(LC_ALL, "C");
    ASSERT_TRUE(S_SaveStringToFile(upath("c.txt"), u"a\u0411b", true));
    EXPECT_EQ(readBytes("c.txt"), "a?b\n");
}

TEST_F(StdioLines, ReadLineRemovesTrailingBlanksAndLineEnds)
{
    writeBytes("t.txt", "abc  \t\n  lead\r\n\nlast");
    FILE *f = open("t.txt", "r");
    ASSERT_NE(f, nullptr);
    for (bool ansi : {false, true}) {
        std::rewind(f);
        UnicodeString line = u"stale";
        EXPECT_TRUE(S_ReadLine(f, line, ansi));
        EXPECT_EQ(line, u"abc");
        EXPECT_TRUE(S_ReadLine(f, line, ansi));
        EXPECT_EQ(line, u"  lead");
        EXPECT_TRUE(S_ReadLine(f, line, ansi));
        EXPECT_EQ(line, u"");
        EXPECT_TRUE(S_ReadLine(f, line, ansi));
        EXPECT_EQ(line, u"last");
        EXPECT_FALSE(S_ReadLine(f, line, ansi));
        EXPECT_EQ(line, u"");
    }
    std::fclose(f);
}

TEST_F(StdioLines, LongLinesComeBackInPieces)
{
    writeBytes("w.txt", std::string(1500, 'x') + "\n" + std::string(3000, 'y') + "\n");
    FILE *f = open("w.txt", "r");
    ASSERT_NE(f, nullptr);
    UnicodeString line;
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, UnicodeString(1023, u'x'));
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, UnicodeString(477, u'x'));
    ASSERT_TRUE(S_ReadLine(f, line, true));
    EXPECT_EQ(line, UnicodeString(2047, u'y'));
    ASSERT_TRUE(S_ReadLine(f, line, true));
    EXPECT_EQ(line, UnicodeString(953, u'y'));
    EXPECT_FALSE(S_ReadLine(f, line, true));
    std::fclose(f);
}

TEST_F(StdioLines, PiecesCountUtf16UnitsAndKeepSurrogatePairsWhole)
{
    // 1022 units of text, then a character of two units: it no longer fits the 1023 of the first piece.
    const UnicodeString emoji = u"\U0001F600";
    UnicodeString text = UnicodeString(1021, u'\u0436') + u"b" + emoji + u"c";
    FILE *f = open("s.txt", "w");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(S_WriteLine(f, text, false));
    std::fclose(f);

    f = open("s.txt", "r");
    UnicodeString line;
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, UnicodeString(1021, u'\u0436') + u"b");
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, emoji + u"c");
    std::fclose(f);
}

TEST_F(StdioLines, InvalidUtf8ReadsAsReplacementCharacters)
{
    // A stray continuation byte, a truncated sequence cut by the line end, an overlong form.
    writeBytes("bad.txt", "a\x80"
                          "b\xE2\x82\n\xC0\xAFz\n\xF0\x9F");
    FILE *f = open("bad.txt", "r");
    ASSERT_NE(f, nullptr);
    UnicodeString line;
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, u"a\uFFFDb\uFFFD\uFFFD");
    ASSERT_TRUE(S_ReadLine(f, line, false));
    EXPECT_EQ(line, u"\uFFFD\uFFFDz");
    ASSERT_TRUE(S_ReadLine(f, line, false)); // sequence cut by the end of the file
    EXPECT_EQ(line, u"\uFFFD\uFFFD");
    EXPECT_FALSE(S_ReadLine(f, line, false));
    std::fclose(f);
}

TEST_F(StdioLines, WriteErrorsAndMissingStreamsAreReported)
{
    writeBytes("ro.txt", "x\n");
    FILE *f = open("ro.txt", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(S_WriteLine(f, u"line", false));
    EXPECT_FALSE(S_WriteLine(f, u"line", true));
    std::fclose(f);

    UnicodeString line = u"stale";
    EXPECT_FALSE(S_WriteLine(nullptr, u"x", false));
    EXPECT_FALSE(S_ReadLine(nullptr, line, false));
    EXPECT_EQ(line, u"");
}

TEST_F(StdioLines, OneLineFilesRoundTrip)
{
    for (bool ansi : {false, true}) {
        ASSERT_TRUE(S_SaveStringToFile(upath("one.txt"), u"Master 10.0.0.1", ansi));
        EXPECT_EQ(readBytes("one.txt"), "Master 10.0.0.1\n");
        UnicodeString text;
        EXPECT_TRUE(S_LoadStringFromFile(upath("one.txt"), text, ansi));
        EXPECT_EQ(text, u"Master 10.0.0.1");
    }
    // Saving again truncates the old contents.
    ASSERT_TRUE(S_SaveStringToFile(upath("one.txt"), u"x", false));
    EXPECT_EQ(readBytes("one.txt"), "x\n");
}

TEST_F(StdioLines, LoadReadsOnlyTheFirstLine)
{
    writeBytes("m.txt", "first \nsecond\n");
    UnicodeString text;
    EXPECT_TRUE(S_LoadStringFromFile(upath("m.txt"), text, false));
    EXPECT_EQ(text, u"first");
}

TEST_F(StdioLines, MissingOrUnwritableFilesGiveFalse)
{
    UnicodeString text = u"stale";
    EXPECT_FALSE(S_LoadStringFromFile(upath("missing.txt"), text, false));
    EXPECT_EQ(text, u"");
    writeBytes("empty.txt", "");
    text = u"stale";
    EXPECT_FALSE(S_LoadStringFromFile(upath("empty.txt"), text, true));
    EXPECT_EQ(text, u"");
    EXPECT_FALSE(S_SaveStringToFile(upath("no/such/dir.txt"), u"x", false));
    // The device accepts the open but fails when the buffered line is flushed at close.
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(S_SaveStringToFile(u"/dev/full", u"x", false));
    }
}

TEST_F(StdioLines, NonAsciiPathsWork)
{
    const UnicodeString path = upath("") + u"\u0444\u0430\u0439\u043B.txt";
    ASSERT_TRUE(S_SaveStringToFile(path, u"ok", false));
    UnicodeString text;
    EXPECT_TRUE(S_LoadStringFromFile(path, text, false));
    EXPECT_EQ(text, u"ok");
}
