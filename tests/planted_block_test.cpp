// Another user of the machine plants something that is no block under the handle block's name
// (a FIFO, a link, a folder) before the agents start. The real programs must never wait on it:
// another unprivileged user's programs say whose it is and start nothing, root's programs
// replace it and run. Needs root and setpriv; skipped elsewhere.

#include "session_procs.h"

#include <common/handleblock.h>
#include <testsupport/otheruser.h>
#include <testsupport/tempdir.h>

#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string BinDir = KORVEL_BIN_DIR;
constexpr uid_t ThirdUser = 65533;

struct Kind {
    const char *what;
    std::vector<std::string> plant; // the command that plants it, given the path last
    const char *said;               // how the programs of the third user name it
};

class PlantedBlock : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = testsupport::otherUserUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        static int n = 0;
        session = "plantedTest" + std::to_string(getpid()) + "x" + std::to_string(++n);
        blockPath = "/dev/shm/fenwa-handle23!456-" + session;
        setenv("KORVEL_SESSION", session.c_str(), 1);
        // The programs the third user runs, copied where it may read them.
        staged["launch"] = testsupport::stage(BinDir + "/launch", stageDir.path()).string();
        for (const char *program : {"client", "master", "korvel-run"}) {
            const auto copy = stageDir.path() / "bin" / program;
            std::filesystem::copy_file(BinDir + "/" + program, copy);
            chmod(copy.c_str(), 0755);
            staged[program] = copy.string();
        }
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = std::to_string(probe.serverPort());
        probe.close();
        chmod(scratch.path().c_str(), 0755);
        regFile = (scratch.path() / "korvel.reg").string();
        // The master's store; the client's points to the same port, where nobody need answer.
        WriteStore("\"Station\"=\"Master\"\r\n\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" + port +
                   "\"\r\n"
                   "\"Address\"=\"127.0.0.1\"\r\n");
    }

    void TearDown() override
    {
        for (pid_t pid : testsupport::SessionProcesses(session, ""))
            testsupport::EndProcess(pid, SIGKILL, 5000);
        Clear();
        unsetenv("KORVEL_SESSION");
    }

    void WriteStore(const std::string &values)
    {
        const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n" +
                                 values;
        FILE *f = std::fopen(regFile.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        chmod(regFile.c_str(), 0644);
    }

    void Clear()
    {
        struct stat st {};
        if (!blockPath.empty() && lstat(blockPath.c_str(), &st) == 0)
            std::system(("rm -rf '" + blockPath + "'").c_str());
    }

    void Plant(const Kind &kind)
    {
        Clear();
        std::vector<std::string> argv = kind.plant;
        argv.push_back(blockPath);
        ASSERT_EQ(testsupport::runAs(testsupport::kNobody, argv), 0);
        if (std::string(kind.what) == "directory") {
            ASSERT_EQ(testsupport::runAs(testsupport::kNobody, {"touch", blockPath + "/inside"}), 0);
        }
        struct stat st {};
        ASSERT_EQ(lstat(blockPath.c_str(), &st), 0);
        ASSERT_EQ(st.st_uid, testsupport::kNobody);
    }

    std::vector<std::string> Env(bool stagedCopy) const
    {
        std::vector<std::string> env{"KORVEL_SESSION=" + session, "KORVEL_REGISTRY=" + regFile,
                                     "QT_QPA_PLATFORM=offscreen", "KORVEL_AUTOBOX_SECONDS=1",
                                     "KORVEL_CLIENT_PROBE=1"};
        if (stagedCopy)
            env.push_back(testsupport::stagedEnv(stageDir.path()));
        return env;
    }

    // Runs a program to its end within a bound; its exit status, 137 when it had to be killed.
    int Run(uid_t uid, const std::vector<std::string> &argv, std::string *err)
    {
        testsupport::AsUser p(uid, argv, Env(uid != 0));
        const int status = p.stop(20s);
        *err = p.err;
        EXPECT_FALSE(p.timedOut) << argv[0] << " waited";
        return status;
    }

    testsupport::TempDir stageDir{"korvel-planted"}, scratch{"korvel-planted-store"};
    std::map<std::string, std::string> staged;
    std::string session, blockPath, regFile, port;
};

} // namespace

TEST_F(PlantedBlock, NoProgramWaitsOnItOthersAreToldWhoseItIsRootReplacesIt)
{
    const Kind kinds[] = {
        {"FIFO", {"mkfifo", "-m", "666"}, "a FIFO of user 65534"},
        {"link to /etc/passwd", {"ln", "-s", "/etc/passwd"}, "a symbolic link of user 65534"},
        {"dangling link", {"ln", "-s", "/nonexistent/korvel-block"}, "a symbolic link of user 65534"},
        {"directory", {"mkdir", "-m", "777"}, "a directory of user 65534"},
    };
    struct stat passwdBefore {};
    ASSERT_EQ(stat("/etc/passwd", &passwdBefore), 0);
    const std::string self = std::to_string(getpid());

    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.what);
        Plant(kind);
        std::string err;

        // A third, unprivileged user: each program says whose it is and starts nothing.
        EXPECT_EQ(Run(ThirdUser, {staged["launch"]}, &err), 0);
        EXPECT_EQ(err.rfind("launch: the handle block", 0), 0u) << err;
        EXPECT_NE(err.find(kind.said), std::string::npos) << err;
        EXPECT_EQ(Run(ThirdUser, {staged["korvel-run"], "7", "--pid", self}, &err), 1);
        EXPECT_NE(err.find(kind.said), std::string::npos) << err;
        for (const char *agent : {"client", "master"}) {
            EXPECT_EQ(Run(ThirdUser, {staged[agent], "-platform", "offscreen"}, &err), 0) << agent;
            EXPECT_NE(err.find(kind.said), std::string::npos) << agent << ": " << err;
            EXPECT_EQ(err.find("Internal error"), std::string::npos) << agent << ": " << err;
        }
        EXPECT_TRUE(testsupport::SessionProcesses(session, "").empty());

        // Root: korvel-run finds no agent, without waiting.
        EXPECT_EQ(Run(0, {BinDir + "/korvel-run", "7", "--pid", self}, &err), 1);
        EXPECT_NE(err.find("no Korvel agent"), std::string::npos) << err;

        // Root's launcher starts the master, which takes the name over; korvel-run then
        // reaches it.
        EXPECT_EQ(Run(0, {BinDir + "/launch"}, &err), 0);
        // Qt may note its own environment on stderr; the launcher's texts all name Korvel.
        EXPECT_EQ(err.find("Korvel"), std::string::npos) << err;
        EXPECT_TRUE(QTest::qWaitFor([] { return TestHandleBlock(); }, 20000)) << "the master did not start";
        EXPECT_EQ(Run(0, {BinDir + "/korvel-run", "7", "--pid", self}, &err), 0) << err;
        for (pid_t pid : testsupport::SessionProcesses(session, "master"))
            EXPECT_TRUE(testsupport::EndProcess(pid, SIGTERM, 15000));
        EXPECT_TRUE(QTest::qWaitFor([] { return !TestHandleBlock(); }, 10000));

        // Root's client agent, started on its own, takes it over too.
        Plant(kind);
        {
            testsupport::AsUser client(0, {BinDir + "/client", "-platform", "offscreen"}, Env(false));
            EXPECT_TRUE(QTest::qWaitFor([] { return TestHandleBlock(); }, 20000))
                << "the client did not start";
            struct stat st {};
            ASSERT_EQ(lstat(blockPath.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_uid, 0u);
        }
        EXPECT_TRUE(QTest::qWaitFor([] { return !TestHandleBlock(); }, 10000));
    }

    struct stat passwdAfter {};
    ASSERT_EQ(stat("/etc/passwd", &passwdAfter), 0);
    EXPECT_EQ(passwdAfter.st_size, passwdBefore.st_size);
    EXPECT_EQ(passwdAfter.st_mtim.tv_sec, passwdBefore.st_mtim.tv_sec);
}
