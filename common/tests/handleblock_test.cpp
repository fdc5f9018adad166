#include <common/handleblock.h>

#include <gtest/gtest.h>
#include <testsupport/otheruser.h>
#include <testsupport/tempdir.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// Every test runs under a session word of its own, so that an agent running on this machine,
// or another test, is never seen.
class HandleBlock : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        word = "hb" + std::to_string(getpid()) + info->name();
        setenv("KORVEL_SESSION", word.c_str(), 1);
    }
    void TearDown() override { unsetenv("KORVEL_SESSION"); }

    std::string word;
};

// Runs `body` in a child process and returns its exit status.
template <typename F> int InChild(F body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(HandleBlock, NameCarriesTheSessionWord)
{
    EXPECT_EQ(HandleBlockName(), U("fenwa-handle23!456-") + U(word));
    EXPECT_EQ(KorvelSessionWord(), word);
    unsetenv("KORVEL_SESSION");
    EXPECT_EQ(HandleBlockName(), U("fenwa-handle23!456"));
    EXPECT_EQ(KorvelSessionWord(), "");
}

TEST_F(HandleBlock, CreateTestClose)
{
    std::uint32_t value = 1;
    EXPECT_FALSE(TestHandleBlock(&value));
    EXPECT_EQ(value, 1u) << "an absent block leaves the value alone";

    MHandle block = CreateHandleBlock(0xDEADBEEFu);
    ASSERT_TRUE(block.Active());
    EXPECT_EQ(block.View(), nullptr) << "the view is unmapped at once";
    EXPECT_TRUE(TestHandleBlock());
    ASSERT_TRUE(TestHandleBlock(&value));
    EXPECT_EQ(value, 0xDEADBEEFu);

    // One agent per machine and session.
    EXPECT_FALSE(CreateHandleBlock(5).Active());
    ASSERT_TRUE(TestHandleBlock(&value));
    EXPECT_EQ(value, 0xDEADBEEFu);

    block.Close();
    EXPECT_FALSE(TestHandleBlock(&value));
    MHandle next = CreateHandleBlock(6);
    EXPECT_TRUE(next.Active());
}

TEST_F(HandleBlock, SessionsAreSeparate)
{
    MHandle block = CreateHandleBlock(42);
    ASSERT_TRUE(block.Active());
    setenv("KORVEL_SESSION", (word + "x").c_str(), 1);
    EXPECT_FALSE(TestHandleBlock());
    MHandle other = CreateHandleBlock(43);
    EXPECT_TRUE(other.Active());
    unsetenv("KORVEL_SESSION");
    std::uint32_t value = 0;
    if (TestHandleBlock(&value)) {
        // A real agent runs on this machine: it is not ours.
        EXPECT_NE(value, 42u);
        EXPECT_NE(value, 43u);
    }
}

TEST_F(HandleBlock, OtherProcessFindsTheValue)
{
    MHandle block = CreateHandleBlock(0x0A0B0C0Du);
    ASSERT_TRUE(block.Active());
    int status = InChild([] {
        std::uint32_t v = 0;
        if (!TestHandleBlock(&v))
            return 1;
        return v == 0x0A0B0C0Du ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    block.Close();
    EXPECT_EQ(InChild([] { return TestHandleBlock() ? 1 : 0; }), 0);
}

TEST_F(HandleBlock, KilledAgentLeavesNoBlock)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t agent = fork();
    if (agent == 0) {
        MHandle block = CreateHandleBlock(77);
        char c = block.Active() ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(c, 'y');
    std::uint32_t value = 0;
    EXPECT_TRUE(TestHandleBlock(&value));
    EXPECT_EQ(value, 77u);

    kill(agent, SIGKILL);
    waitpid(agent, nullptr, 0);
    EXPECT_FALSE(TestHandleBlock());
    // An agent can start again after the crash.
    MHandle restarted = CreateHandleBlock(78);
    ASSERT_TRUE(restarted.Active());
    ASSERT_TRUE(TestHandleBlock(&value));
    EXPECT_EQ(value, 78u);
}

// ---- another user of the machine -----------------------------------------------------------

namespace {

class HandleBlockAgainstAnotherUser : public HandleBlock {
protected:
    void SetUp() override
    {
        HandleBlock::SetUp();
        const std::string why = testsupport::otherUserUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        helper = testsupport::stage(KORVEL_STRANGER, scratch.path()).string();
    }

    // The helper as `uid`, doing `args`, in this test's session.
    std::unique_ptr<testsupport::AsUser> As(uid_t uid, std::vector<std::string> args)
    {
        args.insert(args.begin(), helper);
        return std::make_unique<testsupport::AsUser>(
            uid, args,
            std::vector<std::string>{testsupport::stagedEnv(scratch.path()), "KORVEL_SESSION=" + word});
    }

    // korvel-run announcing this test process, run by root.
    int Announce(std::string &err)
    {
        return testsupport::runAs(0, {KORVEL_RUN, "83", "--pid", std::to_string(getpid())},
                                  {"KORVEL_SESSION=" + word}, nullptr, &err);
    }

    testsupport::TempDir scratch{"korvel-block"};
    std::string helper;
};

constexpr uid_t kOtherAgentUser = 65533;

} // namespace

TEST_F(HandleBlockAgainstAnotherUser, AStrangersBlockIsNoAgentAndRootReplacesIt)
{
    auto squatter = As(testsupport::kNobody, {"hold-block", "0x11111111"});
    ASSERT_EQ(squatter->readLine(), "held") << squatter->err;

    const THandleBlockInfo info = ProbeHandleBlock();
    EXPECT_EQ(info.holder, TBlockHolder::Stranger);
    EXPECT_EQ(info.owner, testsupport::kNobody);
    EXPECT_FALSE(TestHandleBlock()) << "another user's block is not an agent that runs";
    EXPECT_NE(HandleBlockProblem(info).find("user 65534"), std::string::npos) << HandleBlockProblem(info);

    std::string err;
    EXPECT_EQ(Announce(err), 1);
    EXPECT_NE(err.find("held by a program of user 65534"), std::string::npos) << err;
    EXPECT_NE(err.find("nothing is announced"), std::string::npos) << err;

    // An agent of a third, unprivileged user cannot take the name and says why.
    auto other = As(kOtherAgentUser, {"hold-block", "0x22222222"});
    EXPECT_EQ(other->readLine(), "refused");
    other->stop();
    EXPECT_NE(other->err.find("held by a program of user 65534"), std::string::npos) << other->err;

    // Root's agent is not kept out.
    MHandle block = CreateHandleBlock(0x33333333u);
    ASSERT_TRUE(block.Active());
    std::uint32_t value = 0;
    ASSERT_TRUE(TestHandleBlock(&value));
    EXPECT_EQ(value, 0x33333333u);
    EXPECT_EQ(squatter->stop(), 0);
    EXPECT_TRUE(TestHandleBlock()) << "the squatter's end leaves root's block alone";
}

TEST_F(HandleBlockAgainstAnotherUser, ABlockLeftByAnotherUserIsReportedAndOnlyItsOwnerOrRootTakesItOver)
{
    auto leaver = As(testsupport::kNobody, {"leave-block", "0x44444444"});
    ASSERT_EQ(leaver->readLine(), "left") << leaver->err;
    leaver->stop();

    auto other = As(kOtherAgentUser, {"hold-block", "0x55555555"});
    EXPECT_EQ(other->readLine(), "refused");
    other->stop();
    EXPECT_NE(other->err.find("left behind by a program of user 65534"), std::string::npos) << other->err;

    auto owner = As(testsupport::kNobody, {"hold-block", "0x66666666"});
    EXPECT_EQ(owner->readLine(), "held") << "its own user recovers it, as after a crash";
    EXPECT_EQ(owner->stop(), 0);

    leaver = As(testsupport::kNobody, {"leave-block", "0x77777777"});
    ASSERT_EQ(leaver->readLine(), "left");
    leaver->stop();
    EXPECT_EQ(ProbeHandleBlock().holder, TBlockHolder::None) << "root may take any leftover over";
    EXPECT_TRUE(CreateHandleBlock(0x88888888u).Active());
}

TEST_F(HandleBlockAgainstAnotherUser, AfterAnAgentCrashedAnotherUserCannotPassForIt)
{
    // Root's agent dies and leaves its block; another user read-locks the block so that it looks
    // held, and binds the port it names.
    auto crashed = As(0, {"leave-block", "0x12345678"});
    ASSERT_EQ(crashed->readLine(), "left") << crashed->err;
    crashed->stop();
    auto pin = As(testsupport::kNobody, {"pin-block"});
    ASSERT_EQ(pin->readLine(), "pinned") << pin->err;
    auto port = As(testsupport::kNobody, {"bind-port", "0x12345678"});
    ASSERT_EQ(port->readLine(), "bound") << port->err;

    EXPECT_FALSE(TestHandleBlock());
    std::string err;
    EXPECT_EQ(Announce(err), 1);
    EXPECT_NE(err.find("no Korvel agent"), std::string::npos) << err;
    MHandle block = CreateHandleBlock(0x9ABCDEF0u);
    EXPECT_TRUE(block.Active()) << "the next agent takes the pinned leftover over";
}

TEST_F(HandleBlockAgainstAnotherUser, APortBoundByAnotherUserIsNeverPostedTo)
{
    MHandle block = CreateHandleBlock(0x0BADF00Du);
    ASSERT_TRUE(block.Active());
    auto port = As(testsupport::kNobody, {"bind-port", "0x0BADF00D"});
    ASSERT_EQ(port->readLine(), "bound") << port->err;

    const TAgentCheck check = CheckAgent();
    EXPECT_FALSE(check.found);
    EXPECT_EQ(check.block.holder, TBlockHolder::Agent);
    std::string err;
    EXPECT_EQ(Announce(err), 1);
    EXPECT_NE(err.find("bound by a program of user 65534"), std::string::npos) << err;
}

TEST_F(HandleBlockAgainstAnotherUser, RootsAgentRefusesAnotherUsersAnnouncementSoNothingIsStarted)
{
    MHandle block = CreateHandleBlock(0x0A11CE00u);
    ASSERT_TRUE(block.Active());
    auto agent = As(0, {"bind-port", "0x0A11CE00"});
    ASSERT_EQ(agent->readLine(), "bound") << agent->err;
    const auto run = scratch.path() / "bin" / "korvel-run";
    std::filesystem::copy_file(KORVEL_RUN, run);
    chmod(run.c_str(), 0755);
    const std::vector<std::string> env{testsupport::stagedEnv(scratch.path()), "KORVEL_SESSION=" + word};

    std::string out, err;
    EXPECT_EQ(testsupport::runAs(testsupport::kNobody,
                                 {run.string(), "83", "--", "/bin/sh", "-c", "echo started"}, env, &out,
                                 &err),
              3);
    EXPECT_EQ(out, "") << "a program nobody would watch is not started";
    EXPECT_NE(err.find("the Korvel agent of this machine runs as root and refuses messages of user 65534"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("/bin/sh is not started"), std::string::npos) << err;

    EXPECT_EQ(testsupport::runAs(testsupport::kNobody,
                                 {run.string(), "83", "--pid", std::to_string(getpid())}, env, nullptr, &err),
              3);
    EXPECT_NE(err.find("nothing is announced"), std::string::npos) << err;

    // Root's own announcement is taken.
    EXPECT_EQ(Announce(err), 0) << err;
}
