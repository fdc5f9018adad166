// The log copy that snapshots share: whatever the pace of publication, pruning by age or by
// count, every line of a view reads as the store had it when the view was cut.

#include <mst_snapshot.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char *name;
    int lines;          // lines added after the start line
    int publishEvery;   // lines between two updates of the copy
    double secondsEach; // monotonic seconds between two lines (pruning by age past an hour)
};

TEST(LogMirror, ViewsReadAsTheStoreAtEveryPace)
{
    const Case cases[] = {
        {"each line", 9000, 1, 0},
        {"in bursts across chunks", 20000, 3001, 0},
        {"bursts longer than a chunk", 20000, 9000, 0},
        {"pruned by age as it goes", 12000, 700, 0.5},
        {"pruned by age faster than published", 12000, 5000, 2.0},
        {"pruned by count", static_cast<int>(TLogStore::MaxEntries) + 9000, 4096, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        double mono = 1000;
        TLogStore log(TClocks{[&] { return 45000.0 + mono / 86400.0; }, [&] { return mono; }});
        log.Start(52100);
        TLogMirror mirror;
        auto check = [&] {
            mirror.Update(log);
            const TLogView v = mirror.View();
            ASSERT_EQ(v.Count(), log.Count());
            // Every line near both ends and a sample between: same time and text.
            for (int i = 0; i < v.Count(); i += (i < 20 || i > v.Count() - 20) ? 1 : 97) {
                const TLogEntry a = v.At(i), b = log.At(i);
                ASSERT_EQ(a.time, b.time) << "line " << i;
                ASSERT_EQ(a.text, b.text) << "line " << i;
            }
        };
        for (int i = 1; i <= c.lines; ++i) {
            mono += c.secondsEach;
            log.AddKeepAlive(i); // the client number tells the lines apart
            if (i % c.publishEvery == 0) {
                ASSERT_NO_FATAL_FAILURE(check());
            }
        }
        ASSERT_NO_FATAL_FAILURE(check());
    }
}

TEST(LogMirror, AViewStaysAsCutWhileTheLogGoesOn)
{
    TLogStore log;
    log.Start(52100);
    TLogMirror mirror;
    for (int i = 1; i <= 5000; ++i)
        log.AddKeepAlive(i);
    mirror.Update(log);
    const TLogView before = mirror.View();
    for (int i = 5001; i <= 9000; ++i)
        log.AddKeepAlive(i);
    mirror.Update(log);
    ASSERT_EQ(before.Count(), 5001);
    EXPECT_EQ(before.At(5000).text, u"Client 5000 requested for acknowledgment.");
    EXPECT_EQ(mirror.View().At(9000).text, u"Client 9000 requested for acknowledgment.");
}

} // namespace
