// Named shared-memory blocks, visible to every program of the machine (and session).
#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

/// A named block and a mapped view of it. Move-only; the destructor closes what is still open.
///
/// The program that created a block holds it for as long as its MHandle stays open. A block
/// whose creator has closed it, or has died without closing it, reads as absent.
class MHandle {
public:
    MHandle() = default;
    MHandle(const MHandle &) = delete;
    MHandle &operator=(const MHandle &) = delete;
    MHandle(MHandle &&other) noexcept;
    MHandle &operator=(MHandle &&other) noexcept;
    ~MHandle();

    /// True while the handle refers to a block (also after UnmapView).
    bool Active() const { return FHandle >= 0; }

    /// Unmaps the view and closes the handle. A creator's block disappears with it.
    void Close();

    /// The mapped view, or null when there is none.
    void *View() const { return FView; }
    /// Size of the view in bytes (0 when there is none).
    std::size_t Size() const { return FSize; }
    /// The user who owns the block (its creator), when the handle is active.
    uid_t Owner() const { return FOwner; }

    /// Unmaps the view but keeps the handle, so a creator keeps holding its block.
    void UnmapView();

private:
    friend MHandle CreateMemFile(const std::u16string &name, std::size_t size);
    friend MHandle OpenMemFile(const std::u16string &name, char access);

    int FHandle = -1;
    void *FView = nullptr;
    std::size_t FSize = 0;
    bool FCreator = false;
    uid_t FOwner = 0;
    std::string FObjectName; // the name under /dev/shm, unlinked by the creator's Close
};

/// Creates the block `name` of `size` bytes with a writable view. Not active when the name is
/// empty, the size is 0, or another living program holds a block of that name. A block left
/// behind by a program that died, or anything under the name that is no block, is removed and
/// made anew when this user may remove it (its own, or any for root). Never waits.
MHandle CreateMemFile(const std::u16string &name, std::size_t size);

/// Opens the existing block `name`: access 'R' gives a read-only view, 'W' a writable one.
/// Not active when no living program holds a block of that name.
MHandle OpenMemFile(const std::u16string &name, char access);

/// What is known of the block `name` without holding it.
/// Only a regular object under the name is a block; anything else (a FIFO, a link, a folder)
/// is reported with its type, never opened, and is removed by its owner's or root's
/// CreateMemFile and RemoveMemFile.
struct TMemFileInfo {
    bool exists = false; ///< something lies under the name
    bool held = false;   ///< a living creator holds it (also when it cannot be looked into)
    uid_t owner = 0;     ///< the user who created it, when it exists
    mode_t type = 0;     ///< when it is no block: what it is (S_IFIFO, S_IFLNK, S_IFDIR...)
};
TMemFileInfo ProbeMemFile(const std::u16string &name);

/// Removes the name of the block `name` when it belongs to `owner`, held or not, so that the next
/// creator makes a new one; whoever still holds the old block keeps it, nameless. What is no
/// block is removed too (a folder with its contents). Only the owner and root may. True when
/// the name was removed.
bool RemoveMemFile(const std::u16string &name, uid_t owner);
