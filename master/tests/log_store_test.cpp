#include <log_store.h>

#include <common/strtable.h>
#include <common/timeaddr.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kSecond = 1.0 / 86400.0;

// A log whose clock the test moves.
struct ClockedLog {
    TDateTime now = 45000.25;
    double mono = 1000;
    TLogStore log{TClocks{[this] { return now; }, [this] { return mono; }}};
    void advance(double seconds)
    {
        now += seconds * kSecond;
        mono += seconds;
    }
    std::string text(int i) const { return UnicodeToUtf8(log.At(i).text); }
};

TEST(LogLines, StartLineAndFormattedLines)
{
    ClockedLog c;
    EXPECT_EQ(c.log.Count(), 0);
    c.log.Start(52100);
    c.log.AddAssignedId(11);
    c.log.AddKeepAlive(11);
    c.log.AddShutDown(83, 11);
    c.log.AddLine(67);
    c.log.AddLine(68);
    c.log.AddLine(69);
    ASSERT_EQ(c.log.Count(), 7);
    EXPECT_EQ(c.text(0), "Master begins listening at port 52100.");
    EXPECT_EQ(c.text(1), "Client is assigned ID = 11. ");
    EXPECT_EQ(c.text(2), "Client 11 requested for acknowledgment.");
    EXPECT_EQ(c.text(3), "Application 83 has shut down, client 11.");
    EXPECT_EQ(c.text(4), "Bad client messge - discarded.");
    EXPECT_EQ(c.text(5), "Master audit: all clients are active.");
    EXPECT_EQ(c.text(6), "Master audit: at least, one client is dead.");
    EXPECT_EQ(c.log.At(3).time, c.now);
    EXPECT_EQ(c.log.RetentionHours(), 1);
}

TEST(LogLines, SocketErrorKindWords)
{
    ClockedLog c;
    const char *words[] = {"general",    "sending", "receiving", "connecting", "disconnecting", "connecting",
                           "looking up", "",        ""};
    const int kinds[] = {0, 1, 2, 3, 4, 5, 6, 7, -1};
    for (int i = 0; i < 9; ++i) {
        c.log.AddSocketError(kinds[i]);
        EXPECT_EQ(c.text(i),
                  std::string("Error occured during communication session with a client (") + words[i] + ").")
            << kinds[i];
    }
}

TEST(LogPrune, NothingBelowTenEntries)
{
    ClockedLog c;
    c.log.Start(52100);
    for (int i = 1; i < 9; ++i)
        c.log.AddKeepAlive(i);
    ASSERT_EQ(c.log.Count(), 9);
    c.advance(7200);
    c.log.AddKeepAlive(100); // nine present: no pruning
    EXPECT_EQ(c.log.Count(), 10);
    c.advance(7200);
    c.log.AddKeepAlive(101); // ten present, all older than an hour
    ASSERT_EQ(c.log.Count(), 3);
    EXPECT_EQ(c.text(0), "Master begins listening at port 52100.");
    EXPECT_EQ(c.text(1), "Client 100 requested for acknowledgment.");
    EXPECT_EQ(c.text(2), "Client 101 requested for acknowledgment.");
}

TEST(LogPrune, KeepsTheNewestExpiredLine)
{
    ClockedLog c;
    c.log.Start(1);
    c.log.AddKeepAlive(1);
    c.log.AddKeepAlive(2);
    c.advance(1800);
    for (int i = 3; i < 12; ++i)
        c.log.AddKeepAlive(i);
    ASSERT_EQ(c.log.Count(), 12);
    c.advance(1801); // entries 1 and 2 are now older than an hour, the rest younger
    c.log.AddKeepAlive(12);
    ASSERT_EQ(c.log.Count(), 12);
    EXPECT_EQ(c.text(1), "Client 2 requested for acknowledgment.");
    EXPECT_EQ(c.text(2), "Client 3 requested for acknowledgment.");
    EXPECT_EQ(c.text(11), "Client 12 requested for acknowledgment.");
}

TEST(LogPrune, AnEntryExactlyAnHourOldCountsAsExpired)
{
    ClockedLog c;
    c.log.Start(1);
    for (int i = 1; i < 10; ++i)
        c.log.AddKeepAlive(i);
    c.advance(3600);
    c.log.AddKeepAlive(10);
    EXPECT_EQ(c.log.Count(), 3);

    ClockedLog d;
    d.log.Start(1);
    for (int i = 1; i < 10; ++i)
        d.log.AddKeepAlive(i);
    d.advance(3599.9);
    d.log.AddKeepAlive(10);
    EXPECT_EQ(d.log.Count(), 11);
}

TEST(LogPrune, TheStartLineStaysForTheWholeRun)
{
    ClockedLog c;
    c.log.Start(52100);
    for (int i = 0; i < 5000; ++i) {
        c.advance(5);
        c.log.AddKeepAlive(i);
    }
    EXPECT_EQ(c.text(0), "Master begins listening at port 52100.");
    // About an hour of lines at one line per 5 s, plus the start line and one expired line.
    EXPECT_EQ(c.log.Count(), 3600 / 5 + 2);
    EXPECT_GE(SecondsBetween(c.log.At(1).time, c.now), 3600);
    EXPECT_LT(SecondsBetween(c.log.At(2).time, c.now), 3600);
}

TEST(LogBound, AFloodKeepsTheNewestLinesWithinTheBound)
{
    ClockedLog c;
    c.log.Start(52100);
    const int flood = static_cast<int>(TLogStore::MaxEntries) + 50000;
    for (int i = 0; i < flood; ++i)
        c.log.AddKeepAlive(i);
    ASSERT_EQ(static_cast<std::size_t>(c.log.Count()), TLogStore::MaxEntries);
    EXPECT_EQ(c.text(0), "Master begins listening at port 52100.");
    // The newest lines, in order, right behind the start line.
    const int first = flood - static_cast<int>(TLogStore::MaxEntries) + 1;
    EXPECT_EQ(c.text(1), "Client " + std::to_string(first) + " requested for acknowledgment.");
    EXPECT_EQ(c.text(c.log.Count() - 1),
              "Client " + std::to_string(flood - 1) + " requested for acknowledgment.");
    EXPECT_EQ(c.log.Added(), static_cast<unsigned long long>(flood) + 1);
}

TEST(LogEcho, EveryLineIsEchoedOnceAlsoWhilePruning)
{
    ClockedLog c;
    std::FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TLogEcho echo(out);
    c.log.Start(52100);
    echo.Echo(c.log);
    // An hour and more of one line a minute: from the 61st minute on, each new line lets
    // exactly one expired line go, so the count stays the same while new lines come.
    for (int i = 1; i <= 90; ++i) {
        c.advance(60);
        c.log.AddKeepAlive(1000 + i);
        echo.Echo(c.log);
    }
    std::rewind(out);
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, n);
    std::fclose(out);
    auto lines = [&text](const std::string &what) {
        int n = 0;
        for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(lines("06:00:00  Master begins listening at port 52100."), 1);
    for (int i = 1; i <= 90; ++i)
        EXPECT_EQ(lines("Client " + std::to_string(1000 + i) + " requested"), 1) << "line " << i;
}

TEST(LogEcho, ServiceLinesCarryTheJournalLevelOfWhatTheySay)
{
    ClockedLog c;
    std::FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TLogEcho echo(out, true);
    c.log.Start(52100);
    c.log.AddAssignedId(11);
    c.log.AddLine(IDS_LOG_BAD_MESSAGE);
    c.log.AddKeepAlive(11);
    c.log.AddSocketError(2);
    c.log.AddLine(IDS_LOG_AUDIT_DEAD);
    echo.Echo(c.log);
    std::rewind(out);
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, n);
    std::fclose(out);
    EXPECT_EQ(text, "<6>06:00:00  Master begins listening at port 52100.\n"
                    "<6>06:00:00  Client is assigned ID = 11. \n"
                    "<4>06:00:00  Bad client messge - discarded.\n"
                    "<6>06:00:00  Client 11 requested for acknowledgment.\n"
                    "<4>06:00:00  Error occured during communication session with a client (receiving).\n"
                    "<6>06:00:00  Master audit: at least, one client is dead.\n");
}

// An output that keeps each write it receives apart (a packet socket), to see how the lines
// leave; line-buffered as masterd's standard output.
class Writes {
public:
    Writes()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
            return;
        in_ = fds[0];
        const int size = 1 << 20;
        ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(in_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        file_ = ::fdopen(fds[1], "w");
        std::setvbuf(file_, nullptr, _IOLBF, 0);
    }
    ~Writes()
    {
        if (file_)
            std::fclose(file_);
        if (in_ >= 0)
            ::close(in_);
    }
    std::FILE *file() const { return file_; }
    /// The writes received since the last call, each as it came.
    std::vector<std::string> take()
    {
        std::vector<std::string> calls;
        static char buf[1 << 17];
        for (ssize_t n; (n = ::recv(in_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            calls.emplace_back(buf, static_cast<std::size_t>(n));
        return calls;
    }

private:
    int in_ = -1;
    std::FILE *file_ = nullptr;
};

TEST(LogEcho, ABurstOfLinesLeavesInOneWriteInOrder)
{
    ClockedLog c;
    Writes w;
    ASSERT_NE(w.file(), nullptr);
    TLogEcho echo(w.file(), true);
    c.log.Start(52100);
    echo.Collect(c.log);
    c.log.AddAssignedId(11);
    c.log.AddLine(IDS_LOG_BAD_MESSAGE);
    echo.Collect(c.log);
    c.log.AddKeepAlive(11);
    echo.Collect(c.log);
    EXPECT_TRUE(echo.Pending());
    EXPECT_TRUE(w.take().empty()) << "a line left before the burst was over";
    echo.Flush();
    EXPECT_FALSE(echo.Pending());
    std::vector<std::string> calls = w.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "<6>06:00:00  Master begins listening at port 52100.\n"
                        "<6>06:00:00  Client is assigned ID = 11. \n"
                        "<4>06:00:00  Bad client messge - discarded.\n"
                        "<6>06:00:00  Client 11 requested for acknowledgment.\n");
    // Nothing new: nothing is written.
    echo.Collect(c.log);
    echo.Flush();
    EXPECT_TRUE(w.take().empty());

    // A burst longer than the echo holds is written while it comes, every line once, in order.
    const int burst = static_cast<int>(TLogEcho::MaxHeld / 40) + 100;
    std::string text;
    std::size_t writes = 0;
    for (int i = 0; i < burst; ++i) {
        c.log.AddKeepAlive(100000 + i);
        echo.Collect(c.log);
        for (const std::string &call : w.take()) {
            text += call;
            ++writes;
        }
    }
    EXPECT_GE(writes, 1u);
    echo.Flush();
    for (const std::string &call : w.take())
        text += call;
    std::size_t at = 0;
    for (int i = 0; i < burst; ++i) {
        const std::string line =
            "<6>06:00:00  Client " + std::to_string(100000 + i) + " requested for acknowledgment.\n";
        ASSERT_EQ(text.compare(at, line.size(), line), 0) << "line " << i;
        at += line.size();
    }
    EXPECT_EQ(at, text.size());
}

} // namespace
