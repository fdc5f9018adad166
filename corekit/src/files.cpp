#include <corekit/files.h>
#include <corekit/strings.h>

#include <QString>

#include <maskmatch.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

namespace {

std::string native(const UnicodeString &s)
{
    return UnicodeToUtf8(s);
}

UnicodeString lower(const UnicodeString &s)
{
    return QString::fromStdU16String(s).toLower().toStdU16String();
}

bool hasWildcard(const UnicodeString &s)
{
    return s.find_first_of(u"*?") != UnicodeString::npos;
}

// "dir/pattern" -> ("dir", "pattern"); a mask without '/' searches the current folder.
void splitMask(const UnicodeString &mask, std::string &dir, UnicodeString &pattern)
{
    const auto slash = mask.rfind(u'/');
    if (slash == UnicodeString::npos) {
        dir = ".";
        pattern = mask;
    } else {
        dir = native(mask.substr(0, slash));
        if (dir.empty())
            dir = "/";
        pattern = mask.substr(slash + 1);
    }
}

std::string join(const std::string &dir, const std::string &name)
{
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + '/' + name;
}

struct Entry {
    std::string name;
    bool isDir;   // links followed, as the search reports them
    bool realDir; // a folder itself, not a link to one
};

// The entries of one folder whose names match pattern ("." and ".." never). False when the
// folder cannot be read.
bool search(const std::string &dir, const UnicodeString &pattern, std::vector<Entry> &out)
{
    out.clear();
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return false;
    while (dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (!corekit::detail::MaskMatch(pattern, Utf8ToUnicode(name)))
            continue;
        const std::string full = join(dir, name);
        struct stat st {
        }, lst{};
        const bool haveL = ::lstat(full.c_str(), &lst) == 0;
        const bool have = ::stat(full.c_str(), &st) == 0;
        out.push_back({name, have && S_ISDIR(st.st_mode), haveL && S_ISDIR(lst.st_mode)});
    }
    ::closedir(d);
    return true;
}

// Matching entries of a mask; a mask without wildcards names one entry.
bool searchMask(const UnicodeString &mask, std::vector<Entry> &out)
{
    std::string dir;
    UnicodeString pattern;
    splitMask(mask, dir, pattern);
    if (pattern.empty())
        return false;
    if (!hasWildcard(pattern)) {
        out.clear();
        const std::string full = native(mask);
        struct stat st {
        }, lst{};
        if (::lstat(full.c_str(), &lst) != 0)
            return true;
        const bool have = ::stat(full.c_str(), &st) == 0;
        out.push_back({native(pattern), have && S_ISDIR(st.st_mode), S_ISDIR(lst.st_mode)});
        return true;
    }
    return search(dir, pattern, out);
}

// One trailing '/' goes, as the shell operations prepare their paths. Empty: no operation.
bool prepare(UnicodeString &path)
{
    if (!path.empty() && path.back() == u'/' && path.size() > 1)
        path.pop_back();
    return !path.empty();
}

UnicodeString folderContent(const UnicodeString &folder)
{
    if (folder.find(u'*') != UnicodeString::npos)
        return folder;
    UnicodeString s = folder;
    if (s.empty() || s.back() != u'/')
        s += u'/';
    return s + u"*.*";
}

bool removeTree(const std::string &path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
    return !ec;
}

// Deletes what pattern matches in dir, and then in every sub-folder that stays: the shell's
// wildcard operations walk sub-folders unless told not to. Links are removed, never followed.
bool deleteMatching(const std::string &dir, const UnicodeString &pattern, bool filesOnly)
{
    std::vector<Entry> entries;
    if (!search(dir, pattern, entries))
        return false;
    bool ok = true;
    for (const Entry &e : entries) {
        const std::string full = join(dir, e.name);
        if (e.realDir) {
            if (!filesOnly)
                ok = removeTree(full) && ok;
        } else if (filesOnly && e.isDir) {
            // A link to a folder counts as a folder, which files-only keeps.
        } else if (::unlink(full.c_str()) != 0) {
            ok = false;
        }
    }
    // Folders left in place (not matching, or kept as files-only asks) are searched too.
    std::vector<Entry> all;
    if (search(dir, u"*", all))
        for (const Entry &e : all)
            if (e.realDir)
                ok = deleteMatching(join(dir, e.name), pattern, filesOnly) && ok;
    return ok;
}

bool deletePath(UnicodeString path, bool filesOnly)
{
    if (!prepare(path))
        return false;
    std::string dir;
    UnicodeString pattern;
    splitMask(path, dir, pattern);
    if (hasWildcard(pattern))
        return deleteMatching(dir, pattern, filesOnly);
    struct stat lst {};
    const std::string p = native(path);
    if (::lstat(p.c_str(), &lst) != 0)
        return false;
    if (filesOnly && S_ISDIR(lst.st_mode))
        return true;
    return removeTree(p);
}

bool copyEntry(const std::string &from, const std::string &to)
{
    std::error_code ec;
    // Links are copied as links: a copy never pulls in what lies outside the folder.
    fs::copy(from, to,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                 fs::copy_options::copy_symlinks,
             ec);
    return !ec;
}

// Whether a folder holds, at any depth, something that copyMatching would copy.
bool hasMatchBelow(const std::string &dir, const UnicodeString &pattern, bool filesOnly)
{
    std::vector<Entry> all;
    if (!search(dir, u"*", all))
        return false;
    for (const Entry &e : all) {
        if ((!e.isDir || !filesOnly) && corekit::detail::MaskMatch(pattern, Utf8ToUnicode(e.name)))
            return true;
        if (e.realDir && hasMatchBelow(join(dir, e.name), pattern, filesOnly))
            return true;
    }
    return false;
}

// Whether target is folder itself or lies somewhere below it. Copying a folder's content there
// would meet its own copies again and nest them until paths grow too long.
bool isWithin(const std::string &target, const std::string &folder)
{
    std::error_code ec;
    const auto a = fs::weakly_canonical(folder, ec);
    const auto b = fs::weakly_canonical(target, ec);
    const auto rel = b.lexically_relative(a);
    return !rel.empty() && *rel.begin() != "..";
}

// Copies what pattern matches in dir into target (created when missing). filesOnly copies the
// matching files and walks the sub-folders for more, recreating folders only to hold files.
bool copyMatching(const std::string &dir, const UnicodeString &pattern, const std::string &target,
                  bool filesOnly)
{
    std::vector<Entry> entries;
    if (!search(dir, pattern, entries))
        return false;
    std::error_code ec;
    fs::create_directories(target, ec);
    if (!fs::is_directory(target, ec))
        return false;
    bool ok = true;
    for (const Entry &e : entries)
        if (!e.isDir || !filesOnly)
            ok = copyEntry(join(dir, e.name), join(target, e.name)) && ok;
    std::vector<Entry> all;
    if (search(dir, u"*", all)) {
        for (const Entry &e : all) {
            if (!e.realDir)
                continue;
            const bool copiedWhole = !filesOnly && corekit::detail::MaskMatch(pattern, Utf8ToUnicode(e.name));
            if (copiedWhole)
                continue;
            const std::string sub = join(dir, e.name);
            // Only folders that hold something to copy appear in the target.
            if (hasMatchBelow(sub, pattern, filesOnly))
                ok = copyMatching(sub, pattern, join(target, e.name), filesOnly) && ok;
        }
    }
    return ok;
}

// Splits text into words as a shell does: blanks separate words, '...' is literal, "..." keeps
// blanks and lets \ escape $ ` " \ and a newline, and \ outside quotes escapes the next
// character. Nothing is expanded. False for an unterminated quote.
bool splitWords(const std::string &s, std::vector<std::string> &words)
{
    words.clear();
    std::string cur;
    bool inWord = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(cur);
            cur.clear();
            inWord = false;
        } else if (c == '\\') {
            if (i + 1 < s.size()) {
                if (s[i + 1] != '\n') {
                    cur += s[i + 1];
                    inWord = true;
                }
                ++i;
            } else {
                cur += c;
                inWord = true;
            }
        } else if (c == '\'') {
            const auto end = s.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            cur += s.substr(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < s.size() && s[j] != '"'; ++j) {
                if (s[j] == '\\' && j + 1 < s.size() &&
                    (s[j + 1] == '$' || s[j + 1] == '`' || s[j + 1] == '"' || s[j + 1] == '\\' ||
                     s[j + 1] == '\n')) {
                    if (s[j + 1] != '\n')
                        cur += s[j + 1];
                    ++j;
                } else {
                    cur += s[j];
                }
            }
            if (j >= s.size())
                return false;
            i = j;
            inWord = true;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(cur);
    return true;
}

// Starts argv[0] (looked up in PATH) in a session of its own, so that it outlives us and the
// end of our terminal, and lets a detached thread collect its exit so it leaves no zombie.
bool spawnDetached(const std::vector<std::string> &args)
{
    if (args.empty() || args[0].empty())
        return false;
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    // A program that cannot be executed makes posix_spawnp fail; its short-lived child has
    // then already been collected by the C library.
    if (rc != 0 || pid <= 0)
        return false;
    try {
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error &) {
        // No thread to spare: the child still runs; it stays a zombie until we end.
    }
    return true;
}

bool openDocument(const UnicodeString &document)
{
    if (document.empty())
        return false;
    const std::string doc = native(document);
    const bool isUrl = document.find(u"://") != UnicodeString::npos;
    struct stat st {};
    if (!isUrl && ::stat(doc.c_str(), &st) != 0)
        return false;
    return spawnDetached({"xdg-open", doc});
}

std::string homeFolder()
{
    if (const char *h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

// The XDG desktop folder: XDG_DESKTOP_DIR of user-dirs.dirs, else ~/Desktop.
std::string desktopFolder()
{
    const std::string home = homeFolder();
    std::string config;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        config = x;
    else if (!home.empty())
        config = home + "/.config";
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DESKTOP_DIR=\"";
        if (line.compare(0, key.size(), key) != 0 || line.size() < key.size() + 1 || line.back() != '"')
            continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0)
            value = home + value.substr(5);
        if (!value.empty() && value.front() == '/') {
            while (value.size() > 1 && value.back() == '/')
                value.pop_back();
            return value;
        }
    }
    return home.empty() ? std::string() : home + "/Desktop";
}

} // namespace

UnicodeString F_GetPathName(const UnicodeString &folder, const UnicodeString &name)
{
    if (folder.empty())
        return name;
    if (folder.back() == u'/')
        return folder + name;
    return folder + u'/' + name;
}

bool F_IsInDir(const UnicodeString &file, const UnicodeString &folder)
{
    // An empty folder occurs nowhere, as an empty text is found at no position.
    if (file.find(u'/') != UnicodeString::npos)
        return !folder.empty() && lower(file).find(lower(folder)) != UnicodeString::npos;
    struct stat st {};
    const std::string path = native(F_GetPathName(folder, file));
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

long long F_GetFileSize(const UnicodeString &path)
{
    // O_PATH asks for no read or write access, as the size needs none.
    const int fd = ::open(native(path).c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok ? static_cast<long long>(st.st_size) : -1;
}

int F_NFileExists(const UnicodeString &mask)
{
    std::vector<Entry> entries;
    if (!searchMask(mask, entries))
        return 0;
    int n = 0;
    for (const Entry &e : entries)
        if (!e.isDir)
            ++n;
    return n;
}

bool F_FileExists(const UnicodeString &mask)
{
    return F_NFileExists(mask) > 0;
}

bool F_HasFolderFiles(const UnicodeString &folder, const UnicodeString &mask)
{
    return F_FileExists(folder + u'/' + mask);
}

bool F_HasSubFolders(const UnicodeString &folder)
{
    std::vector<Entry> entries;
    if (!searchMask(folder + u"/*.*", entries))
        return false;
    for (const Entry &e : entries)
        if (e.isDir && e.name[0] != '.')
            return true;
    return false;
}

bool F_IsFolderEmpty(const UnicodeString &folder)
{
    if (F_HasFolderFiles(folder, u"*.*"))
        return false;
    return !F_HasSubFolders(folder);
}

bool F_CopyFile(const UnicodeString &source, const UnicodeString &targetFolder)
{
    const auto slash = source.rfind(u'/');
    const UnicodeString name = slash == UnicodeString::npos ? source : source.substr(slash + 1);
    if (name.empty())
        return false;
    const std::string from = native(source);
    const std::string to = native(F_GetPathName(targetFolder, name));
    struct stat st {};
    if (::stat(from.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    std::error_code ec;
    if (fs::exists(to, ec) && fs::equivalent(from, to, ec))
        return false;
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) || ec)
        return false;
    // The copy keeps the time of the last change, as the platform's copy does.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
    return true;
}

bool F_DeleteDirectory(const UnicodeString &folder, bool /*silent*/)
{
    return deletePath(folder, false);
}

bool F_DeleteDirectories(const UnicodeString &folderOrPattern, bool /*silent*/)
{
    return deletePath(folderOrPattern, false);
}

bool F_ClearDirectory(const UnicodeString &folder, bool filesOnly, bool /*silent*/)
{
    if (folder.empty())
        return false;
    return deletePath(folderContent(folder), filesOnly);
}

bool F_DeleteFiles(const UnicodeString &pattern)
{
    return deletePath(pattern, false);
}

bool F_CopyDirFiles(const UnicodeString &source, const UnicodeString &target, bool filesOnly, bool /*unused*/)
{
    if (source.empty())
        return false;
    UnicodeString from = folderContent(source), to = target;
    if (!prepare(from) || !prepare(to))
        return false;
    std::string dir;
    UnicodeString pattern;
    splitMask(from, dir, pattern);
    if (isWithin(native(to), dir))
        return false;
    if (hasWildcard(pattern))
        return copyMatching(dir, pattern, native(to), filesOnly);
    std::error_code ec;
    fs::create_directories(native(to), ec);
    return fs::exists(native(from), ec) && copyEntry(native(from), join(native(to), native(pattern)));
}

bool F_CopyDirectory(UnicodeString source, UnicodeString target, bool /*unused*/)
{
    if (!prepare(source) || !prepare(target))
        return false;
    std::string dir;
    UnicodeString pattern;
    splitMask(source, dir, pattern);
    if (hasWildcard(pattern))
        return !isWithin(native(target), dir) && copyMatching(dir, pattern, native(target), false);
    const std::string from = native(source);
    std::error_code ec;
    if (!fs::exists(from, ec))
        return false;
    fs::create_directories(native(target), ec);
    if (!fs::is_directory(native(target), ec))
        return false;
    const std::string to = join(native(target), native(pattern));
    // Copying a folder into itself would never end.
    if (fs::is_directory(from, ec)) {
        const auto a = fs::weakly_canonical(from, ec), b = fs::weakly_canonical(to, ec);
        const auto rel = b.lexically_relative(a);
        if (!rel.empty() && *rel.begin() != "..")
            return false;
    }
    return copyEntry(from, to);
}

bool F_RenameDirectory(const UnicodeString &oldPath, const UnicodeString &newPath)
{
    if (lower(oldPath) == lower(newPath))
        return false;
    UnicodeString from = oldPath, to = newPath;
    if (!prepare(from) || !prepare(to) || hasWildcard(from))
        return false;
    // Never replaces what already bears the new name.
    return ::renameat2(AT_FDCWD, native(from).c_str(), AT_FDCWD, native(to).c_str(), RENAME_NOREPLACE) == 0;
}

bool F_RunApp(const UnicodeString &program, const UnicodeString &parameters)
{
    std::vector<std::string> words;
    if (program.empty() || !splitWords(native(parameters), words))
        return false;
    words.insert(words.begin(), native(program));
    return spawnDetached(words);
}

bool F_OpenRegistDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenAsciiDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenBmpDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenRtfDoc(const UnicodeString &document)
{
    return openDocument(document);
}

UnicodeString F_GetWinFolder(const GUID &id)
{
    if (id == FOLDERID_Desktop)
        return Utf8ToUnicode(desktopFolder());
    if (id == FOLDERID_ProgramData)
        return u"/var/lib";
    if (id == FOLDERID_Windows)
        return u"/usr";
    return {};
}

UnicodeString F_GetMyComputerFolder()
{
    return F_GetWinFolder(FOLDERID_Desktop);
}

UnicodeString F_GetProgramDataFolder()
{
    return F_GetWinFolder(FOLDERID_ProgramData);
}

UnicodeString F_GetSysDisc()
{
    const UnicodeString system = F_GetWinFolder(FOLDERID_Windows);
    if (system.empty())
        return {};
    return S_Divide(system, u"/", true) + u'/';
}
