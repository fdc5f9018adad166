#include <corekit/registry.h>

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::reg {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kDefaultStore[] = "/var/lib/korvel/registry.reg";

thread_local std::string g_lastError;

void setError(const std::string &what, int err)
{
    g_lastError = what + ": " + std::strerror(err);
}

// ---- names ---------------------------------------------------------------------------------

bool isAscii(const UnicodeString &s)
{
    for (char16_t c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// Keys and value names compare as the registry compares them: without regard to case.
UnicodeString fold(const UnicodeString &s)
{
    if (isAscii(s)) {
        UnicodeString r = s;
        for (char16_t &c : r)
            if (c >= u'A' && c <= u'Z')
                c = char16_t(c - u'A' + u'a');
        return r;
    }
    return QString::fromStdU16String(s).toCaseFolded().toStdU16String();
}

bool sameName(const UnicodeString &a, const UnicodeString &b)
{
    if (a.size() != b.size() && isAscii(a) && isAscii(b))
        return false;
    return fold(a) == fold(b);
}

UnicodeString trimPath(UnicodeString p)
{
    while (!p.empty() && p.back() == u'\\')
        p.pop_back();
    return p;
}

// ---- store text ----------------------------------------------------------------------------

bool validUtf8(const std::string &s)
{
    return UnicodeToUtf8(Utf8ToUnicode(s)) == s;
}

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// A quoted .reg string starting at line[pos] == '"'. Only \\ and \" are escapes.
bool parseQuoted(const UnicodeString &line, std::size_t &pos, UnicodeString &out)
{
    out.clear();
    ++pos;
    while (pos < line.size()) {
        const char16_t c = line[pos++];
        if (c == u'"')
            return true;
        if (c == u'\\') {
            if (pos >= line.size() || (line[pos] != u'\\' && line[pos] != u'"'))
                return false;
            out += line[pos++];
        } else {
            out += c;
        }
    }
    return false;
}

bool parseHexBytes(const UnicodeString &text, std::vector<uint8_t> &out)
{
    out.clear();
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && isBlank(text[i]))
            ++i;
    };
    skipBlanks();
    if (i == text.size())
        return true;
    for (;;) {
        skipBlanks();
        const int hi = i < text.size() ? hexDigit(text[i]) : -1;
        const int lo = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi * 16 + lo));
        i += 2;
        skipBlanks();
        if (i == text.size())
            return true;
        if (text[i] != u',')
            return false;
        ++i;
    }
}

bool startsWith(const UnicodeString &s, std::size_t pos, const char *prefix)
{
    for (std::size_t k = 0; prefix[k]; ++k)
        if (pos + k >= s.size() || s[pos + k] != char16_t(prefix[k]))
            return false;
    return true;
}

bool parseValueLine(const UnicodeString &line, Value &v)
{
    std::size_t pos = 0;
    if (line[0] == u'@') {
        v.name.clear();
        pos = 1;
    } else if (!parseQuoted(line, pos, v.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != u'=')
        return false;
    ++pos;
    if (pos < line.size() && line[pos] == u'"') {
        UnicodeString text;
        if (!parseQuoted(line, pos, text))
            return false;
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos != line.size())
            return false;
        v = Value::string(v.name, text);
        return true;
    }
    if (startsWith(line, pos, "dword:")) {
        pos += 6;
        const UnicodeString digits = line.substr(pos);
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t n = 0;
        for (char16_t c : digits) {
            const int d = hexDigit(c);
            if (d < 0)
                return false;
            n = n * 16 + uint32_t(d);
        }
        v = Value::dword(v.name, n);
        return true;
    }
    if (startsWith(line, pos, "hex:")) {
        v.type = RegBinary;
        return parseHexBytes(line.substr(pos + 4), v.data);
    }
    if (startsWith(line, pos, "hex(")) {
        pos += 4;
        uint32_t type = 0;
        std::size_t digits = 0;
        while (pos < line.size() && hexDigit(line[pos]) >= 0 && digits < 8) {
            type = type * 16 + uint32_t(hexDigit(line[pos++]));
            ++digits;
        }
        if (digits == 0 || !startsWith(line, pos, "):"))
            return false;
        v.type = type;
        return parseHexBytes(line.substr(pos + 2), v.data);
    }
    return false;
}

Key *findKey(Store &store, const UnicodeString &path)
{
    const UnicodeString want = fold(trimPath(path));
    for (Key &k : store.keys)
        if (fold(k.path) == want)
            return &k;
    return nullptr;
}

// A key exists when its own section is there or a section of one of its subkeys is.
bool keyExistsIn(const Store &store, const UnicodeString &path)
{
    const UnicodeString want = fold(trimPath(path));
    if (want.empty())
        return false;
    const UnicodeString below = want + u'\\';
    for (const Key &k : store.keys) {
        const UnicodeString f = fold(k.path);
        if (f == want || f.compare(0, below.size(), below) == 0)
            return true;
    }
    return false;
}

Value *findValue(Key &key, const UnicodeString &name)
{
    for (Value &v : key.values)
        if (sameName(v.name, name))
            return &v;
    return nullptr;
}

void putValue(Key &key, const Value &value)
{
    if (Value *old = findValue(key, value.name)) {
        // The stored spelling of the name stays, as the registry keeps it.
        old->type = value.type;
        old->data = value.data;
    } else {
        key.values.push_back(value);
    }
}

Key &ensureKey(Store &store, const UnicodeString &path)
{
    if (Key *k = findKey(store, path))
        return *k;
    store.keys.push_back(Key{trimPath(path), {}, {}});
    return store.keys.back();
}

std::string escapeQuoted(const UnicodeString &s)
{
    std::string out = "\"";
    for (char c : UnicodeToUtf8(s)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// Text that fits between quotes on one line and comes back unchanged.
bool quotable(const UnicodeString &s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// A key path or value name with a control character would break its line of the store, which
// would then no longer read at all; such names are refused instead of written.
bool storableName(const UnicodeString &name, const char *what)
{
    if (quotable(name))
        return true;
    g_lastError = std::string("the ") + what + " '" + UnicodeToUtf8(name) +
                  "' holds a control character, which the registry file cannot keep";
    return false;
}

void appendHex(std::string &out, const std::vector<uint8_t> &data, std::size_t lineLen)
{
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            if (lineLen + 3 > 77) {
                out += ",\\\n  ";
                lineLen = 2;
            } else {
                out += ',';
                ++lineLen;
            }
        }
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
        lineLen += 2;
    }
}

std::string valueLine(const Value &v)
{
    std::string out = v.name.empty() ? std::string("@") : escapeQuoted(v.name);
    out += '=';
    if (v.type == RegSz) {
        const auto text = v.text();
        if (text && quotable(*text) && Value::string(v.name, *text).data == v.data)
            return out + escapeQuoted(*text);
    }
    if (v.type == RegDword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      unsigned(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24));
        return out + buf;
    }
    if (v.type == RegBinary) {
        out += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
        out += buf;
    }
    appendHex(out, v.data, out.size());
    return out;
}

// ---- the file ------------------------------------------------------------------------------

enum class Load { Ok, Missing, Damaged, Unreadable };

Load loadFile(const std::string &path, Store &store, struct stat *st = nullptr)
{
    store = Store{};
    // Not blocking: a pipe or device put in the store's place must not hold the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Load::Missing;
        setError("cannot open " + path, errno);
        return Load::Unreadable;
    }
    struct stat own {};
    if (::fstat(fd, &own) != 0 || !S_ISREG(own.st_mode)) {
        g_lastError = "the registry file " + path + " is not a plain file";
        ::close(fd);
        return Load::Unreadable;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setError("cannot read " + path, errno);
            ::close(fd);
            return Load::Unreadable;
        }
        if (n == 0)
            break;
        bytes.append(buf, std::size_t(n));
    }
    if (st)
        *st = own;
    ::close(fd);
    if (!parse(bytes, store)) {
        store = Store{};
        g_lastError = "the registry file " + path + " is damaged; it is left as it is";
        return Load::Damaged;
    }
    return Load::Ok;
}

// How long a writer waits for the lock. Anyone who can open the lock file can hold it for as
// long as he likes, so a writer gives up after this with a clear error instead of hanging.
constexpr std::chrono::milliseconds kLockWait{3000};

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

// The signal that cuts a lock wait short, or 0 when the program has its own use for it.
int wakeSignal()
{
    static const int sig = [] {
        const int s = SIGRTMAX - 3;
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            return 0;
        struct sigaction sa {};
        sa.sa_handler = +[](int) {};
        sigemptyset(&sa.sa_mask);
        return sigaction(s, &sa, nullptr) == 0 ? s : 0;
    }();
    return sig;
}

enum class Locked { Yes, Busy, Failed };

// Waits for the exclusive lock in the kernel's queue, so that writers take their turns, and a
// timer signal ends the wait at the deadline (again every 20 ms, should one signal come just
// before the wait begins). Without the signal the lock is polled.
Locked lockWithin(int fd, std::chrono::milliseconds limit)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Locked::Yes;
    if (errno != EWOULDBLOCK && errno != EINTR)
        return Locked::Failed;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const int sig = wakeSignal();
    timer_t timer{};
    bool armed = false;
    sigset_t oldMask;
    if (sig != 0) {
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = sig;
        ev.sigev_notify_thread_id = gettid();
        if (timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0) {
            itimerspec its{};
            its.it_value.tv_sec = limit.count() / 1000;
            its.it_value.tv_nsec = long(limit.count() % 1000) * 1000000L;
            its.it_interval.tv_nsec = 20000000L;
            armed = timer_settime(timer, 0, &its, nullptr) == 0;
            if (!armed)
                timer_delete(timer);
        }
    }
    if (armed) {
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, sig);
        pthread_sigmask(SIG_UNBLOCK, &wake, &oldMask);
    }
    Locked result = Locked::Busy;
    for (;;) {
        if (::flock(fd, armed ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
            result = Locked::Yes;
            break;
        }
        if (errno != EINTR && errno != EWOULDBLOCK) {
            result = Locked::Failed;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (!armed)
            ::poll(nullptr, 0, 5);
    }
    const int err = errno;
    if (armed) {
        timer_delete(timer);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    }
    errno = err;
    return result;
}

// Who may write the store may lock it, and nobody else: each class of users that has write
// access to the store gets read and write access to the lock file.
mode_t lockModeFor(mode_t storeMode)
{
    mode_t m = 0600;
    if (storeMode & S_IWGRP)
        m |= 0060;
    if (storeMode & S_IWOTH)
        m |= 0006;
    return m;
}

// Held for the whole of one read-modify-write. Readers take no lock: the store is only ever
// replaced whole by rename, so a reader sees the old or the new file. The lock lives on a
// companion file because the store's own inode changes with every write. Another user may be
// able to write the store's folder, so the lock file is never followed through a link (which
// would create or lock a file of the link's choosing), must be a plain file, and gets its mode
// only when it is our own.
class StoreLock {
public:
    bool acquire(const std::string &path)
    {
        const std::string lockPath = path + ".lock";
        struct stat store {};
        const mode_t mode = ::stat(path.c_str(), &store) == 0 ? lockModeFor(store.st_mode) : 0600;
        fd_ = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
        if (fd_ < 0) {
            if (errno == ELOOP)
                g_lastError = "the lock file " + lockPath + " is a symbolic link, which is never followed";
            else
                setError("cannot open " + lockPath, errno);
            return false;
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            g_lastError = "the lock file " + lockPath + " is not a plain file";
            return false;
        }
        if (st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & 07777) != mode)
            (void)!::fchmod(fd_, mode);
        switch (lockWithin(fd_, kLockWait)) {
        case Locked::Yes:
            return true;
        case Locked::Failed:
            setError("cannot lock " + lockPath, errno);
            return false;
        case Locked::Busy:
            break;
        }
        g_lastError =
            "the registry file " + path + " is locked by another program (its lock file " + lockPath +
            (st.st_uid != geteuid() ? ", owned by user " + std::to_string(st.st_uid) : std::string()) +
            "); gave up after " + std::to_string(kLockWait.count() / 1000) + " seconds";
        return false;
    }
    ~StoreLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    int fd_ = -1;
};

enum class Write { Ok, CannotOpen, Failed };

bool writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

// Write a temporary file beside the store, flush it to the disc, rename it over the store and
// flush the folder: a crash at any moment leaves either the old or the new store.
Write replaceFile(const std::string &path, const std::string &text, const struct stat *old)
{
    // The temporary file is always a new file of our own: whatever lies at its name (a file a
    // killed writer left, or a link planted by someone who may write the folder) is removed,
    // never opened, so the store's owner and mode only ever reach this file.
    const std::string tmp = path + ".tmp";
    const mode_t mode = old ? (old->st_mode & 0777) : 0644;
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
        setError("cannot remove " + tmp, errno);
        return Write::CannotOpen;
    }
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError("cannot create " + tmp, errno);
        return Write::CannotOpen;
    }
    if (old && geteuid() == 0)
        (void)!::fchown(fd, old->st_uid, old->st_gid);
    ::fchmod(fd, mode);
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        setError("cannot write " + path, err);
        ::unlink(tmp.c_str());
        return Write::Failed;
    }
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return Write::Ok;
}

// Reads the store without a lock (see StoreLock), so no reader ever waits for a writer.
Load readStore(Store &store)
{
    return loadFile(storePath(), store);
}

struct TxResult {
    Status status = Status::Ok;
    bool writeFailed = false; // the store was open for writing, but the new file did not get out
};

// One read-modify-write under the exclusive lock. change() returns Ok and sets changed when
// the store is to be written. A damaged or unreadable store is never written over.
TxResult transact(const std::function<Status(Store &, bool &changed)> &change, bool mayCreateFile)
{
    const std::string path = storePath();
    if (mayCreateFile) {
        const auto dir = std::filesystem::path(path).parent_path();
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::create_directories(dir, ec);
    }
    StoreLock lock;
    if (!lock.acquire(path))
        return {Status::IoError, false};
    Store store;
    struct stat st {};
    const Load load = loadFile(path, store, &st);
    if (load == Load::Damaged)
        return {Status::Damaged, false};
    if (load == Load::Unreadable)
        return {Status::IoError, false};
    bool changed = false;
    const Status s = change(store, changed);
    if (s != Status::Ok || !changed)
        return {s, false};
    switch (replaceFile(path, serialize(store), load == Load::Ok ? &st : nullptr)) {
    case Write::Ok:
        return {Status::Ok, false};
    case Write::CannotOpen:
        return {Status::IoError, false};
    case Write::Failed:
        break;
    }
    return {Status::IoError, true};
}

} // namespace

// ---- values --------------------------------------------------------------------------------

Value Value::string(const UnicodeString &name, const UnicodeString &text, uint32_t type)
{
    Value v;
    v.name = name;
    v.type = type;
    v.data.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        v.data.push_back(uint8_t(c & 0xFF));
        v.data.push_back(uint8_t(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

Value Value::binary(const UnicodeString &name, const void *bytes, std::size_t size)
{
    Value v;
    v.name = name;
    v.type = RegBinary;
    const auto *p = static_cast<const uint8_t *>(bytes);
    v.data.assign(p, p + size);
    return v;
}

Value Value::dword(const UnicodeString &name, uint32_t n)
{
    Value v;
    v.name = name;
    v.type = RegDword;
    v.data = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    return v;
}

std::optional<UnicodeString> Value::text() const
{
    if (type != RegSz && type != RegExpandSz)
        return std::nullopt;
    UnicodeString s;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        s += char16_t(data[i] | data[i + 1] << 8);
    // The registry keeps the terminating zero with the data; text ends at the first one.
    const auto nul = s.find(u'\0');
    if (nul != UnicodeString::npos)
        s.resize(nul);
    return s;
}

// ---- text form -----------------------------------------------------------------------------

bool parse(const std::string &raw, Store &out)
{
    out = Store{};
    UnicodeString text;
    if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE) {
        // An export of the system's own editor: UTF-16LE with a byte-order mark.
        if (raw.size() % 2 != 0)
            return false;
        for (std::size_t i = 2; i < raw.size(); i += 2)
            text += char16_t(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8);
    } else {
        std::string bytes = raw;
        if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
            bytes.erase(0, 3);
        if (!validUtf8(bytes))
            return false;
        text = Utf8ToUnicode(bytes);
    }

    std::vector<UnicodeString> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(u'\n', start);
        if (end == UnicodeString::npos)
            end = text.size();
        UnicodeString line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }

    std::size_t i = 0;
    while (i < lines.size() && lines[i].empty())
        ++i;
    if (i == lines.size() || lines[i] != U(kHeader))
        return false;
    ++i;

    // Values are indexed by folded name while parsing: a store of thousands of values is
    // read on every write, and a linear search per value would make that quadratic.
    std::vector<std::unordered_map<UnicodeString, std::size_t>> index;
    Key *current = nullptr;
    std::size_t currentIndex = 0;
    for (; i < lines.size(); ++i) {
        UnicodeString line = lines[i];
        std::size_t lead = 0;
        while (lead < line.size() && isBlank(line[lead]))
            ++lead;
        line.erase(0, lead);
        if (line.empty())
            continue;
        if (line[0] == u';') {
            (current ? current->comments : out.preamble).push_back(line);
            continue;
        }
        if (line[0] == u'[') {
            while (!line.empty() && isBlank(line.back()))
                line.pop_back();
            if (line.size() < 3 || line.back() != u']' || line[1] == u'-')
                return false;
            const UnicodeString path = trimPath(line.substr(1, line.size() - 2));
            if (path.empty())
                return false;
            const UnicodeString folded = fold(path);
            currentIndex = out.keys.size();
            for (std::size_t k = 0; k < out.keys.size(); ++k)
                if (fold(out.keys[k].path) == folded)
                    currentIndex = k;
            if (currentIndex == out.keys.size()) {
                out.keys.push_back(Key{path, {}, {}});
                index.emplace_back();
            }
            current = &out.keys[currentIndex];
            continue;
        }
        if (line[0] != u'"' && line[0] != u'@')
            return false;
        if (!current)
            return false;
        // Hexadecimal data may continue on following lines after a trailing backslash.
        while (!line.empty() && line.back() == u'\\' && line.find(u"=hex") != UnicodeString::npos &&
               i + 1 < lines.size()) {
            line.pop_back();
            UnicodeString next = lines[++i];
            std::size_t k = 0;
            while (k < next.size() && isBlank(next[k]))
                ++k;
            line += next.substr(k);
        }
        Value v;
        if (!parseValueLine(line, v))
            return false;
        auto [at, added] = index[currentIndex].try_emplace(fold(v.name), current->values.size());
        if (added) {
            current->values.push_back(std::move(v));
        } else {
            // A later line for the same name wins; the first spelling of the name stays.
            current->values[at->second].type = v.type;
            current->values[at->second].data = std::move(v.data);
        }
    }
    return true;
}

std::string serialize(const Store &store)
{
    std::string out = kHeader;
    out += "\n\n";
    for (const UnicodeString &c : store.preamble)
        out += UnicodeToUtf8(c) + "\n";
    if (!store.preamble.empty())
        out += '\n';
    for (const Key &k : store.keys) {
        out += '[' + UnicodeToUtf8(k.path) + "]\n";
        for (const UnicodeString &c : k.comments)
            out += UnicodeToUtf8(c) + "\n";
        for (const Value &v : k.values)
            out += valueLine(v) + "\n";
        out += '\n';
    }
    return out;
}

// ---- the internal API ----------------------------------------------------------------------

std::string storePath()
{
    const char *env = std::getenv("KORVEL_REGISTRY");
    return env && *env ? std::string(env) : std::string(kDefaultStore);
}

std::string lastError()
{
    return g_lastError;
}

UnicodeString machineSoftwarePath(const UnicodeString &key, bool wow6432)
{
    UnicodeString p = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
    if (wow6432)
        p += u"\\WOW6432Node";
    if (!key.empty())
        p += u'\\' + key;
    return p;
}

namespace {
Status fromLoad(Load l)
{
    switch (l) {
    case Load::Ok:
    case Load::Missing:
        return Status::Ok;
    case Load::Damaged:
        return Status::Damaged;
    case Load::Unreadable:
        break;
    }
    return Status::IoError;
}
} // namespace

Status keyExists(const UnicodeString &fullPath)
{
    Store store;
    const Status s = fromLoad(readStore(store));
    if (s != Status::Ok)
        return s;
    return keyExistsIn(store, fullPath) ? Status::Ok : Status::NotFound;
}

Status createKey(const UnicodeString &fullPath)
{
    if (trimPath(fullPath).empty())
        return Status::NotFound;
    return transact(
               [&](Store &store, bool &changed) {
                   if (!keyExistsIn(store, fullPath)) {
                       if (!storableName(trimPath(fullPath), "key"))
                           return Status::IoError;
                       ensureKey(store, fullPath);
                       changed = true;
                   }
                   return Status::Ok;
               },
               true)
        .status;
}

Status deleteKey(const UnicodeString &fullPath)
{
    return transact(
               [&](Store &store, bool &changed) {
                   const UnicodeString want = fold(trimPath(fullPath));
                   if (want.empty())
                       return Status::NotFound;
                   const UnicodeString below = want + u'\\';
                   const auto before = store.keys.size();
                   std::erase_if(store.keys, [&](const Key &k) {
                       const UnicodeString f = fold(k.path);
                       return f == want || f.compare(0, below.size(), below) == 0;
                   });
                   changed = store.keys.size() != before;
                   return changed ? Status::Ok : Status::NotFound;
               },
               false)
        .status;
}

Status deleteValue(const UnicodeString &fullPath, const UnicodeString &name)
{
    return transact(
               [&](Store &store, bool &changed) {
                   Key *k = findKey(store, fullPath);
                   if (!k)
                       return Status::NotFound;
                   const auto before = k->values.size();
                   std::erase_if(k->values, [&](const Value &v) { return sameName(v.name, name); });
                   changed = k->values.size() != before;
                   return changed ? Status::Ok : Status::NotFound;
               },
               false)
        .status;
}

Status setValue(const UnicodeString &fullPath, const Value &value, bool createMissingKey)
{
    if (trimPath(fullPath).empty())
        return Status::NotFound;
    return transact(
               [&](Store &store, bool &changed) {
                   if (!createMissingKey && !keyExistsIn(store, fullPath))
                       return Status::NotFound;
                   if (!storableName(trimPath(fullPath), "key") || !storableName(value.name, "value name"))
                       return Status::IoError;
                   putValue(ensureKey(store, fullPath), value);
                   changed = true;
                   return Status::Ok;
               },
               createMissingKey)
        .status;
}

Status getValue(const UnicodeString &fullPath, const UnicodeString &name, Value &out)
{
    Store store;
    const Status s = fromLoad(readStore(store));
    if (s != Status::Ok)
        return s;
    Key *k = findKey(store, fullPath);
    Value *v = k ? findValue(*k, name) : nullptr;
    if (!v)
        return Status::NotFound;
    out = *v;
    return Status::Ok;
}

Status listKey(const UnicodeString &fullPath, KeyListing &out)
{
    out = KeyListing{};
    Store store;
    const Status s = fromLoad(readStore(store));
    if (s != Status::Ok)
        return s;
    if (!keyExistsIn(store, fullPath))
        return Status::NotFound;
    const UnicodeString path = trimPath(fullPath);
    out.path = path;
    const UnicodeString below = fold(path) + u'\\';
    for (const Key &k : store.keys) {
        // A key known only through its subkeys takes its spelling from the first of them.
        if (fold(k.path).compare(0, below.size(), below) == 0) {
            out.path = k.path.substr(0, path.size());
            break;
        }
    }
    if (Key *k = findKey(store, path)) {
        out.path = k->path;
        out.values = k->values;
    }
    std::vector<UnicodeString> seen;
    for (const Key &k : store.keys) {
        if (k.path.size() <= below.size() || fold(k.path).compare(0, below.size(), below) != 0)
            continue;
        UnicodeString child = k.path.substr(below.size());
        child = child.substr(0, child.find(u'\\'));
        const UnicodeString f = fold(child);
        if (std::find(seen.begin(), seen.end(), f) == seen.end()) {
            seen.push_back(f);
            out.subkeys.push_back(child);
        }
    }
    return Status::Ok;
}

} // namespace korvel::reg

// ---- the RG_ functions ---------------------------------------------------------------------

using namespace korvel::reg;

namespace {

std::string describe(const UnicodeString &name)
{
    return "'" + UnicodeToUtf8(name) + "'";
}

[[noreturn]] void writeRefused(const UnicodeString &name)
{
    throw ERegistryException("Failed to set data for " + describe(name) + ": " + lastError());
}

bool setIn(const UnicodeString &path, const Value &value)
{
    bool refused = false;
    const auto r = transact(
        [&](Store &store, bool &changed) {
            if (!keyExistsIn(store, path))
                return Status::NotFound;
            if (!storableName(value.name, "value name")) {
                refused = true;
                return Status::IoError;
            }
            putValue(ensureKey(store, path), value);
            changed = true;
            return Status::Ok;
        },
        false);
    if (r.writeFailed || refused)
        writeRefused(value.name);
    return r.status == Status::Ok;
}

} // namespace

UnicodeString RG_GetRegString(const UnicodeString &key, const UnicodeString &name, bool wow6432)
{
    Value v;
    if (getValue(machineSoftwarePath(key, wow6432), name, v) != Status::Ok)
        return {};
    const auto text = v.text();
    if (!text)
        throw ERegistryException("Invalid data type for " + describe(name));
    return *text;
}

bool RG_SetRegString(const UnicodeString &key, const UnicodeString &name, const UnicodeString &value,
                     bool wow6432)
{
    return setIn(machineSoftwarePath(key, wow6432), Value::string(name, value));
}

int RG_GetRegBin(const UnicodeString &name, void *buffer, int size, bool wow6432)
{
    Value v;
    if (getValue(machineSoftwarePath(name, wow6432), name, v) != Status::Ok)
        return 0;
    if (v.type == RegSz || v.type == RegExpandSz || v.type == RegDword)
        throw ERegistryException("Invalid data type for " + describe(name));
    if (size < 0 || v.data.size() > std::size_t(size))
        throw ERegistryException("Failed to get data for " + describe(name) + ": the buffer is too small");
    if (!v.data.empty())
        std::memcpy(buffer, v.data.data(), v.data.size());
    return int(v.data.size());
}

bool RG_SetRegBin(const UnicodeString &name, const void *data, int size, bool wow6432)
{
    if (size < 0 || (size > 0 && !data))
        return false;
    return setIn(machineSoftwarePath(name, wow6432), Value::binary(name, data, std::size_t(size)));
}
