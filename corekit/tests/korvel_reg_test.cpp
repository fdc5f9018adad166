// The administrator command korvel-reg, run as the real program against a store of its own.
#include <corekit/corekit.h>

#include <gtest/gtest.h>
#include <testsupport/otheruser.h>
#include <testsupport/tempdir.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

class KorvelReg : public ::testing::Test {
protected:
    void SetUp() override { setenv("KORVEL_REGISTRY", store_.c_str(), 1); }
    void TearDown() override { unsetenv("KORVEL_REGISTRY"); }

    Outcome reg(const std::vector<std::string> &args)
    {
        const std::string exe = std::string(KORVEL_BIN_DIR) + "/korvel-reg";
        const fs::path out = dir_ / "out.txt", err = dir_ / "err.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> argv{const_cast<char *>(exe.c_str())};
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        // A command that hangs is killed after a while and reported as -1.
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        Outcome r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    testsupport::TempDir tmp_{"korvel-regcmd"};
    fs::path dir_ = tmp_.path();
    fs::path store_ = dir_ / "sub" / "registry.reg";
};

const std::string kKey = "HKLM\\SOFTWARE\\Ardentis\\Korvel";

} // namespace

TEST_F(KorvelReg, AddsAKeyThatTheProgramsCanThenWriteTo)
{
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"1", false));
    const Outcome r = reg({"add", kKey});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(store_)) << "the store and its folder are created";
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"1", false));
    EXPECT_EQ(reg({"add", "hkey_local_machine\\software\\ardentis\\korvel", "/f"}).code, 0)
        << "adding twice is fine";
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"1") << "and keeps the values";
}

TEST_F(KorvelReg, SetsQueriesAndDeletesValues)
{
    ASSERT_EQ(reg({"add", kKey, "/v", "Master", "/d", "say \"hi\" C:\\x"}).code, 0);
    ASSERT_EQ(reg({"add", kKey, "/v", "Port", "/t", "REG_DWORD", "/d", "0x10"}).code, 0);
    ASSERT_EQ(reg({"add", kKey + "\\Sub", "/ve", "/d", "dflt"}).code, 0);
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"say \"hi\" C:\\x");

    Outcome r = reg({"query", kKey});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel\n"
                     "    Master    REG_SZ    say \"hi\" C:\\x\n"
                     "    Port    REG_DWORD    0x10\n"
                     "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel\\Sub\n");

    r = reg({"query", kKey, "/v", "MASTER"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("    Master    REG_SZ    say"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Port"), std::string::npos);

    r = reg({"query", "HKLM\\SOFTWARE", "/s"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(
        r.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel\\Sub\n    (Default)    REG_SZ    dflt\n"),
        std::string::npos)
        << r.out;

    EXPECT_EQ(reg({"delete", kKey, "/v", "Master", "/f"}).code, 0);
    r = reg({"query", kKey, "/v", "Master"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("unable to find"), std::string::npos);
    EXPECT_EQ(reg({"delete", kKey, "/v", "Master"}).code, 1);

    EXPECT_EQ(reg({"delete", kKey, "/va"}).code, 0);
    r = reg({"query", kKey});
    EXPECT_EQ(r.out.find("Port"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Korvel\\Sub"), std::string::npos) << "subkeys stay";

    EXPECT_EQ(reg({"delete", kKey}).code, 0);
    EXPECT_EQ(reg({"query", kKey + "\\Sub"}).code, 1) << "a key goes with its subkeys";
    EXPECT_EQ(reg({"delete", kKey}).code, 1);
}

TEST_F(KorvelReg, TheThirtyTwoBitViewIsWow6432Node)
{
    ASSERT_EQ(reg({"add", kKey, "/reg:32", "/v", "Host", "/d", "h32"}).code, 0);
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Host", true), u"h32");
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Host", false), u"");
    EXPECT_EQ(reg({"query", kKey}).code, 1);
    const Outcome r = reg({"query", "HKLM\\SOFTWARE\\WOW6432Node\\Ardentis\\Korvel", "/v", "Host"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("h32"), std::string::npos);
}

TEST_F(KorvelReg, BinaryDataReachesRegGetRegBin)
{
    ASSERT_EQ(
        reg({"add", "HKLM\\SOFTWARE\\V\\Blob", "/v", "V\\Blob", "/t", "REG_BINARY", "/d", "00ff10"}).code, 0);
    uint8_t buf[8] = {};
    EXPECT_EQ(RG_GetRegBin(u"V\\Blob", buf, sizeof buf, false), 3);
    EXPECT_EQ(buf[1], 0xFF);
    const Outcome r = reg({"query", "HKLM\\SOFTWARE\\V\\Blob"});
    EXPECT_NE(r.out.find("REG_BINARY    00FF10"), std::string::npos) << r.out;
}

TEST_F(KorvelReg, BadCommandLinesExitWithTwoAndChangeNothing)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate", kKey},
             {"query"},
             {"query", kKey, "/x"},
             {"add", kKey, "/v"},
             {"add", kKey, "/d", "1"},
             {"add", kKey, "/v", "a", "/t", "REG_DWORD", "/d", "12x"},
             {"add", kKey, "/v", "a", "/t", "REG_QWORD", "/d", "1"},
             {"add", kKey, "/v", "a", "/t", "REG_BINARY", "/d", "123"},
             {"delete", kKey, "/v", "a", "/va"},
             {"query", "HKCU\\Software\\X"},
             {"add", "HKLM"},
             {"add", "HKLM\\SOFTWARE\\\\X"},
         }) {
        const Outcome r = reg(args);
        EXPECT_EQ(r.code, 2) << (args.empty() ? std::string("(none)") : args[0]);
        EXPECT_NE(r.err.find("korvel-reg /?"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(store_));
    const Outcome help = reg({"/?"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find(store_.string()), std::string::npos) << "the help names the store in use";
}

TEST_F(KorvelReg, ADamagedStoreIsReportedAndLeftAlone)
{
    fs::create_directories(store_.parent_path());
    {
        std::ofstream(store_)
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\nbroken\n";
    }
    const std::string before = slurp(store_);
    Outcome r = reg({"add", kKey, "/v", "Master", "/d", "1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    r = reg({"query", "HKLM\\SOFTWARE\\A"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(reg({"delete", "HKLM\\SOFTWARE\\A"}).code, 1);
    EXPECT_EQ(slurp(store_), before);
}

// ---- another user of the machine -----------------------------------------------------------

namespace {

// The store in a folder that another, unprivileged user may write to, and a file of root's
// elsewhere that this user would like to own.
class KorvelRegAgainstAnotherUser : public KorvelReg {
protected:
    void SetUp() override
    {
        const std::string why = testsupport::otherUserUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::create_directories(shared_);
        fs::permissions(shared_, fs::perms::all);
        store_ = shared_ / "registry.reg";
        setenv("KORVEL_REGISTRY", store_.c_str(), 1);
        {
            std::ofstream(victim_) << "root's own file\n";
        }
        fs::permissions(victim_, fs::perms::owner_read | fs::perms::owner_write);
        ASSERT_EQ(reg({"add", kKey}).code, 0);
    }

    void plant(const fs::path &link, const fs::path &target)
    {
        std::string err;
        ASSERT_EQ(testsupport::runAs(testsupport::kNobody, {"ln", "-s", target.string(), link.string()}, {},
                                     nullptr, &err),
                  0)
            << err;
        ASSERT_TRUE(fs::is_symlink(link));
    }

    void expectVictimUntouched()
    {
        struct stat st {};
        ASSERT_EQ(lstat(victim_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u) << "the file stays root's";
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(slurp(victim_), "root's own file\n");
    }

    fs::path shared_ = dir_ / "shared";
    fs::path victim_ = dir_ / "victim";
};

} // namespace

TEST_F(KorvelRegAgainstAnotherUser, LinksBesideTheStoreAreNeverFollowed)
{
    // A link where the temporary file goes: the write replaces the link, not its target.
    plant(shared_ / "registry.reg.tmp", victim_);
    Outcome r = reg({"add", kKey, "/v", "Master", "/d", "b4h78m1e0sb4"});
    EXPECT_EQ(r.code, 0) << r.err;
    expectVictimUntouched();
    EXPECT_FALSE(fs::is_symlink(store_)) << "the store stays a file of its own";
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"b4h78m1e0sb4");
    struct stat st {};
    ASSERT_EQ(stat(store_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // The master's own save at its end goes the same way.
    plant(shared_ / "registry.reg.tmp", victim_);
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Port", u"52100", false));
    expectVictimUntouched();

    // A link where the lock goes: nothing is created or locked through it; a write says why it
    // cannot go on, and reads still work.
    fs::remove(shared_ / "registry.reg.lock");
    const fs::path wanted = dir_ / "made-by-root";
    plant(shared_ / "registry.reg.lock", wanted);
    r = reg({"query", kKey, "/v", "Master"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(wanted)) << "a read created the link's target";
    r = reg({"add", kKey, "/v", "Master", "/d", "1"});
    EXPECT_FALSE(fs::exists(wanted)) << "a write created the link's target";
    if (r.code != 0) {
        EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::is_symlink(shared_ / "registry.reg.lock"));
    expectVictimUntouched();
}

TEST_F(KorvelRegAgainstAnotherUser, ALockHeldByAnotherUserIsAClearErrorSoon)
{
    // A lock file of his own beside the store, locked for as long as he likes.
    fs::remove(shared_ / "registry.reg.lock");
    ASSERT_EQ(reg({"add", kKey, "/v", "Master", "/d", "1"}).code, 0);
    fs::remove(shared_ / "registry.reg.lock");
    testsupport::AsUser holder(testsupport::kNobody, {"flock", (shared_ / "registry.reg.lock").string(), "sh",
                                                      "-c", "echo locked; exec cat >/dev/null"});
    ASSERT_EQ(holder.readLine(), "locked") << holder.err;

    const auto start = std::chrono::steady_clock::now();
    Outcome r = reg({"add", kKey, "/v", "Master", "/d", "2"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("locked by another program"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("user 65534"), std::string::npos) << r.err;
    EXPECT_LT(took, std::chrono::seconds(20)) << "a few seconds, not until the lock goes";

    // Reads never wait for the lock.
    r = reg({"query", kKey, "/v", "Master"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("REG_SZ    1"), std::string::npos) << r.out;
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"1");
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"3", false));

    EXPECT_EQ(holder.stop(), 0);
    EXPECT_EQ(reg({"add", kKey, "/v", "Master", "/d", "4"}).code, 0) << "free again once he lets go";
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"4");
}
