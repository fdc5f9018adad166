// Which machine serves a chosen folder, by a mount table the test writes, and the name
// resolution of the master's node name (loopback names only).

#include "mountsource.h"

#include <testsupport/tempdir.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// A mount table as the kernel writes it: a local root, a local home disc, a CIFS share, an NFS
// export, an sshfs folder, a share whose mount point holds a blank, and a share mounted inside
// another one.
const QByteArray Table =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "23 22 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "30 22 8:2 / /home rw,relatime shared:30 - ext4 /dev/sda2 rw\n"
    "41 22 0:44 / /mnt/master rw,relatime shared:80 - cifs //mastersrv/C$ rw,vers=3.1.1,addr=198.18.0.2\n"
    "42 22 0:45 / /mnt/nfs rw,relatime shared:81 - nfs4 fileserver.lan:/export/data rw,vers=4.2\n"
    "43 30 0:46 / /home/ann/remote rw,nosuid,nodev,relatime shared:82 - fuse.sshfs ann@buildbox:/srv "
    "rw,user_id=1000\n"
    "44 22 0:47 / /mnt/Master\\040Disc rw,relatime shared:83 - cifs //Station\\0407/D rw\n"
    "45 41 0:48 / /mnt/master/inner rw,relatime shared:84 - nfs inner-host:/inner rw\n"
    "46 22 0:49 / /mnt/masterx rw,relatime shared:85 - tmpfs tmpfs rw\n"
    "47 22 0:50 / /mnt/v6 rw,relatime shared:86 - nfs [fd00::5]:/v6 rw\n"
    "not a mount line at all\n"
    "48 22 0:51 / /mnt/short rw\n";

} // namespace

TEST(MountTable, ParsesFieldsAfterTheSeparatorAndDecodesEscapes)
{
    const std::vector<TMountEntry> t = ParseMountTable(Table);
    ASSERT_EQ(t.size(), 10u) << "the malformed and the short line are skipped";
    EXPECT_EQ(t[0].mountPoint, QStringLiteral("/"));
    EXPECT_EQ(t[0].fsType, QStringLiteral("ext4"));
    EXPECT_EQ(t[0].source, QStringLiteral("/dev/sda1"));
    EXPECT_EQ(t[3].source, QStringLiteral("//mastersrv/C$"));
    EXPECT_EQ(t[6].mountPoint, QStringLiteral("/mnt/Master Disc"));
    EXPECT_EQ(t[6].source, QStringLiteral("//Station 7/D"));

    // A backslash is written as \134; a backslash not followed by three octal digits stays.
    const auto odd = ParseMountTable("1 0 0:1 / /a\\134b\\9x rw - cifs //h/s rw\n");
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_EQ(odd[0].mountPoint, QStringLiteral("/a\\b\\9x"));
}

TEST(MountTable, FolderHostByTheMountThatHoldsTheFolder)
{
    struct Case {
        const char *folder;
        const char *host;
    } cases[] = {
        {"/mnt/master", "mastersrv"},                  // CIFS share root
        {"/mnt/master/Windows/System32", "mastersrv"}, // a folder within the share
        {"/mnt/master/", "mastersrv"},                 // trailing slash
        {"/mnt/nfs/projects", "fileserver.lan"},       // NFS
        {"/home/ann/remote/build", "buildbox"},        // sshfs with a user part
        {"/mnt/Master Disc/Users", "Station 7"},       // escaped blanks
        {"/mnt/master/inner/x", "inner-host"},         // nested mount: the inner one holds it
        {"/mnt/master/innerx", "mastersrv"},           // not a whole-component prefix of inner
        {"/mnt/v6/a", "fd00::5"},                      // IPv6 literal in brackets
        {"/mnt/masterx", ""},                          // tmpfs, not /mnt/master
        {"/home/ann/Documents", ""},                   // local disc
        {"/", ""},                                     // system disc
        {"relative/path", ""},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FolderHost(QString::fromUtf8(c.folder), Table), QString::fromUtf8(c.host)) << c.folder;

    EXPECT_TRUE(FolderHost(QStringLiteral("/mnt/master"), QByteArray()).isEmpty()) << "no table, no host";
}

TEST(MountTable, LaterMountOverTheSamePointWins)
{
    const QByteArray over = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                            "41 22 0:44 / /mnt/m rw - cifs //first/s rw\n"
                            "42 41 0:45 / /mnt/m rw - cifs //second/s rw\n";
    EXPECT_EQ(FolderHost(QStringLiteral("/mnt/m/dir"), over), QStringLiteral("second"));
}

TEST(MountTable, SourceFormsOfEachKind)
{
    struct Case {
        const char *type, *source, *host;
    } cases[] = {
        {"cifs", "//host/share", "host"},
        {"smb3", "//198.18.0.7/share", "198.18.0.7"},
        {"cifs", "//onlyhost", "onlyhost"},
        {"cifs", "\\\\host\\share", ""}, // not the kernel's form
        {"nfs", "host:/path", "host"},
        {"nfs4", "host:/", "host"},
        {"nfs", "host:relative", ""}, // no exported path
        {"nfs", ":/path", ""},        // no host
        {"nfs", "[fd00::1]:/p", "fd00::1"},
        {"fuse.sshfs", "user@host:/path", "host"},
        {"fuse.sshfs", "host:", "host"},     // the user's home folder on host
        {"fuse.sshfs", "host:/a@b", "host"}, // the '@' belongs to the path
        {"fuse.sshfs", "u@[fd00::2]:/x", "fd00::2"},
        {"ext4", "/dev/sda1", ""},
        {"ext4", "host:/odd", ""}, // a local disc, whatever its source says
        {"fuse.other", "u@h:/p", ""},
    };
    for (const Case &c : cases) {
        const TMountEntry e{QStringLiteral("/m"), QString::fromUtf8(c.type), QString::fromUtf8(c.source)};
        EXPECT_EQ(MountSourceHost(e), QString::fromUtf8(c.host)) << c.type << " " << c.source;
    }
}

TEST(MountTable, TheProcessTableHoldsTheRootAndLinksAreResolved)
{
    const QByteArray own = ReadMountTable();
    ASSERT_FALSE(own.isEmpty());
    const auto table = ParseMountTable(own);
    const TMountEntry *root = MountHolding(table, QStringLiteral("/"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->mountPoint, QStringLiteral("/"));

    // A link into a share counts as the share: the kernel lists the mount under its real path.
    testsupport::TempDir dir("mountsource");
    const std::filesystem::path target = dir.path() / "target";
    std::filesystem::create_directory(target);
    std::filesystem::create_directory_symlink(target, dir.path() / "link");
    const QString real = QString::fromStdString(std::filesystem::canonical(target).string());
    const QByteArray shareAtTarget = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                     "41 22 0:44 / " +
                                     real.toUtf8() + " rw - cifs //linked/s rw\n";
    EXPECT_EQ(FolderHost(QString::fromStdString((dir.path() / "link").string()), shareAtTarget),
              QStringLiteral("linked"));
}

TEST(HostResolution, LoopbackNamesAndFailures)
{
    EXPECT_EQ(ResolveHostIPv4(u"127.0.0.1"), u"127.0.0.1");
    EXPECT_EQ(ResolveHostIPv4(u"localhost"), u"127.0.0.1") << "through /etc/hosts, IPv4 only";
    EXPECT_EQ(ResolveHostIPv4(u""), u"");
    // Refused before any lookup, so no name server is asked.
    EXPECT_EQ(ResolveHostIPv4(u"bad\nname"), u"");
}

TEST(HostResolution, NextAddressCyclesBackToTheFirst)
{
    EXPECT_EQ(NextAddressIndex(0, 3), 1u);
    EXPECT_EQ(NextAddressIndex(1, 3), 2u);
    EXPECT_EQ(NextAddressIndex(2, 3), 0u);
    EXPECT_EQ(NextAddressIndex(0, 1), 0u);
    EXPECT_EQ(NextAddressIndex(0, 0), 0u);
    EXPECT_EQ(NextAddressIndex(7, 3), 0u) << "a stale index starts over";
}
