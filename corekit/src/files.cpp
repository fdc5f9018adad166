// File operations: sizes, existence, copying, deleting and renaming of files and folders, as
// the shell's operations do them.
#include <corekit/files.h>
#include <corekit/strings.h>

#include <QString>

#include <maskmatch.h>

#include <filesystem>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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
