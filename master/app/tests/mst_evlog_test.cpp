// The event log window's echo of new lines on standard output (KORVEL_LOG_ECHO), which is
// how a headless master shows its log.

#include "mst_evlog.h"

#include <QByteArray>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr double kSecond = 1.0 / 86400.0;

// Sends standard output into a file for as long as it lives.
class StdoutCapture {
public:
    StdoutCapture()
    {
        file.open();
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { Restore(); }
    std::string Text()
    {
        Restore();
        file.seek(0);
        return file.readAll().toStdString();
    }

private:
    void Restore()
    {
        if (saved < 0)
            return;
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        saved = -1;
    }
    QTemporaryFile file;
    int saved = -1;
};

int Lines(const std::string &text, const std::string &what)
{
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

TEST(LogEcho, EveryLineIsEchoedOnceAlsoWhilePruning)
{
    qputenv("KORVEL_LOG_ECHO", "1");
    TDateTime now = 45000.25;
    auto win = std::make_unique<TpLogWin>([&now] { return now; });
    qunsetenv("KORVEL_LOG_ECHO");

    StdoutCapture out;
    win->Log().start(52100);
    win->Refresh();
    // An hour and more of one line a minute: from the 61st minute on, each new line lets
    // exactly one expired line go, so the count stays the same while new lines come.
    for (int i = 1; i <= 90; ++i) {
        now += 60 * kSecond;
        win->Log().addKeepAlive(1000 + i);
        win->Refresh();
    }
    const std::string text = out.Text();
    EXPECT_EQ(Lines(text, "Master begins listening at port 52100."), 1);
    for (int i = 1; i <= 90; ++i)
        EXPECT_EQ(Lines(text, "Client " + std::to_string(1000 + i) + " requested"), 1) << "line " << i;
}

} // namespace
