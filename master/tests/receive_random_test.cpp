// Arbitrary bytes on the wire: the master must answer every one with a valid reply or the
// error reply, and a request it refuses must leave its tables exactly as they were.

#include <mst_core.h>

#include <common/codec.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Snapshot {
    std::vector<std::tuple<int, int, double>> sessions;
    std::vector<std::tuple<int, std::u16string, std::u16string, double>> clients;
    int highest;
    bool operator==(const Snapshot &) const = default;
};

Snapshot snap(const TMstCore &core)
{
    Snapshot s;
    for (const TSessionRow &r : core.Sessions().rows())
        s.sessions.emplace_back(r.clientId, r.appCode, r.start);
    for (const TClientRow &r : core.Clients().rows())
        s.clients.emplace_back(r.clientId, r.host, r.address, r.lastContact);
    s.highest = core.HighestClientId();
    return s;
}

bool isValidReply(const std::string &reply)
{
    if (reply.empty())
        return true; // a closing request before any reply
    int f2 = 0, f3 = 0, f4 = 0;
    const int code = MsgParse(reply, f2, f3, f4);
    if (MsgCompose(code, f2, f3, f4) != reply)
        return false;
    switch (code) {
    case 22:
        return f2 == 1 && f3 >= 0 && f4 >= 0;
    case 35:
        return f2 == 1 && f3 == 0 && f4 == 0;
    case 47:
        return f2 == 0 && f3 == 0 && f4 == 0;
    default:
        return false;
    }
}

// Mostly near-valid text, so that the validation is exercised, with some pure noise.
std::string randomRequest(std::mt19937 &rng)
{
    static const char *pieces[] = {"112", "259", "376", "428",  "0",  "10",  "11",    "12",
                                   "13",  "83",  "93",  "97",   "-1", "5",   "65648", "2147483648",
                                   "x",   "",    " ",   "0x53", "$B", "+11", "\xff"};
    static const int codes[] = {112, 259, 376, 428};
    static const int ids[] = {0, 0, 9, 10, 11, 12, 13, 14, 20, -1};
    static const int apps[] = {0, 10, 83, 93, 97, 5, -83};
    std::string text;
    const int kind = static_cast<int>(rng() % 6);
    if (kind >= 4) {
        // Four well-formed fields with values around the validation limits.
        return MsgCompose(codes[rng() % 4], ids[rng() % 10], apps[rng() % 7], rng() % 8 == 0 ? -1 : 0);
    }
    if (kind == 0) {
        const std::size_t len = rng() % 24;
        for (std::size_t i = 0; i < len; ++i)
            text.push_back(static_cast<char>(rng() % 256));
        return text;
    }
    const int parts = static_cast<int>(rng() % 7);
    for (int i = 0; i < parts; ++i) {
        if (i)
            text += rng() % 10 == 0 ? ",," : ",";
        text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    }
    if (kind == 1 && !text.empty())
        text[rng() % text.size()] = static_cast<char>(rng() % 256);
    return text;
}

TEST(ReceiveRandomInput, AlwaysAValidReplyAndRefusedRequestsChangeNothing)
{
    TDateTime now = 45000.5;
    std::mt19937 rng(20240611);
    int refused = 0, accepted = 0;
    // A fresh master every 2,000 requests keeps the tables small enough to compare whole
    // and exercises the states right after a start.
    for (int run = 0; run < 50; ++run) {
        const TClocks clocks{[&] { return now; }, [&] { return now * 86400.0; }};
        TLogStore log(clocks);
        TMstCore core(log, clocks);
        core.StartUp();
        for (int i = 0; i < 2000; ++i) {
            now += 0.001 / 86400.0 * static_cast<double>(rng() % 2000);
            const std::string request = randomRequest(rng);
            const Snapshot before = snap(core);
            const TReceiveResult r = core.Receive(request, TPeerInfo{u"h", u"1.2.3.4"});
            ASSERT_TRUE(isValidReply(r.reply)) << "request [" << request << "] reply [" << r.reply << "]";
            if (!r.actions.valid) {
                ++refused;
                ASSERT_EQ(r.reply, "47,0,0,0") << request;
                ASSERT_TRUE(snap(core) == before) << request;
            } else {
                ++accepted;
            }
            if (i % 500 == 499)
                core.Audit();
        }
    }
    // Both paths must have been exercised for the test to mean anything.
    EXPECT_GT(refused, 10000);
    EXPECT_GT(accepted, 10000);
}

} // namespace
