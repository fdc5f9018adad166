#include <corekit/corekit.h>

#include <gtest/gtest.h>
#include <testsupport/tempdir.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

UnicodeString u(const fs::path &p)
{
    return Utf8ToUnicode(p.string());
}

void touch(const fs::path &p, const std::string &content = "")
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every file and folder below root, as relative paths ("a/b.txt", "sub/").
std::set<std::string> tree(const fs::path &root)
{
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         ++it) {
        std::string rel = it->path().lexically_relative(root).string();
        if (it->is_directory() && !it->is_symlink())
            rel += '/';
        out.insert(rel);
    }
    return out;
}

template <class Pred> bool waitFor(Pred pred, int ms = 5000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Files : public ::testing::Test {
protected:
    testsupport::TempDir tmp_{"korvel-files"};
    fs::path dir_ = tmp_.path();
};

} // namespace

// ---- paths ---------------------------------------------------------------------------------

TEST(FilePaths, JoinsWithOneSeparator)
{
    EXPECT_EQ(F_GetPathName(u"/data", u"a.txt"), u"/data/a.txt");
    EXPECT_EQ(F_GetPathName(u"/data/", u"a.txt"), u"/data/a.txt");
    EXPECT_EQ(F_GetPathName(u"/data", u"/a.txt"), u"/data//a.txt") << "the name is appended as given";
    EXPECT_EQ(F_GetPathName(u"", u"a.txt"), u"a.txt");
}

TEST_F(Files, IsInDirTestsAPathAsTextAndANameOnTheDisc)
{
    EXPECT_TRUE(F_IsInDir(u"/Data/Sub/a.txt", u"data/sub"));
    EXPECT_TRUE(F_IsInDir(u"/ДАННЫЕ/x", u"данные")) << "lower-casing covers more than ASCII";
    EXPECT_FALSE(F_IsInDir(u"/data/a.txt", u"other"));
    EXPECT_FALSE(F_IsInDir(u"/data/a.txt", u"")) << "no folder named";

    touch(dir_ / "a.txt");
    fs::create_directories(dir_ / "folder");
    fs::create_symlink(dir_ / "a.txt", dir_ / "link");
    EXPECT_TRUE(F_IsInDir(u"a.txt", u(dir_)));
    EXPECT_TRUE(F_IsInDir(u"link", u(dir_)));
    EXPECT_FALSE(F_IsInDir(u"folder", u(dir_))) << "a folder is not a file";
    EXPECT_FALSE(F_IsInDir(u"b.txt", u(dir_)));
}

TEST_F(Files, FileSizeOfFilesOnly)
{
    touch(dir_ / "empty");
    touch(dir_ / "ten", "0123456789");
    EXPECT_EQ(F_GetFileSize(u(dir_ / "empty")), 0);
    EXPECT_EQ(F_GetFileSize(u(dir_ / "ten")), 10);
    EXPECT_EQ(F_GetFileSize(u(dir_ / "missing")), -1);
    EXPECT_EQ(F_GetFileSize(u(dir_)), -1) << "a folder has no file size";
    // No read access is needed for the size.
    chmod((dir_ / "ten").c_str(), 0);
    EXPECT_EQ(F_GetFileSize(u(dir_ / "ten")), 10);
}

// ---- searches ------------------------------------------------------------------------------

TEST_F(Files, SearchesCountFilesNotFolders)
{
    touch(dir_ / "a.log");
    touch(dir_ / "b.log");
    touch(dir_ / "B.LOG");
    touch(dir_ / "README");
    fs::create_directories(dir_ / "dir.log");
    fs::create_directories(dir_ / "onlydirs" / "x");

    EXPECT_EQ(F_NFileExists(u(dir_) + u"/*.log"), 2) << "case-sensitive, folders not counted";
    EXPECT_EQ(F_NFileExists(u(dir_) + u"/*.*"), 4) << "*.* matches names without a dot";
    EXPECT_EQ(F_NFileExists(u(dir_) + u"/?.log"), 2);
    EXPECT_EQ(F_NFileExists(u(dir_) + u"/R*"), 1);
    EXPECT_EQ(F_NFileExists(u(dir_) + u"/nothing*"), 0);
    EXPECT_EQ(F_NFileExists(u(dir_ / "missing") + u"/*.*"), 0);
    EXPECT_TRUE(F_FileExists(u(dir_ / "README")));
    EXPECT_FALSE(F_FileExists(u(dir_ / "dir.log")));
    EXPECT_FALSE(F_FileExists(u(dir_ / "onlydirs") + u"/*.*")) << "only folders match";
    EXPECT_FALSE(F_FileExists(u(dir_) + u"/"));

    EXPECT_TRUE(F_HasFolderFiles(u(dir_), u"*.log"));
    EXPECT_TRUE(F_HasFolderFiles(u(dir_) + u"/", u"README")) << "a doubled separator is accepted";
    EXPECT_FALSE(F_HasFolderFiles(u(dir_ / "onlydirs"), u"*.*"));
}

TEST_F(Files, HiddenSubFoldersDoNotCountButKeepAFolderFromBeingEmpty)
{
    fs::create_directories(dir_ / "repo" / ".git");
    EXPECT_FALSE(F_HasSubFolders(u(dir_ / "repo")));
    EXPECT_TRUE(F_IsFolderEmpty(u(dir_ / "repo")));
    touch(dir_ / "repo" / ".hidden");
    EXPECT_FALSE(F_IsFolderEmpty(u(dir_ / "repo"))) << "a file whose name starts with a dot is a file";

    fs::create_directories(dir_ / "tree" / "empty1");
    fs::create_directories(dir_ / "tree" / "empty2");
    EXPECT_TRUE(F_HasSubFolders(u(dir_ / "tree")));
    EXPECT_FALSE(F_IsFolderEmpty(u(dir_ / "tree"))) << "empty sub-folders still count";

    fs::create_directories(dir_ / "nothing");
    EXPECT_TRUE(F_IsFolderEmpty(u(dir_ / "nothing")));
    EXPECT_FALSE(F_HasSubFolders(u(dir_ / "nothing")));
}

// ---- one file ------------------------------------------------------------------------------

TEST_F(Files, CopyFileReplacesAndKeepsTheTime)
{
    touch(dir_ / "src" / "a.txt", "new");
    touch(dir_ / "dst" / "a.txt", "old content");
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(dir_ / "src" / "a.txt", when);

    EXPECT_TRUE(F_CopyFile(u(dir_ / "src" / "a.txt"), u(dir_ / "dst")));
    EXPECT_EQ(slurp(dir_ / "dst" / "a.txt"), "new");
    EXPECT_EQ(fs::last_write_time(dir_ / "dst" / "a.txt"), when);

    EXPECT_TRUE(F_CopyFile(u(dir_ / "src" / "a.txt"), u(dir_ / "dst") + u"/"));
    EXPECT_FALSE(F_CopyFile(u(dir_ / "src" / "missing"), u(dir_ / "dst")));
    EXPECT_FALSE(F_CopyFile(u(dir_ / "src" / "a.txt"), u(dir_ / "nowhere")));
    EXPECT_FALSE(F_CopyFile(u(dir_ / "src" / "a.txt"), u(dir_ / "src"))) << "onto itself";
    EXPECT_EQ(slurp(dir_ / "src" / "a.txt"), "new");
}

// ---- whole folders -------------------------------------------------------------------------

class Folders : public Files {
protected:
    void SetUp() override
    {
        Files::SetUp();
        root_ = dir_ / "tmp";
        touch(root_ / "a.txt", "a");
        touch(root_ / "b.bak", "b");
        touch(root_ / "sub" / "c.bak", "c");
        touch(root_ / "sub" / "d.txt", "d");
        touch(root_ / "keep.bak" / "e.txt", "e");
        fs::create_directories(root_ / "empty");
        touch(dir_ / "outside" / "precious", "p");
        fs::create_directory_symlink(dir_ / "outside", root_ / "link");
    }
    fs::path root_;
};

TEST_F(Folders, DeleteDirectoryRemovesTheWholeTreeButNotWhatLinksPointTo)
{
    EXPECT_TRUE(F_DeleteDirectory(u(root_) + u"/", true));
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_TRUE(fs::exists(dir_ / "outside" / "precious"));
    EXPECT_FALSE(F_DeleteDirectory(u(root_), false)) << "nothing to delete";
    EXPECT_FALSE(F_DeleteDirectories(u"", false));
}

TEST_F(Folders, DeleteWithAPatternTakesMatchesInSubFoldersToo)
{
    EXPECT_TRUE(F_DeleteDirectories(u(root_) + u"/*.bak", true));
    EXPECT_EQ(tree(root_), (std::set<std::string>{"a.txt", "sub/", "sub/d.txt", "empty/", "link"}));
    EXPECT_TRUE(F_DeleteFiles(u(root_ / "sub" / "d.txt")));
    EXPECT_FALSE(fs::exists(root_ / "sub" / "d.txt"));
    EXPECT_TRUE(F_DeleteFiles(u(root_) + u"/*.none")) << "nothing matching is nothing to do";
    EXPECT_FALSE(F_DeleteFiles(u(dir_ / "missing") + u"/*.*"));
}

TEST_F(Folders, ClearDirectoryEmptiesAndKeepsTheFolder)
{
    EXPECT_TRUE(F_ClearDirectory(u(root_), false, true));
    EXPECT_TRUE(fs::is_directory(root_));
    EXPECT_TRUE(tree(root_).empty());
    EXPECT_TRUE(fs::exists(dir_ / "outside" / "precious")) << "a link is removed, not followed";
    EXPECT_TRUE(F_ClearDirectory(u(root_) + u"/", false, true)) << "an empty folder clears fine";
}

TEST_F(Folders, ClearDirectoryOfFilesOnlyKeepsEveryFolder)
{
    EXPECT_TRUE(F_ClearDirectory(u(root_), true, false));
    EXPECT_EQ(tree(root_), (std::set<std::string>{"sub/", "keep.bak/", "empty/", "link"}))
        << "a link to a folder is kept as a folder";
    EXPECT_TRUE(fs::exists(dir_ / "outside" / "precious"));
}

TEST_F(Folders, ClearDirectoryWithAMaskTakesOnlyMatches)
{
    EXPECT_TRUE(F_ClearDirectory(u(root_) + u"/*.bak", true, true));
    EXPECT_EQ(tree(root_), (std::set<std::string>{"a.txt", "sub/", "sub/d.txt", "keep.bak/", "keep.bak/e.txt",
                                                  "empty/", "link"}));
    EXPECT_FALSE(F_ClearDirectory(u(dir_ / "missing"), false, true));
}

TEST_F(Folders, CopyDirFilesCopiesTheContentIntoANewTarget)
{
    touch(dir_ / "dst" / "a.txt", "old");
    EXPECT_TRUE(F_CopyDirFiles(u(root_), u(dir_ / "dst" / "deeper") + u"/", false, true));
    auto want = tree(root_);
    EXPECT_EQ(tree(dir_ / "dst" / "deeper"), want);
    EXPECT_TRUE(F_CopyDirFiles(u(root_), u(dir_ / "dst"), false, false));
    EXPECT_EQ(slurp(dir_ / "dst" / "a.txt"), "a") << "existing files are replaced";
    EXPECT_EQ(tree(root_), want) << "the source is untouched";
}

TEST_F(Folders, CopyDirFilesOfFilesOnly)
{
    fs::remove(root_ / "link");
    EXPECT_TRUE(F_CopyDirFiles(u(root_), u(dir_ / "dst"), true, false));
    EXPECT_EQ(tree(dir_ / "dst"), (std::set<std::string>{"a.txt", "b.bak", "sub/", "sub/c.bak", "sub/d.txt",
                                                         "keep.bak/", "keep.bak/e.txt"}));
    EXPECT_TRUE(F_CopyDirFiles(u(root_) + u"/*.bak", u(dir_ / "bak"), true, false));
    EXPECT_EQ(tree(dir_ / "bak"), (std::set<std::string>{"b.bak", "sub/", "sub/c.bak"}));
    EXPECT_FALSE(F_CopyDirFiles(u(dir_ / "missing"), u(dir_ / "x"), false, false));
}

TEST_F(Folders, CopyDirFilesNeverCopiesIntoTheSourceItself)
{
    fs::remove(root_ / "link");
    const auto before = tree(root_);
    EXPECT_FALSE(F_CopyDirFiles(u(root_), u(root_ / "sub"), false, false))
        << "the copies would be copied again";
    EXPECT_FALSE(F_CopyDirFiles(u(root_), u(root_ / "new" / "deeper"), true, false));
    EXPECT_FALSE(F_CopyDirFiles(u(root_) + u"/*.bak", u(root_ / "sub") + u"/", true, false));
    EXPECT_FALSE(F_CopyDirFiles(u(root_), u(root_), false, false));
    EXPECT_FALSE(F_CopyDirectory(u(root_) + u"/*.*", u(root_ / "empty"), false));
    EXPECT_EQ(tree(root_), before) << "nothing was copied";
    EXPECT_TRUE(F_CopyDirFiles(u(root_ / "sub"), u(root_), false, false))
        << "from below into the folder above is fine";
}

TEST_F(Folders, CopyDirectoryPutsTheFolderUnderTheTarget)
{
    fs::remove(root_ / "link");
    EXPECT_TRUE(F_CopyDirectory(u(root_), u(dir_ / "backup"), false));
    EXPECT_EQ(tree(dir_ / "backup" / "tmp"), tree(root_));
    EXPECT_TRUE(F_CopyDirectory(u(root_) + u"/", u(dir_ / "backup") + u"/", true)) << "again, over the copy";
    EXPECT_FALSE(F_CopyDirectory(u(dir_ / "missing"), u(dir_ / "backup"), false));
    EXPECT_FALSE(F_CopyDirectory(u(root_), u(root_ / "sub"), false)) << "not into itself";
}

TEST_F(Folders, RenameDirectory)
{
    EXPECT_FALSE(F_RenameDirectory(u(root_), u(dir_ / "TMP"))) << "equal but for case";
    EXPECT_TRUE(fs::exists(root_));
    EXPECT_FALSE(F_RenameDirectory(u(root_), u(dir_ / "outside"))) << "the new name is taken";
    EXPECT_TRUE(fs::exists(dir_ / "outside" / "precious"));
    EXPECT_TRUE(F_RenameDirectory(u(root_) + u"/", u(dir_ / "renamed")));
    EXPECT_TRUE(fs::exists(dir_ / "renamed" / "sub" / "c.bak"));
    EXPECT_FALSE(F_RenameDirectory(u(root_), u(dir_ / "again")));
}

// ---- starting programs ---------------------------------------------------------------------

namespace {

// The children of this process that have not been collected (running or zombie).
std::set<pid_t> children()
{
    std::set<pid_t> out;
    const fs::path tasks = "/proc/self/task";
    for (const auto &t : fs::directory_iterator(tasks)) {
        std::ifstream in(t.path() / "children");
        pid_t p;
        while (in >> p)
            out.insert(p);
    }
    return out;
}

} // namespace

TEST_F(Files, RunAppSplitsParametersLikeAShellWithoutRunningOne)
{
    const fs::path out = dir_ / "args.txt";
    const std::string script = "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + out.string() + "'";
    const UnicodeString params = u"-c " + Utf8ToUnicode("'" + script + "'") +
                                 u" x one\\ word \"two  words\" 'it''s' \"a\\\"b\" $HOME *.txt \"\" ";
    ASSERT_TRUE(F_RunApp(u"sh", params));
    ASSERT_TRUE(waitFor([&] { return fs::exists(out) && fs::file_size(out) > 0; }));
    EXPECT_EQ(slurp(out), "[one word][two  words][its][a\"b][$HOME][*.txt][]");
}

TEST_F(Files, RunAppDetachesAndCollectsItsChild)
{
    const fs::path out = dir_ / "pid.txt";
    // The program runs until the test ends it, so that it is still there to be asked about.
    ASSERT_TRUE(F_RunApp(u"/bin/sh", Utf8ToUnicode("-c 'echo $$ > " + out.string() + "; exec sleep 600'")));
    ASSERT_TRUE(waitFor([&] { return fs::exists(out) && fs::file_size(out) > 0; }));
    const pid_t pid = std::stoi(slurp(out));
    ASSERT_GT(pid, 1);
    EXPECT_EQ(getsid(pid), pid) << "the program runs in a session of its own";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }))
        << "the ended program leaves no zombie behind";
}

TEST_F(Files, RunAppReportsWhatCannotStart)
{
    const auto before = children();
    EXPECT_FALSE(F_RunApp(u(dir_ / "no-such-program"), u""));
    EXPECT_FALSE(F_RunApp(u"no-such-program-in-path", u"a b"));
    touch(dir_ / "not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(F_RunApp(u(dir_ / "not-executable"), u""));
    EXPECT_FALSE(F_RunApp(u"", u""));
    EXPECT_FALSE(F_RunApp(u"sh", u"-c 'unterminated"));
    EXPECT_FALSE(F_RunApp(u"sh", u"-c \"unterminated"));
    EXPECT_EQ(children(), before) << "no stray child is left";
}

TEST_F(Files, DocumentsOpenThroughTheDesktopsOpener)
{
    // A stand-in opener, first in PATH, notes what it was asked to open.
    const fs::path bin = dir_ / "bin";
    const fs::path log = dir_ / "opened.txt";
    touch(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log.string() + "'\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);

    touch(dir_ / "help doc.chm", "x");
    EXPECT_TRUE(F_OpenRegistDoc(u(dir_ / "help doc.chm")));
    EXPECT_TRUE(F_OpenAsciiDoc(u(dir_ / "help doc.chm")));
    EXPECT_FALSE(F_OpenRegistDoc(u(dir_ / "missing.chm")));
    EXPECT_FALSE(F_OpenBmpDoc(u(dir_ / "missing.bmp")));
    EXPECT_FALSE(F_OpenRtfDoc(u""));
    EXPECT_TRUE(waitFor([&] {
        return slurp(log) == dir_.string() + "/help doc.chm\n" + dir_.string() + "/help doc.chm\n";
    })) << slurp(log);

    setenv("PATH", dir_.c_str(), 1); // no opener at all
    EXPECT_FALSE(F_OpenRegistDoc(u(dir_ / "help doc.chm")));
    setenv("PATH", oldPath.c_str(), 1);
}

// ---- known folders -------------------------------------------------------------------------

TEST_F(Files, KnownFoldersAsTheDesktopAndTheSystemName)
{
    EXPECT_EQ(F_GetProgramDataFolder(), u"/var/lib");
    EXPECT_EQ(F_GetWinFolder(FOLDERID_Windows), u"/usr");
    EXPECT_EQ(F_GetSysDisc(), u"/");
    EXPECT_EQ(F_GetWinFolder(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}), u"");

    const char *oldHome = std::getenv("HOME");
    const std::string home = oldHome ? oldHome : "";
    setenv("HOME", (dir_ / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "cfg").c_str(), 1);
    EXPECT_EQ(F_GetMyComputerFolder(), u(dir_ / "home" / "Desktop"));
    touch(dir_ / "cfg" / "user-dirs.dirs",
          "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n");
    EXPECT_EQ(F_GetMyComputerFolder(), u(dir_ / "home" / "Рабочий стол"));
    touch(dir_ / "cfg" / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk/\"\n");
    EXPECT_EQ(F_GetWinFolder(FOLDERID_Desktop), u"/srv/desk");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home.c_str(), 1);
}
