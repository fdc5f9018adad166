#include <mapkit/mapkit.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::u16string Name(const std::string &tag)
{
    std::string s = "mapkit-test-" + std::to_string(getpid()) + "-" + tag;
    return std::u16string(s.begin(), s.end());
}

std::uint32_t ReadValue(const MHandle &h)
{
    std::uint32_t v = 0;
    std::memcpy(&v, h.View(), sizeof v);
    return v;
}

// A separate process that creates a block with a value and holds it until told to close it
// (or is killed).
class Holder {
public:
    Holder(const std::u16string &name, std::uint32_t value)
    {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(up[0]);
            close(down[1]);
            MHandle h = CreateMemFile(name, sizeof value);
            char ok = h.Active() ? 'y' : 'n';
            if (h.Active())
                std::memcpy(h.View(), &value, sizeof value);
            (void)!write(up[1], &ok, 1);
            char c;
            (void)!read(down[0], &c, 1); // wait for "close"
            h.Close();
            (void)!write(up[1], &ok, 1);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        fromChild = up[0];
        toChild = down[1];
        char ok = 0;
        created = read(fromChild, &ok, 1) == 1 && ok == 'y';
    }
    ~Holder()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(fromChild);
        close(toChild);
    }
    void CloseBlock()
    {
        char c = 'c';
        ASSERT_EQ(write(toChild, &c, 1), 1);
        ASSERT_EQ(read(fromChild, &c, 1), 1);
    }
    void Kill()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    bool created = false;

private:
    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;
};

} // namespace

TEST(MemFileAcrossProcesses, OtherProcessReadsValueWhileHolderRuns)
{
    const auto name = Name("cross");
    Holder holder(name, 0xCAFE1234u);
    ASSERT_TRUE(holder.created);

    MHandle h = OpenMemFile(name, 'R');
    ASSERT_TRUE(h.Active());
    ASSERT_NE(h.View(), nullptr);
    EXPECT_EQ(h.Size(), 4u);
    EXPECT_EQ(ReadValue(h), 0xCAFE1234u);
    h.Close();
    EXPECT_FALSE(h.Active());
    EXPECT_EQ(h.View(), nullptr);

    // A second creator is refused while the holder lives.
    EXPECT_FALSE(CreateMemFile(name, 4).Active());
    holder.CloseBlock();
}

TEST(MemFileAcrossProcesses, BlockGoneAfterHolderCloses)
{
    const auto name = Name("closed");
    Holder holder(name, 7);
    ASSERT_TRUE(holder.created);
    ASSERT_TRUE(OpenMemFile(name, 'R').Active());
    holder.CloseBlock();
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());
}

TEST(MemFileAcrossProcesses, BlockOfKilledHolderReadsAbsentAndIsTakenOver)
{
    const auto name = Name("killed");
    Holder holder(name, 0x11111111u);
    ASSERT_TRUE(holder.created);
    // A reader that mapped the block before the crash keeps a valid view.
    MHandle early = OpenMemFile(name, 'R');
    ASSERT_TRUE(early.Active());

    holder.Kill();
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());
    EXPECT_FALSE(OpenMemFile(name, 'W').Active());

    MHandle again = CreateMemFile(name, 4);
    ASSERT_TRUE(again.Active());
    const std::uint32_t fresh = 0x22222222u;
    std::memcpy(again.View(), &fresh, sizeof fresh);
    MHandle seen = OpenMemFile(name, 'R');
    ASSERT_TRUE(seen.Active());
    EXPECT_EQ(ReadValue(seen), fresh);
    EXPECT_EQ(ReadValue(early), 0x11111111u);
    again.Close();
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());
}

TEST(MemFileAcrossProcesses, ProbeTellsHeldFromLeftAndNamesTheOwner)
{
    const auto name = Name("probe");
    EXPECT_FALSE(ProbeMemFile(name).exists);
    Holder holder(name, 1);
    ASSERT_TRUE(holder.created);
    TMemFileInfo info = ProbeMemFile(name);
    EXPECT_TRUE(info.exists);
    EXPECT_TRUE(info.held);
    EXPECT_EQ(info.owner, geteuid());
    EXPECT_EQ(OpenMemFile(name, 'R').Owner(), geteuid());

    // A reader's read lock on a block left behind does not make it look held.
    holder.Kill();
    int fd = shm_open(("/" + std::string(name.begin(), name.end())).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct flock pin {};
    pin.l_type = F_RDLCK;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &pin), 0);
    info = ProbeMemFile(name);
    EXPECT_TRUE(info.exists);
    EXPECT_FALSE(info.held);
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());

    EXPECT_FALSE(RemoveMemFile(name, geteuid() + 1)) << "only a block of the owner given goes";
    EXPECT_TRUE(RemoveMemFile(name, geteuid()));
    EXPECT_FALSE(ProbeMemFile(name).exists);
    close(fd);
}

TEST(MemFileInProcess, CreateOpenClose)
{
    const auto name = Name("local");
    MHandle created = CreateMemFile(name, 4);
    ASSERT_TRUE(created.Active());
    const std::uint32_t value = 0x8000A710u;
    std::memcpy(created.View(), &value, sizeof value);
    // The creator may drop its view and still hold the block.
    created.UnmapView();
    EXPECT_TRUE(created.Active());
    EXPECT_EQ(created.View(), nullptr);

    MHandle reader = OpenMemFile(name, 'R');
    ASSERT_TRUE(reader.Active());
    EXPECT_EQ(ReadValue(reader), value);
    EXPECT_FALSE(CreateMemFile(name, 4).Active());

    created.Close();
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());
    // Closing twice is harmless.
    created.Close();
}

TEST(MemFileInProcess, WritableViewIsSharedWithCreator)
{
    const auto name = Name("write");
    MHandle created = CreateMemFile(name, 16);
    ASSERT_TRUE(created.Active());
    MHandle writer = OpenMemFile(name, 'W');
    ASSERT_TRUE(writer.Active());
    EXPECT_EQ(writer.Size(), 16u);
    static_cast<char *>(writer.View())[15] = 'x';
    EXPECT_EQ(static_cast<char *>(created.View())[15], 'x');
    // A new block starts zeroed.
    EXPECT_EQ(static_cast<char *>(created.View())[0], 0);
}

TEST(MemFileInProcess, DestructorAndMoveReleaseTheBlock)
{
    const auto name = Name("raii");
    {
        MHandle a = CreateMemFile(name, 4);
        ASSERT_TRUE(a.Active());
        MHandle b = std::move(a);
        EXPECT_FALSE(a.Active());
        EXPECT_TRUE(b.Active());
        EXPECT_TRUE(OpenMemFile(name, 'R').Active());
        MHandle c;
        c = std::move(b);
        EXPECT_TRUE(OpenMemFile(name, 'R').Active());
    }
    EXPECT_FALSE(OpenMemFile(name, 'R').Active());
}

TEST(MemFileInProcess, RefusesBadArguments)
{
    EXPECT_FALSE(CreateMemFile(u"", 4).Active());
    EXPECT_FALSE(CreateMemFile(Name("zero"), 0).Active());
    EXPECT_FALSE(OpenMemFile(Name("never-created"), 'R').Active());
    EXPECT_FALSE(OpenMemFile(u"", 'R').Active());

    const auto name = Name("access");
    MHandle created = CreateMemFile(name, 4);
    ASSERT_TRUE(created.Active());
    EXPECT_FALSE(OpenMemFile(name, 'X').Active());
    EXPECT_TRUE(OpenMemFile(name, 'r').Active());
}

TEST(MemFileNames, DistinctNamesNeverMeet)
{
    // A session word appended to a name gives a block of its own; '/' and '%' are ordinary
    // characters of a name.
    const auto base = Name("n");
    MHandle plain = CreateMemFile(base, 4);
    MHandle session = CreateMemFile(base + u"-word", 4);
    MHandle slash = CreateMemFile(base + u"a/b", 4);
    MHandle escaped = CreateMemFile(base + u"a%2Fb", 4);
    MHandle cyrillic = CreateMemFile(base + u"\u0431\u043b\u043e\u043a", 4);
    EXPECT_TRUE(plain.Active());
    EXPECT_TRUE(session.Active());
    EXPECT_TRUE(slash.Active());
    EXPECT_TRUE(escaped.Active());
    EXPECT_TRUE(cyrillic.Active());
    session.Close();
    EXPECT_TRUE(OpenMemFile(base, 'R').Active());
    EXPECT_FALSE(OpenMemFile(base + u"-word", 'R').Active());
    EXPECT_TRUE(OpenMemFile(base + u"a/b", 'R').Active());
}

TEST(MemFileNames, BlockIsWorldReadableWhateverTheUmask)
{
    const auto name = Name("mode");
    mode_t old = umask(077);
    MHandle created = CreateMemFile(name, 4);
    umask(old);
    ASSERT_TRUE(created.Active());
    std::string path = "/dev/shm/" + std::string(name.begin(), name.end());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

namespace {

// What a user can plant under a block's name instead of a block.
struct Planted {
    const char *what;
    mode_t type;
    void (*plant)(const std::string &path, const std::string &scratch);
};

// Runs `checks` in a child that the alarm ends should any of them wait; the child's exit status
// is the number of the first check that failed, 0 when all held, 128 + signal when it hung.
int Bounded(int (*checks)(const std::u16string &, mode_t), const std::u16string &name, mode_t type)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(checks(name, type));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ReadAndReplace(const std::u16string &name, mode_t type)
{
    const TMemFileInfo before = ProbeMemFile(name);
    if (!before.exists || before.held || before.owner != geteuid() || before.type != type)
        return 1;
    if (OpenMemFile(name, 'R').Active() || OpenMemFile(name, 'W').Active())
        return 2;
    // Its own owner's creator replaces it with a block.
    MHandle block = CreateMemFile(name, 4);
    if (!block.Active())
        return 3;
    const std::uint32_t value = 0x5EED;
    std::memcpy(block.View(), &value, sizeof value);
    MHandle seen = OpenMemFile(name, 'R');
    if (!seen.Active() || ReadValue(seen) != value)
        return 4;
    const TMemFileInfo after = ProbeMemFile(name);
    if (!after.held || after.type != 0)
        return 5;
    return 0;
}

int Remove(const std::u16string &name, mode_t)
{
    if (RemoveMemFile(name, geteuid() + 1))
        return 1;
    if (!RemoveMemFile(name, geteuid()))
        return 2;
    return ProbeMemFile(name).exists ? 3 : 0;
}

} // namespace

TEST(MemFileNames, WhatIsNoBlockIsNeverWaitedOnAndItsOwnerReplacesIt)
{
    const Planted kinds[] = {
        {"FIFO", S_IFIFO,
         [](const std::string &p, const std::string &) { ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); }},
        {"link to a file", S_IFLNK,
         [](const std::string &p, const std::string &target) {
             ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0);
         }},
        {"dangling link", S_IFLNK,
         [](const std::string &p, const std::string &target) {
             ASSERT_EQ(symlink((target + "-none").c_str(), p.c_str()), 0);
         }},
        {"empty folder", S_IFDIR,
         [](const std::string &p, const std::string &) { ASSERT_EQ(mkdir(p.c_str(), 0777), 0); }},
        {"folder with contents", S_IFDIR,
         [](const std::string &p, const std::string &target) {
             ASSERT_EQ(mkdir(p.c_str(), 0777), 0);
             ASSERT_EQ(mkdir((p + "/sub").c_str(), 0777), 0);
             ASSERT_EQ(mkfifo((p + "/sub/fifo").c_str(), 0666), 0);
             ASSERT_EQ(symlink(target.c_str(), (p + "/link").c_str()), 0);
         }},
    };
    // A file a link points to, which must come through untouched.
    const std::string target = "/dev/shm/mapkit-test-" + std::to_string(getpid()) + "-target";
    const int t = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(t, 0);
    ASSERT_EQ(write(t, "keep", 4), 4);
    close(t);

    for (const Planted &kind : kinds) {
        SCOPED_TRACE(kind.what);
        const auto name = Name("planted");
        const std::string path = "/dev/shm/" + std::string(name.begin(), name.end());
        kind.plant(path, target);
        EXPECT_EQ(Bounded(ReadAndReplace, name, kind.type), 0);
        struct stat st {};
        EXPECT_NE(lstat(path.c_str(), &st), 0) << "the block's creator removed its name on closing";
        if (lstat(path.c_str(), &st) == 0)
            std::system(("rm -rf '" + path + "'").c_str());

        kind.plant(path, target);
        EXPECT_EQ(Bounded(Remove, name, kind.type), 0);
        EXPECT_NE(lstat(path.c_str(), &st), 0) << "the name is free again";
        if (lstat(path.c_str(), &st) == 0)
            std::system(("rm -rf '" + path + "'").c_str());

        char kept[8] = {};
        const int fd = open(target.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read(fd, kept, sizeof kept), 4);
        close(fd);
        EXPECT_STREQ(kept, "keep");
    }
    unlink(target.c_str());
}
