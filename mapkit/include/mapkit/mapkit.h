// Named shared-memory blocks, visible to every program of the machine (and session).
#pragma once

#include <cstddef>
#include <string>

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

    /// Unmaps the view but keeps the handle, so a creator keeps holding its block.
    void UnmapView();

private:
    friend MHandle CreateMemFile(const std::u16string &name, std::size_t size);
    friend MHandle OpenMemFile(const std::u16string &name, char access);

    int FHandle = -1;
    void *FView = nullptr;
    std::size_t FSize = 0;
    bool FCreator = false;
    std::string FObjectName;  // the name under /dev/shm, unlinked by the creator's Close
};

/// Creates the block `name` of `size` bytes with a writable view. Not active when the name is
/// empty, the size is 0, or another living program holds a block of that name. A block left
/// behind by a program that died is taken over.
MHandle CreateMemFile(const std::u16string &name, std::size_t size);

/// Opens the existing block `name`: access 'R' gives a read-only view, 'W' a writable one.
/// Not active when no living program holds a block of that name.
MHandle OpenMemFile(const std::u16string &name, char access);
