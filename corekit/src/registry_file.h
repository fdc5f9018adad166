// The store's file: read whole, and replaced whole under its lock.
#pragma once

#include <corekit/registry.h>

#include <cstddef>
#include <string>

#include <sys/stat.h>

namespace korvel::reg::detail {

/// A store file larger than this is not read: nothing the suite keeps comes near it.
constexpr std::size_t kMaxStoreBytes = std::size_t(64) << 20;

/// Reads the whole store file. NotFound when there is none; IoError when it cannot be read,
/// is not a plain file or is larger than kMaxStoreBytes. `st` receives the file's status.
Result readStoreFile(const std::string &path, std::string &bytes, struct stat *st = nullptr);

/// The writer's lock on "<store>.lock", held from acquire() until the object goes. Readers
/// take none: the store is only ever replaced whole, so a reader sees the old or the new file.
class WriteLock {
public:
    WriteLock() = default;
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
    ~WriteLock();

    /// Ok once the lock is held; Busy when another program held it for the whole wait (a few
    /// seconds); IoError when the lock file cannot be used.
    Result acquire(const std::string &storePath);

private:
    int fd_ = -1;
};

/// Writes `text` to a new temporary file beside the store, flushes it, gives it the old
/// store's owner and mode (`old`, null for a new store) and renames it over the store. A crash
/// leaves the old or the new store. `opened` tells whether the temporary file was made, so that
/// a failure after it (a refused write) can be told from not getting that far.
Result replaceStoreFile(const std::string &path, const std::string &text, const struct stat *old,
                        bool &opened);

} // namespace korvel::reg::detail
