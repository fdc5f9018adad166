#include <listkit/listkit.h>

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <regex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testfs::TempFolder;
using testfs::u16;
using Names = std::vector<UnicodeString>;

namespace {

// Seconds since the epoch of a local date and time.
time_t localSecs(int year, int month, int day, int hour, int min, int sec)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

void setTimes(const std::filesystem::path &p, time_t access, time_t modified, long nsec = 0)
{
    struct timespec ts[2] = {{access, nsec}, {modified, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
}

Names sorted(Names v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// Every test leaves the list it is given filled beforehand, so that what the function does
// to it can be seen.
const Names kStale = {u"stale-1", u"stale-2"};

} // namespace

// ---- file and folder times -------------------------------------------------------------------------

TEST(FileTimes, ModificationAndAccessTimesAreLocal)
{
    TempFolder dir;
    const auto f = dir.write("a.txt", "x");
    const time_t modified = localSecs(2024, 3, 5, 14, 7, 9);
    const time_t accessed = localSecs(2023, 12, 31, 23, 59, 58);
    setTimes(f, accessed, modified, 500000000);

    TDateTime t = -1;
    ASSERT_TRUE(F_GetFileTime(u16(f), t, 'M'));
    EXPECT_NEAR(t, UnixToDateTime(modified) + 0.5 / 86400, 1e-8);
    ASSERT_TRUE(F_GetFileTime(u16(f), t, 'A'));
    EXPECT_NEAR(t, UnixToDateTime(accessed) + 0.5 / 86400, 1e-8);
    EXPECT_EQ(std::floor(t), 45291.0); // 31 December 2023, counted from 30 December 1899
}

TEST(FileTimes, CreationTimeIsRecent)
{
    TempFolder dir;
    const TDateTime before = Now() - 2.0 / 86400;
    const auto f = dir.write("new.txt", "x");
    std::filesystem::create_directory(dir.file("sub"));
    const TDateTime after = Now() + 2.0 / 86400;
    TDateTime t = 0;
    ASSERT_TRUE(F_GetFileTime(u16(f), t, 'C'));
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    t = 0;
    ASSERT_TRUE(F_GetDirTime(u16(dir.file("sub")), t, 'C'));
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
}

TEST(FileTimes, BadSelectorsAndMissingPathsLeaveTheValueAlone)
{
    TempFolder dir;
    const auto f = dir.write("a.txt", "x");
    for (char sel : {'m', 'c', 'a', 'X', '\0', 'W'}) {
        TDateTime t = 123.5;
        EXPECT_FALSE(F_GetFileTime(u16(f), t, sel)) << int(sel);
        EXPECT_EQ(t, 123.5);
        EXPECT_FALSE(F_GetDirTime(u16(dir.path()), t, sel)) << int(sel);
        EXPECT_EQ(t, 123.5);
    }
    TDateTime t = 123.5;
    EXPECT_FALSE(F_GetFileTime(dir.mask("missing.txt"), t, 'M'));
    EXPECT_FALSE(F_GetDirTime(dir.mask("missing"), t, 'M'));
    EXPECT_FALSE(F_GetFileTime(UnicodeString(), t, 'M'));
    EXPECT_EQ(t, 123.5);
}

TEST(FileTimes, FileAndFolderQueriesKeepToTheirKind)
{
    TempFolder dir;
    const auto f = dir.write("a.txt", "x");
    TDateTime t = 7;
    EXPECT_FALSE(F_GetFileTime(u16(dir.path()), t, 'M'));
    EXPECT_FALSE(F_GetDirTime(u16(f), t, 'M'));
    EXPECT_EQ(t, 7);

    const time_t when = localSecs(2020, 7, 1, 8, 0, 0);
    setTimes(dir.path(), when, when);
    ASSERT_TRUE(F_GetDirTime(u16(dir.path()), t, 'M'));
    EXPECT_NEAR(t, UnixToDateTime(when), 1e-8);
}

// ---- file lists ---------------------------------------------------------------------------------

TEST(FileList, AllFilesMaskTakesNamesWithAndWithoutDotButNoFolders)
{
    TempFolder dir;
    dir.write("a.txt", "");
    dir.write("README", "");
    dir.write(".profile", "");
    dir.write("archive.tar.gz", "");
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_directory(dir.file("sub.d"));
    dir.write("sub/inner.txt", "");

    const Names want = {u".profile", u"README", u"a.txt", u"archive.tar.gz"};
    for (const char *mask : {"*.*", "*"}) {
        SCOPED_TRACE(mask);
        Names list = kStale;
        EXPECT_EQ(F_GetFileList(dir.mask(mask), list, false, false, false), 4);
        EXPECT_EQ(sorted(list), want);
    }
}

TEST(FileList, ExtensionMustMatchInLengthAndCase)
{
    TempFolder dir;
    dir.write("a.txt", "");
    dir.write("b.txt1", "");
    dir.write("c.TXT", "");
    dir.write("d.t.t", "");
    dir.write("page.htm", "");
    dir.write("page.html", "");

    Names list = kStale;
    EXPECT_EQ(F_GetFileList(dir.mask("*.txt"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"a.txt"});

    EXPECT_EQ(F_GetFileList(dir.mask("*.htm"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"page.htm"});

    // '?' may stand for a full stop, but the part after the last one must still be 3 long.
    EXPECT_EQ(F_GetFileList(dir.mask("*.t?t"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"a.txt"});

    // With a '*' after the last full stop the length is free.
    EXPECT_EQ(F_GetFileList(dir.mask("*.t*"), list, false, false, false), 3);
    EXPECT_EQ(sorted(list), (Names{u"a.txt", u"b.txt1", u"d.t.t"}));
}

TEST(FileList, WildcardsAndLiteralCharacters)
{
    TempFolder dir;
    for (const char *n : {"ab.txt", "a.txt", "abc.txt", "[a].txt", "readme", "readme.md", "x\\y"})
        dir.write(n, "");

    Names list;
    EXPECT_EQ(F_GetFileList(dir.mask("a?.txt"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"ab.txt"});
    EXPECT_EQ(F_GetFileList(dir.mask("[a].txt"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"[a].txt"});
    EXPECT_EQ(F_GetFileList(dir.mask("readme.*"), list, false, false, false), 2);
    EXPECT_EQ(sorted(list), (Names{u"readme", u"readme.md"}));
    EXPECT_EQ(F_GetFileList(dir.mask("x\\y"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"x\\y"});
    EXPECT_EQ(F_GetFileList(dir.mask("*b*"), list, false, false, false), 2);
    EXPECT_EQ(sorted(list), (Names{u"ab.txt", u"abc.txt"}));
    // A plain name lists just that file.
    EXPECT_EQ(F_GetFileList(dir.mask("abc.txt"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"abc.txt"});
}

TEST(FileList, TimeAndSizeParts)
{
    TempFolder dir;
    const time_t when = localSecs(2024, 3, 5, 14, 7, 9);
    struct Case {
        const char *name;
        std::size_t bytes;
        const char *size;
    };
    const Case cases[] = {{"zero", 0, "1"},
                          {"k1023", 1023, "1"},
                          {"k1024", 1024, "2"},
                          {"k1536", 1536, "2"},
                          {"report.txt", 12800, "13"}};
    for (const Case &c : cases)
        setTimes(dir.write(c.name, std::string(c.bytes, 'x')), when, when);

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const UnicodeString name = U(c.name);
        Names list;
        ASSERT_EQ(F_GetFileList(dir.mask(c.name), list, false, true, false), 1);
        EXPECT_EQ(list[0], name + u"/" + U(c.size));
        ASSERT_EQ(F_GetFileList(dir.mask(c.name), list, false, true, true), 1);
        EXPECT_EQ(list[0], name + u"/" + U(c.size) + u" K");
        ASSERT_EQ(F_GetFileList(dir.mask(c.name), list, true, false, false), 1);
        EXPECT_EQ(list[0], name + u"/05.03.2024 14:07:09");
        // The unit needs the size.
        ASSERT_EQ(F_GetFileList(dir.mask(c.name), list, true, false, true), 1);
        EXPECT_EQ(list[0], name + u"/05.03.2024 14:07:09");
    }
    Names list;
    ASSERT_EQ(F_GetFileList(dir.mask("report.txt"), list, true, true, true), 1);
    EXPECT_EQ(list[0], u"report.txt/05.03.2024 14:07:09/13 K");
}

TEST(FileList, ExclusionTextIgnoresCase)
{
    TempFolder dir;
    for (const char *n : {"a.log", "old-b.log", "Cold.log", "new.log", "bOlD.log", "old.txt"})
        dir.write(n, "");
    dir.write("Старый.log", "");
    dir.write("новый.log", "");

    Names list = kStale;
    EXPECT_EQ(F_GetFileList(dir.mask("*.log|OLD"), list, false, false, false), 4);
    EXPECT_EQ(sorted(list), (Names{u"a.log", u"new.log", u"Старый.log", u"новый.log"}));

    // The exclusion text is upper-cased too, Cyrillic included.
    EXPECT_EQ(F_GetFileList(dir.mask("*.log|стар"), list, false, false, false), 6);
    EXPECT_EQ(std::count(list.begin(), list.end(), u"Старый.log"), 0);

    // An empty exclusion text excludes nothing; the pattern ends at the last '|'.
    EXPECT_EQ(F_GetFileList(dir.mask("*.log|"), list, false, false, false), 7);
}

TEST(FileList, NothingFoundLeavesTheListAlone)
{
    TempFolder dir;
    dir.write("a.txt", "");
    Names list = kStale;
    EXPECT_EQ(F_GetFileList(dir.mask("*.ini"), list, true, true, true), 0);
    EXPECT_EQ(list, kStale);
    EXPECT_EQ(F_GetFileList(dir.mask("missing/*.*"), list, false, false, false), 0);
    EXPECT_EQ(list, kStale);
    EXPECT_EQ(F_GetFileList(dir.mask(""), list, false, false, false), 0);
    EXPECT_EQ(list, kStale);
    EXPECT_EQ(F_GetFileList(dir.mask("a.txt/*"), list, false, false, false), 0);
    EXPECT_EQ(list, kStale);
}

TEST(FileList, FoldersFoundButNoFilesEmptiesTheList)
{
    // The search found entries, only none of them is a file: the list is the search's now.
    TempFolder dir;
    std::filesystem::create_directory(dir.file("only.d"));
    Names list = kStale;
    EXPECT_EQ(F_GetFileList(dir.mask("*.d"), list, false, false, false), 0);
    EXPECT_TRUE(list.empty());
}

TEST(FileList, FolderWithAFullStopInItsName)
{
    TempFolder dir;
    std::filesystem::create_directory(dir.file("my.data"));
    dir.write("my.data/notes", "");
    dir.write("my.data/x.cfg", "");
    Names list;
    EXPECT_EQ(F_GetFileList(dir.mask("my.data/*"), list, false, false, false), 2);
    EXPECT_EQ(sorted(list), (Names{u"notes", u"x.cfg"}));
    EXPECT_EQ(F_GetFileList(dir.mask("my.data/n?tes"), list, false, false, false), 1);
    EXPECT_EQ(list, Names{u"notes"});
}

TEST(FileList, LinksCountAsWhatTheyPointTo)
{
    TempFolder dir;
    dir.write("target.txt", std::string(2048, 'y'));
    std::filesystem::create_directory(dir.file("folder"));
    std::filesystem::create_symlink(dir.file("target.txt"), dir.file("link.txt"));
    std::filesystem::create_symlink(dir.file("folder"), dir.file("folder-link"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));

    Names list;
    EXPECT_EQ(F_GetFileList(dir.mask("*"), list, false, true, false), 3);
    EXPECT_EQ(sorted(list), (Names{u"dangling/1", u"link.txt/3", u"target.txt/3"}));
    Names folders;
    EXPECT_EQ(F_GetFolderList(dir.mask("*"), folders, false), 2);
    EXPECT_EQ(sorted(folders), (Names{u"folder", u"folder-link"}));
}

// ---- first file ---------------------------------------------------------------------------------

TEST(FirstFile, FolderOfTheMaskAndTheFirstName)
{
    TempFolder dir;
    dir.write("x.ini", "");
    dir.write("y.cfg", "");
    const std::string folder = dir.path().string() + "/";
    EXPECT_EQ(F_GetFirstFile(dir.mask("*.ini")), Utf8ToUnicode(folder + "x.ini"));
    EXPECT_EQ(F_GetFirstFile(dir.mask("*.ini|Q/R")), Utf8ToUnicode(folder + "x.ini"));
    EXPECT_EQ(F_GetFirstFile(dir.mask("*.txt")), UnicodeString());
    EXPECT_EQ(F_GetFirstFile(dir.mask("*.ini|X")), UnicodeString());
    EXPECT_EQ(F_GetFirstFile(dir.mask("missing/*")), UnicodeString());

    const UnicodeString first = F_GetFirstFile(dir.mask("*"));
    EXPECT_TRUE(first == Utf8ToUnicode(folder + "x.ini") || first == Utf8ToUnicode(folder + "y.cfg"));
}

TEST(FirstFile, MaskWithoutFolderSearchesTheWorkingFolder)
{
    TempFolder dir;
    dir.write("only.ini", "");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const UnicodeString first = F_GetFirstFile(u"*.ini");
    Names list;
    const int n = F_GetFileList(u"o*", list, false, false, false);
    std::filesystem::current_path(old);
    EXPECT_EQ(first, u"only.ini");
    EXPECT_EQ(n, 1);
}

// ---- folder lists -------------------------------------------------------------------------------

TEST(FolderList, FoldersOnlyAndNoneStartingWithAFullStop)
{
    TempFolder dir;
    for (const char *d : {"alpha", "beta.d", ".git", "alpha/deep"})
        std::filesystem::create_directory(dir.file(d));
    dir.write("file.txt", "");

    Names list = kStale;
    EXPECT_EQ(F_GetFolderList(dir.mask("*.*"), list, false), 2);
    EXPECT_EQ(sorted(list), (Names{u"alpha", u"beta.d"}));
    EXPECT_EQ(F_GetFolderList(dir.mask("b*"), list, false), 1);
    EXPECT_EQ(list, Names{u"beta.d"});
    EXPECT_EQ(F_GetFolderList(dir.mask(".g*"), list, false), 0);
    EXPECT_TRUE(list.empty());
}

TEST(FolderList, EmptiedEvenWhenNothingMatches)
{
    TempFolder dir;
    Names list = kStale;
    EXPECT_EQ(F_GetFolderList(dir.mask("*"), list, true), 0);
    EXPECT_TRUE(list.empty());
    list = kStale;
    EXPECT_EQ(F_GetFolderList(dir.mask("missing/*"), list, true), 0);
    EXPECT_TRUE(list.empty());
}

TEST(FolderList, CreationTimeInTheEntry)
{
    TempFolder dir;
    std::filesystem::create_directory(dir.file("sub"));
    Names list;
    ASSERT_EQ(F_GetFolderList(dir.mask("*"), list, true), 1);
    const std::string entry = UnicodeToUtf8(list[0]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(entry, m, std::regex(R"(sub/(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d))")))
        << entry;

    // The same moment as the folder's creation time.
    TDateTime created = 0;
    ASSERT_TRUE(F_GetDirTime(u16(dir.file("sub")), created, 'C'));
    // Whole seconds, as the entry shows them (the conversion rounds to the nearest second).
    const time_t secs = static_cast<time_t>(DateTimeToUnix(created - 0.5 / 86400));
    std::tm tm{};
    localtime_r(&secs, &tm);
    EXPECT_EQ(std::stoi(m[1]), tm.tm_mday);
    EXPECT_EQ(std::stoi(m[2]), tm.tm_mon + 1);
    EXPECT_EQ(std::stoi(m[3]), tm.tm_year + 1900);
    EXPECT_EQ(std::stoi(m[4]), tm.tm_hour);
    EXPECT_EQ(std::stoi(m[5]), tm.tm_min);
    EXPECT_EQ(std::stoi(m[6]), tm.tm_sec);
}
