#include <common/handleblock.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

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
template <typename F>
int InChild(F body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

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
