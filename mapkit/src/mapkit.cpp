// Named blocks on POSIX shared memory. The creator holds an open-file-description write lock on
// its block for as long as it keeps the handle; the kernel drops that lock when the creator ends
// in any way, so "is the block held" is answered by the lock, never by the name alone. That way
// a block left behind by a killed program reads as absent and the next creator takes it over.
//
// Every user may put anything under a block's name in the shared-memory folder: a FIFO, a link,
// a folder. So a name is only ever opened without waiting and without following a link, and
// only a regular object counts as a block; anything else is a leftover that its owner or root
// removes, and that everyone else reads as a name taken by that user.

#include <mapkit/mapkit.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

// Where the C library keeps shared-memory objects: their names are files of this folder.
constexpr const char *ShmFolder = "/dev/shm";

// A FIFO would wait for a writer in open(), a link would lead anywhere: neither may happen.
constexpr int NoWait = O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The shared-memory object name of a block: "/" and the name in UTF-8, with '/' (not allowed
// inside the object name), '%' and NUL escaped so that distinct names never meet.
std::string ObjectName(const std::u16string &name)
{
    std::string utf8;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        switch (c) {
        case U'/':
            utf8 += "%2F";
            break;
        case U'%':
            utf8 += "%25";
            break;
        case 0:
            utf8 += "%00";
            break;
        default:
            AppendUtf8(utf8, c);
        }
    }
    return "/" + utf8;
}

// Whether a living creator holds the block: creators hold a write lock, which only a program
// that may write the block can take. Probing for a read lock sees write locks alone, so a reader
// of another user who read-locks a block left behind cannot make it look alive.
bool IsHeld(int fd)
{
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0)
        return false;
    return probe.l_type == F_WRLCK;
}

uid_t OwnerOf(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Whether the name still leads to the object behind fd (a closing creator may have unlinked it
// between our open and our lock).
bool NameLeadsTo(const std::string &objectName, int fd)
{
    int other = shm_open(objectName.c_str(), O_RDONLY | NoWait, 0);
    if (other < 0)
        return false;
    struct stat a {
    }, b{};
    bool same = fstat(fd, &a) == 0 && fstat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    close(other);
    return same;
}

// Opens the object under the name without waiting or following a link; -1 unless it is a
// regular object (errno ENOENT when nothing is there, EINVAL for something that is no block).
int OpenBlock(const std::string &objectName, int flags, mode_t mode = 0)
{
    const int fd = shm_open(objectName.c_str(), flags | NoWait, mode);
    if (fd < 0) {
        // A link (ELOOP), a folder opened for writing (EISDIR), a socket (ENXIO).
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO)
            errno = EINVAL;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// What lies under the name itself (a link is not followed). False when nothing does.
bool LookAt(const std::string &objectName, struct stat &st)
{
    return fstatat(AT_FDCWD, (ShmFolder + objectName).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Empties a folder found under a block's name. Its owner may change it meanwhile, so every step
// goes through descriptors opened without following links; depth and count are bounded.
void EmptyFolder(int dirFd, int depth, int &budget)
{
    DIR *dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    while (budget > 0) {
        const dirent *e = readdir(dir);
        if (!e)
            break;
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..")
            continue;
        --budget;
        if (unlinkat(dirfd(dir), entry.c_str(), 0) == 0 || errno != EISDIR || depth <= 0)
            continue;
        const int sub = openat(dirfd(dir), entry.c_str(), O_RDONLY | O_DIRECTORY | NoWait);
        if (sub >= 0) {
            EmptyFolder(sub, depth - 1, budget);
            unlinkat(dirfd(dir), entry.c_str(), AT_REMOVEDIR);
        }
    }
    closedir(dir);
}

// Removes what is no block from under the name, when this user may (its owner, or root): a
// folder is first moved aside in one step, so the name is free even if its contents are not.
bool RemoveNonBlock(const std::string &objectName, const struct stat &seen)
{
    const std::string path = ShmFolder + objectName;
    if (!S_ISDIR(seen.st_mode))
        return unlink(path.c_str()) == 0 || errno == ENOENT;
    if (rmdir(path.c_str()) == 0 || errno == ENOENT)
        return true;
    char aside[96];
    std::snprintf(aside, sizeof aside, "%s/.korvel-removed-%llu-%d", ShmFolder,
                  static_cast<unsigned long long>(seen.st_ino), static_cast<int>(getpid()));
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside, RENAME_NOREPLACE) != 0)
        return errno == ENOENT;
    const int fd = open(aside, O_RDONLY | O_DIRECTORY | NoWait);
    if (fd >= 0) {
        int budget = 10000;
        EmptyFolder(fd, 8, budget);
    }
    rmdir(aside);
    return true;
}

} // namespace

MHandle::MHandle(MHandle &&other) noexcept
    : FHandle(std::exchange(other.FHandle, -1)), FView(std::exchange(other.FView, nullptr)),
      FSize(std::exchange(other.FSize, 0)), FCreator(std::exchange(other.FCreator, false)),
      FOwner(other.FOwner), FObjectName(std::move(other.FObjectName))
{
}

MHandle &MHandle::operator=(MHandle &&other) noexcept
{
    if (this != &other) {
        Close();
        FHandle = std::exchange(other.FHandle, -1);
        FView = std::exchange(other.FView, nullptr);
        FSize = std::exchange(other.FSize, 0);
        FCreator = std::exchange(other.FCreator, false);
        FOwner = other.FOwner;
        FObjectName = std::move(other.FObjectName);
    }
    return *this;
}

MHandle::~MHandle()
{
    Close();
}

void MHandle::UnmapView()
{
    if (FView)
        munmap(FView, FSize);
    FView = nullptr;
    FSize = 0;
}

void MHandle::Close()
{
    UnmapView();
    if (FHandle >= 0) {
        // Remove the name while the lock is still held, so no creator can have taken the
        // object over in between.
        if (FCreator && NameLeadsTo(FObjectName, FHandle))
            shm_unlink(FObjectName.c_str());
        close(FHandle);
    }
    FHandle = -1;
    FCreator = false;
    FObjectName.clear();
}

MHandle CreateMemFile(const std::u16string &name, std::size_t size)
{
    MHandle h;
    if (name.empty() || size == 0)
        return h;
    const std::string objectName = ObjectName(name);

    // More than one round only when a dead creator's block or something that is no block is in
    // the way, or when another creator opens or closes at the very same moment.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | NoWait, 0644);
        const bool fresh = fd >= 0;
        if (!fresh) {
            if (errno != EEXIST)
                return h;
            fd = OpenBlock(objectName, O_RDWR);
            if (fd < 0) {
                if (errno == ENOENT)
                    continue; // its holder closed it meanwhile
                if (errno != EINVAL)
                    return h; // another user's block, not ours to write
                // A FIFO, a link, a folder...: a leftover, never a block. Its owner and root
                // remove it; anyone else is kept out by it.
                struct stat st {};
                if (LookAt(objectName, st) && !S_ISREG(st.st_mode) && !RemoveNonBlock(objectName, st))
                    return h;
                continue;
            }
        }
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0 && (fresh || IsHeld(fd))) {
            close(fd); // a living program holds it
            return h;
        }
        if (!NameLeadsTo(objectName, fd)) {
            close(fd);
            continue;
        }
        if (!fresh) {
            // Left behind by a creator that died (perhaps read-locked by someone since). Remove
            // it and make a new one rather than resize it under a reader that may still map the
            // old size. Only its owner and root may remove it.
            const bool removed = shm_unlink(objectName.c_str()) == 0 || errno == ENOENT;
            close(fd);
            if (!removed)
                return h;
            continue;
        }
        void *view = MAP_FAILED;
        if (fchmod(fd, 0644) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0)
            view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            shm_unlink(objectName.c_str());
            close(fd);
            return h;
        }
        h.FHandle = fd;
        h.FView = view;
        h.FSize = size;
        h.FCreator = true;
        h.FOwner = OwnerOf(fd);
        h.FObjectName = objectName;
        return h;
    }
    return h;
}

MHandle OpenMemFile(const std::u16string &name, char access)
{
    MHandle h;
    int flags = 0;
    int prot = 0;
    switch (access) {
    case 'R':
    case 'r':
        flags = O_RDONLY;
        prot = PROT_READ;
        break;
    case 'W':
    case 'w':
        flags = O_RDWR;
        prot = PROT_READ | PROT_WRITE;
        break;
    default:
        return h;
    }
    if (name.empty())
        return h;
    int fd = OpenBlock(ObjectName(name), flags);
    if (fd < 0)
        return h;
    struct stat st {};
    if (!IsHeld(fd) || fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return h;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void *view = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        close(fd);
        return h;
    }
    h.FHandle = fd;
    h.FView = view;
    h.FSize = size;
    h.FOwner = st.st_uid;
    return h;
}

TMemFileInfo ProbeMemFile(const std::u16string &name)
{
    TMemFileInfo info;
    if (name.empty())
        return info;
    const std::string objectName = ObjectName(name);
    struct stat st {};
    if (!LookAt(objectName, st))
        return info;
    info.exists = true;
    info.owner = st.st_uid;
    if (!S_ISREG(st.st_mode)) {
        info.type = st.st_mode & S_IFMT;
        return info;
    }
    const int fd = OpenBlock(objectName, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT)
            return TMemFileInfo(); // its holder closed it meanwhile
        // One that this user may not even read still has an owner; whether it is held cannot
        // be seen, so it counts as held.
        info.held = true;
        return info;
    }
    info.held = IsHeld(fd);
    info.owner = OwnerOf(fd);
    close(fd);
    return info;
}

bool RemoveMemFile(const std::u16string &name, uid_t owner)
{
    if (name.empty())
        return false;
    const std::string objectName = ObjectName(name);
    struct stat st {};
    if (!LookAt(objectName, st) || st.st_uid != owner)
        return false;
    if (!S_ISREG(st.st_mode))
        return RemoveNonBlock(objectName, st);
    const int fd = OpenBlock(objectName, O_RDONLY);
    if (fd < 0)
        return false;
    const bool removed =
        OwnerOf(fd) == owner && NameLeadsTo(objectName, fd) && shm_unlink(objectName.c_str()) == 0;
    close(fd);
    return removed;
}
