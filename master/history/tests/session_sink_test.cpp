// What the master's core tells its session sink, request by request: the records the history
// is made of.

#include <mst_core.h>

#include <common/timeaddr.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string U8(const UnicodeString &s)
{
    return std::string(s.begin(), s.end());
}

struct Recorder : TSessionSink {
    std::vector<std::string> events;
    void RowAdded(std::int16_t id, std::uint16_t code, const UnicodeString &host,
                  const UnicodeString &address) override
    {
        events.push_back("add " + std::to_string(id) + " " + std::to_string(code) + " " + U8(host) + " " +
                         U8(address));
    }
    void RowsRemoved(std::int16_t id, std::uint16_t code, EndReason reason) override
    {
        events.push_back("end " + std::to_string(id) + " " + std::to_string(code) + " " +
                         std::to_string(int(reason)));
    }
    void ClientRemoved(std::int16_t id, double silent) override
    {
        events.push_back("gone " + std::to_string(id) + " " + std::to_string(int(silent)));
    }
    void HostFound(std::int16_t id, const UnicodeString &host) override
    {
        events.push_back("host " + std::to_string(id) + " " + U8(host));
    }
    void MasterStopped() override { events.push_back("stop"); }
};

TEST(SessionSink, TellsEveryRowsLife)
{
    TDateTime now = 45000.5;
    double mono = 1000;
    TClocks clocks{[&] { return now; }, [&] { return mono; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
    Recorder sink;
    core.SetSessionSink(&sink);
    core.StartUp();
    const TPeerInfo pending{u"", u"10.0.0.5", true};
    const TPeerInfo named{u"ws6", u"10.0.0.6", false};

    struct Step {
        std::function<void()> action;
        std::vector<std::string> told;
    };
    const std::vector<Step> steps = {
        {[&] { core.Receive("112,0,83,0", pending); }, {"add 11 83 10.0.0.5 10.0.0.5"}},
        {[&] { core.FillHost(u"10.0.0.5", u"ws5"); }, {"host 11 ws5"}},
        {[&] { core.Receive("112,11,93,0", pending); }, {"add 11 93 ws5 10.0.0.5"}},
        {[&] { core.Receive("112,11,83,0", pending); }, {"add 11 83 ws5 10.0.0.5"}},
        // One withdraw ends both rows (11, 83); a second finds none and says nothing.
        {[&] { core.Receive("376,11,83,0", pending); }, {"end 11 83 1"}},
        {[&] { core.Receive("376,11,83,0", pending); }, {}},
        {[&] { core.Receive("112,0,99,0", pending); }, {}}, // refused: no row
        {[&] { core.Receive("259,11,0,0", pending); }, {}},
        {[&] { core.LocalAnnounce(97, 4242); }, {"add 10 97  "}},
        {[&] { core.LocalEnded(97); }, {"end 10 97 2"}},
        {[&] { core.Receive("112,0,10,0", named); }, {"add 12 10 ws6 10.0.0.6"}},
        // Client 11 keeps talking, client 12 falls silent: the audit drops 12 only, silent for
        // the whole 500 s.
        {[&] {
             mono += 300;
             core.Receive("259,11,0,0", pending);
             mono += 200;
             core.Audit();
         },
         {"gone 12 500"}},
        // Its rows stay in the table and can still be withdrawn.
        {[&] { core.Receive("376,12,10,0", named); }, {"end 12 10 1"}},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        sink.events.clear();
        steps[i].action();
        EXPECT_EQ(sink.events, steps[i].told);
    }
    EXPECT_EQ(core.RowCount(), 1); // (11, 93)
}

} // namespace
