#pragma once
// Finding the master from a folder the user picked on one of its shared discs: the mount that
// holds the folder names the machine that serves it (a CIFS share, an NFS export or an sshfs
// folder), and that machine's name is resolved to its IPv4 addresses.

#include <corekit/types.h>

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

/// One line of the kernel's mount table, fields decoded.
struct TMountEntry {
    QString mountPoint;
    QString fsType;
    QString source;
};

/// The mount table of this process, as the kernel writes it (/proc/self/mountinfo); empty
/// when it cannot be read.
QByteArray ReadMountTable();

/// The entries of a mountinfo text in their order. Lines that do not have the mountinfo shape
/// are skipped. Octal escapes (\040 for a blank, \134 for a backslash ...) are decoded.
std::vector<TMountEntry> ParseMountTable(const QByteArray &mountinfo);

/// The entry that holds path: the longest mount point that is path itself or a whole-component
/// prefix of it (/mnt/a holds /mnt/a/b, not /mnt/ab); of equal ones the later, which is mounted
/// over the earlier. Null when none does (path not absolute, empty table).
const TMountEntry *MountHolding(const std::vector<TMountEntry> &table, const QString &path);

/// The machine that serves a mount: //host/share of CIFS/SMB, host:/path of NFS,
/// [user@]host:path of sshfs; brackets of an IPv6 literal are removed. Empty for every other
/// mount, a local disc among them.
QString MountSourceHost(const TMountEntry &entry);

/// The host serving the mount that holds folder, by the given mountinfo text. A folder that
/// exists is taken with its links resolved, as the kernel lists mount points that way. Empty
/// when the folder lies on a local disc or the table has no entry for it.
QString FolderHost(const QString &folder, const QByteArray &mountinfo);

/// The IPv4 addresses of a node name, dotted, joined with ","; each address once, in the
/// resolver's order. Empty when the name does not resolve.
using THostResolver = std::function<UnicodeString(const UnicodeString &node)>;

/// THostResolver of the system: getaddrinfo for IPv4, stream sockets, TCP.
UnicodeString ResolveHostIPv4(const UnicodeString &node);

/// The position after index in a list of count addresses, back to 0 after the last one.
unsigned NextAddressIndex(unsigned index, std::size_t count);
