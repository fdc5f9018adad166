#include <common/msgport.h>

#include <QCoreApplication>
#include <QThread>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>
#include <testsupport/otheruser.h>
#include <testsupport/tempdir.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

QCoreApplication *App()
{
    static int argc = 1;
    static char name[] = "msgport_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    return app;
}

struct Received {
    quint32 message;
    quintptr wParam;
    qintptr lParam;
    bool operator==(const Received &) const = default;
};

class MsgPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        word = "mp" + std::to_string(getpid()) + info->name();
        setenv("KORVEL_SESSION", word.c_str(), 1);
    }
    void TearDown() override { unsetenv("KORVEL_SESSION"); }

    void Record(TMsgPort &port)
    {
        QObject::connect(&port, &TMsgPort::messageReceived, &port, [this](quint32 m, quintptr w, qintptr l) {
            got.push_back({m, w, l});
        });
    }
    bool WaitFor(std::size_t count)
    {
        return QTest::qWaitFor([&] { return got.size() >= count; }, 2000);
    }
    // Sends raw bytes to the port's address, as a stray or hostile program could.
    bool SendRaw(std::uint32_t value, const void *data, std::size_t size)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        char name[100];
        int n = std::snprintf(name, sizeof name, "korvel-port-%08x-%s", value, word.c_str());
        std::memcpy(addr.sun_path + 1, name, static_cast<std::size_t>(n));
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        ssize_t sent = sendto(fd, data, size, 0, reinterpret_cast<sockaddr *>(&addr),
                              static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n));
        close(fd);
        return sent == static_cast<ssize_t>(size);
    }

    std::string word;
    std::vector<Received> got;
};

} // namespace

TEST_F(MsgPort, DeliversMessagesInOrder)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(port.IsOpen());
    ASSERT_NE(port.Value(), 0u);
    Record(port);

    EXPECT_TRUE(PostMessage(port.Value(), 0xA710, 83, 12345));
    EXPECT_TRUE(PostMessage(port.Value(), 0xA712, 97, 0));
    EXPECT_TRUE(PostMessage(port.Value(), 1, ~quintptr(0), -2));
    ASSERT_TRUE(WaitFor(3));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], (Received{0xA710, 83, 12345}));
    EXPECT_EQ(got[1], (Received{0xA712, 97, 0}));
    EXPECT_EQ(got[2], (Received{1, ~quintptr(0), -2}));
}

TEST_F(MsgPort, NoPortNoDelivery)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    const std::uint32_t value = port.Value();
    EXPECT_FALSE(PostMessage(value + 1, 0xA710, 1, 1));
    EXPECT_FALSE(PostMessage(0, 0xA710, 1, 1));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Value(), 0u);
    EXPECT_FALSE(PostMessage(value, 0xA710, 1, 1));
}

TEST_F(MsgPort, TryPostNeverWaitsForAFullPort)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    Record(port);
    int queued = 0;
    while (queued < 100000 && TryPostMessage(word, port.Value(), 1, 0, queued))
        ++queued;
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_GT(queued, 0);
    ASSERT_LT(queued, 100000) << "a port holds only a few messages";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TryPostMessage(word, port.Value(), 2, 0, 0));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000))
        << "the waiting post gives up only after two seconds";

    ASSERT_TRUE(WaitFor(static_cast<std::size_t>(queued)));
    EXPECT_TRUE(TryPostMessage(word, port.Value(), 3, 0, 0)) << "room again once read";
    ASSERT_TRUE(WaitFor(static_cast<std::size_t>(queued) + 1));
    EXPECT_EQ(got.back(), (Received{3, 0, 0}));

    const std::uint32_t value = port.Value();
    port.Close();
    EXPECT_FALSE(TryPostMessage(word, value, 1, 0, 0));
    EXPECT_TRUE(errno == ECONNREFUSED || errno == ENOENT) << errno;
    EXPECT_FALSE(TryPostMessage(word, 0, 1, 0, 0));
}

TEST_F(MsgPort, OpenUnderAGivenValue)
{
    TMsgPort a, b;
    ASSERT_TRUE(a.Open(0x1234ABCDu));
    EXPECT_EQ(a.Value(), 0x1234ABCDu);
    EXPECT_FALSE(b.Open(0x1234ABCDu)) << "a value names one port only";
    EXPECT_FALSE(b.Open(0)) << "0 names no port";
    EXPECT_FALSE(a.Open()) << "an open port stays as it is";
    EXPECT_EQ(a.Value(), 0x1234ABCDu);
    a.Close();
    EXPECT_TRUE(b.Open(0x1234ABCDu));
}

TEST_F(MsgPort, SessionsDoNotMeet)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    Record(port);
    EXPECT_FALSE(PostMessage(word + "x", port.Value(), 5, 5, 5));
    EXPECT_FALSE(PostMessage(std::string(), port.Value(), 5, 5, 5));
    EXPECT_TRUE(PostMessage(word, port.Value(), 6, 6, 6));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0], (Received{6, 6, 6}));

    // A session word too long for a socket address still names its own port.
    const std::string longWord(300, 'w');
    setenv("KORVEL_SESSION", longWord.c_str(), 1);
    TMsgPort longPort;
    ASSERT_TRUE(longPort.Open(port.Value()));
    EXPECT_TRUE(PostMessage(longPort.Value(), 1, 2, 3));
    EXPECT_FALSE(PostMessage(std::string(299, 'w'), port.Value(), 1, 2, 3));
}

TEST_F(MsgPort, BadDatagramsAreIgnored)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    Record(port);
    const char shortOne[5] = "abcd";
    char longOne[100] = {};
    unsigned char wrongMark[24] = {};
    std::memcpy(wrongMark + 4, "\x10\xA7\0\0", 4);
    ASSERT_TRUE(SendRaw(port.Value(), shortOne, sizeof shortOne));
    ASSERT_TRUE(SendRaw(port.Value(), longOne, sizeof longOne));
    ASSERT_TRUE(SendRaw(port.Value(), wrongMark, sizeof wrongMark));
    ASSERT_TRUE(SendRaw(port.Value(), "", 0));
    ASSERT_TRUE(PostMessage(port.Value(), 0xA712, 10, 0));
    ASSERT_TRUE(WaitFor(1));
    QCoreApplication::processEvents();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Received{0xA712, 10, 0}));
}

TEST_F(MsgPort, PostsFromOtherThreadsArriveOnTheOwnersThread)
{
    TMsgPort port;
    ASSERT_TRUE(port.Open());
    QThread *owner = QThread::currentThread();
    bool allOnOwner = true;
    int count = 0;
    QObject::connect(&port, &TMsgPort::messageReceived, &port, [&](quint32, quintptr, qintptr) {
        allOnOwner = allOnOwner && QThread::currentThread() == owner;
        ++count;
    });
    std::vector<std::thread> senders;
    const std::uint32_t value = port.Value();
    const std::string session = word;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([=] {
            for (int i = 0; i < 50; ++i)
                PostMessage(session, value, 0xA712, static_cast<std::uintptr_t>(t), i);
        });
    // The owner keeps reading while they send: a port holds only a few unread messages and
    // senders wait for room.
    EXPECT_TRUE(QTest::qWaitFor([&] { return count >= 200; }, 5000));
    for (auto &s : senders)
        s.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(count, 200);
    EXPECT_TRUE(allOnOwner);
}

TEST_F(MsgPort, ReceiverMayCloseOrDeleteThePortWhileHandling)
{
    auto *port = new TMsgPort;
    ASSERT_TRUE(port->Open());
    int handled = 0;
    QObject::connect(port, &TMsgPort::messageReceived, port, [&](quint32, quintptr, qintptr) {
        ++handled;
        delete port;
    });
    ASSERT_TRUE(PostMessage(port->Value(), 1, 0, 0));
    ASSERT_TRUE(PostMessage(port->Value(), 2, 0, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return handled > 0; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_EQ(handled, 1);

    TMsgPort closing;
    ASSERT_TRUE(closing.Open());
    int closedAfter = 0;
    QObject::connect(&closing, &TMsgPort::messageReceived, &closing, [&](quint32, quintptr, qintptr) {
        ++closedAfter;
        closing.Close();
    });
    ASSERT_TRUE(PostMessage(closing.Value(), 1, 0, 0));
    ASSERT_TRUE(PostMessage(closing.Value(), 2, 0, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return closedAfter > 0; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_EQ(closedAfter, 1);
}

TEST_F(MsgPort, MessagesOfAnotherUserAreDroppedAndCounted)
{
    const std::string why = testsupport::otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir scratch("korvel-msgport");
    const auto stranger = testsupport::stage(KORVEL_STRANGER, scratch.path());

    TMsgPort port;
    ASSERT_TRUE(port.Open());
    Record(port);
    const std::string value = std::to_string(port.Value());
    // Announcements and ends as the agent would take them, more of them than a master may keep
    // descriptors for.
    testsupport::AsUser announce(
        testsupport::kNobody,
        {stranger.string(), "post", value, "0xA710", "83", std::to_string(getpid()), "1100"},
        {testsupport::stagedEnv(scratch.path()), "KORVEL_SESSION=" + word});
    testsupport::AsUser end(testsupport::kNobody,
                            {stranger.string(), "post", value, "0xA712", "83", "0", "10"},
                            {testsupport::stagedEnv(scratch.path()), "KORVEL_SESSION=" + word});
    EXPECT_TRUE(QTest::qWaitFor([&] { return port.Refused() >= 1110; }, 30000)) << port.Refused();
    EXPECT_EQ(announce.stop(), 0) << announce.err;
    EXPECT_EQ(end.stop(), 0) << end.err;
    EXPECT_EQ(announce.out, "1100\n") << "the kernel took them; the port drops them";

    ASSERT_TRUE(PostMessage(port.Value(), 0xA712, 97, 0)) << "this user's messages still arrive";
    ASSERT_TRUE(WaitFor(1));
    QCoreApplication::processEvents();
    EXPECT_EQ(got, (std::vector<Received>{{0xA712, 97, 0}}));
    EXPECT_EQ(port.Refused(), 1110u);
}
