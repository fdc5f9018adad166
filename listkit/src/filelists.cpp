// File lists and file times over the POSIX directory search.

#include <listkit/filelists.h>

#include <corekit/strings.h>

#include <QString>

#include <maskmatch.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct Mask {
    UnicodeString folder;  // up to and including the last '/', or empty
    UnicodeString pattern; // the last component
};

Mask splitMask(const UnicodeString &mask)
{
    const auto slash = mask.rfind(u'/');
    if (slash == UnicodeString::npos)
        return {UnicodeString(), mask};
    return {mask.substr(0, slash + 1), mask.substr(slash + 1)};
}

struct Entry {
    UnicodeString name;
    std::string path; // folder and name, for stat
    bool isDir = false;
};

// Runs `visit` for every entry of the mask's folder whose name matches the mask's last
// component, in directory order. Returns false when the folder cannot be searched.
template <typename Visit> bool search(const Mask &mask, Visit visit)
{
    const std::string folder = mask.folder.empty() ? std::string("./") : UnicodeToUtf8(mask.folder);
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    while (const dirent *d = ::readdir(dir)) {
        Entry e;
        e.name = Utf8ToUnicode(d->d_name);
        if (!corekit::detail::MaskMatch(mask.pattern, e.name))
            continue;
        e.path = folder + d->d_name;
        if (d->d_type == DT_DIR) {
            e.isDir = true;
        } else if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            // A link counts as what it points to; a dangling one as a file.
            struct stat st {};
            e.isDir = ::stat(e.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        visit(e);
    }
    ::closedir(dir);
    return true;
}

struct Times {
    struct timespec c, a, m;
    bool isDir;
};

std::optional<Times> queryTimes(const std::string &path)
{
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME,
                &sx) != 0)
        return std::nullopt;
    auto ts = [](const struct statx_timestamp &t) {
        struct timespec r {};
        r.tv_sec = static_cast<time_t>(t.tv_sec);
        r.tv_nsec = static_cast<long>(t.tv_nsec);
        return r;
    };
    Times t{};
    // File systems without a birth time give the last change of status instead.
    t.c = ts((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
    t.a = ts(sx.stx_atime);
    t.m = ts(sx.stx_mtime);
    t.isDir = S_ISDIR(sx.stx_mode);
    return t;
}

TDateTime toDateTime(const struct timespec &t)
{
    return UnixToDateTime(static_cast<long long>(t.tv_sec)) + static_cast<double>(t.tv_nsec) / 86400e9;
}

bool pathTime(const UnicodeString &path, TDateTime &time, char selector, bool wantDir)
{
    if (selector != 'C' && selector != 'A' && selector != 'M')
        return false;
    const auto t = queryTimes(UnicodeToUtf8(path));
    if (!t || t->isDir != wantDir)
        return false;
    time = toDateTime(selector == 'C' ? t->c : selector == 'A' ? t->a : t->m);
    return true;
}

// "dd.mm.yyyy hh:nn:ss" in local time; a time that has no local form shows day 0.
UnicodeString timeText(time_t secs)
{
    std::tm tm{};
    if (!::localtime_r(&secs, &tm))
        return U("30.12.1899 00:00:00");
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return U(buf);
}

UnicodeString upper(const UnicodeString &s)
{
    return QString::fromStdU16String(s).toUpper().toStdU16String();
}

} // namespace

bool F_GetFileTime(const UnicodeString &path, TDateTime &time, char selector)
{
    return pathTime(path, time, selector, false);
}

bool F_GetDirTime(const UnicodeString &path, TDateTime &time, char selector)
{
    return pathTime(path, time, selector, true);
}

int F_GetFileList(const UnicodeString &mask, std::vector<UnicodeString> &list, bool withTime, bool withSize,
                  bool withUnit)
{
    UnicodeString pattern = mask;
    UnicodeString exclusion;
    if (mask.find(u'|') != UnicodeString::npos) {
        pattern = S_Before(mask, u'|');
        exclusion = upper(S_After(mask, u'|'));
    }
    const Mask m = splitMask(pattern);

    // A mask like "*.htm" must not take "page.html": the extension has to have the mask's length.
    // Only the last component counts, so a dot in a folder name changes nothing.
    std::optional<std::size_t> extLength;
    if (m.pattern.find(u'.') != UnicodeString::npos) {
        const UnicodeString ext = S_After(m.pattern, u'.');
        if (ext.find(u'*') == UnicodeString::npos)
            extLength = ext.size();
    }

    bool found = false;
    int count = 0;
    search(m, [&](const Entry &e) {
        if (!found) {
            // The search found something: from here on the list is ours.
            found = true;
            list.clear();
        }
        if (e.isDir)
            return;
        if (extLength && S_After(e.name, u'.').size() != *extLength)
            return;
        if (!exclusion.empty() && upper(e.name).find(exclusion) != UnicodeString::npos)
            return;
        UnicodeString item = e.name;
        if (withTime || withSize) {
            struct stat st {};
            const bool ok = ::stat(e.path.c_str(), &st) == 0;
            if (withTime)
                item += u'/' + (ok ? timeText(st.st_mtim.tv_sec) : U("30.12.1899 00:00:00"));
            if (withSize) {
                const unsigned long long bytes = ok ? static_cast<unsigned long long>(st.st_size) : 0;
                item += u'/' + IntToStr(static_cast<long long>(bytes / 1024 + 1));
                if (withUnit)
                    item += U(" K");
            }
        }
        list.push_back(std::move(item));
        ++count;
    });
    return count;
}

UnicodeString F_GetFirstFile(const UnicodeString &mask)
{
    std::vector<UnicodeString> names;
    if (F_GetFileList(mask, names, false, false, false) <= 0)
        return UnicodeString();
    // The folder of the search pattern: an exclusion text after '|' is no part of the path.
    const UnicodeString pattern = mask.find(u'|') != UnicodeString::npos ? S_Before(mask, u'|') : mask;
    return splitMask(pattern).folder + names.front();
}

int F_GetFolderList(const UnicodeString &mask, std::vector<UnicodeString> &list, bool withTime)
{
    list.clear();
    search(splitMask(mask), [&](const Entry &e) {
        if (!e.isDir || e.name.empty() || e.name.front() == u'.')
            return;
        UnicodeString item = e.name;
        if (withTime) {
            const auto t = queryTimes(e.path);
            item += u'/' + (t ? timeText(t->c.tv_sec) : U("30.12.1899 00:00:00"));
        }
        list.push_back(std::move(item));
    });
    return static_cast<int>(list.size());
}
