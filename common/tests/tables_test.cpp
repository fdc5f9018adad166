#include <common/tables.h>

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

constexpr double kSecond = 1.0 / 86400.0;
constexpr TDateTime kBase = 45000.5;

std::vector<std::pair<int, int>> keys(const TSessionTable &t)
{
    std::vector<std::pair<int, int>> out;
    for (int i = 0; i < t.size(); ++i)
        out.emplace_back(t.rowAt(i).clientId, t.rowAt(i).appCode);
    return out;
}

TEST(SessionTable, AppendsInOrderAndCounts)
{
    TSessionTable t;
    EXPECT_EQ(t.size(), 0);
    t.append({11, 83, kBase});
    t.append({12, 0, kBase + 1});
    t.append({11, 93, kBase + 2});
    t.append({10, 83, kBase + 3});
    ASSERT_EQ(t.size(), 4);
    EXPECT_EQ(t.rowAt(1).clientId, 12);
    EXPECT_EQ(t.rowAt(1).start, kBase + 1);
    EXPECT_EQ(t.countByApp(83), 2);
    EXPECT_EQ(t.countByApp(0), 1); // rows recorded without an application count too
    EXPECT_EQ(t.countByApp(97), 0);
    EXPECT_EQ(t.countByClient(11), 2);
    EXPECT_EQ(t.countByClient(13), 0);
}

TEST(SessionTable, RemoveInstancesTakesEveryMatchingRowAndKeepsTheOrder)
{
    TSessionTable t;
    t.append({11, 83, 1});
    t.append({12, 83, 2});
    t.append({11, 83, 3});
    t.append({11, 93, 4});
    t.append({10, 83, 5});
    EXPECT_EQ(t.removeInstances(11, 83), 2);
    EXPECT_EQ(keys(t), (std::vector<std::pair<int, int>>{{12, 83}, {11, 93}, {10, 83}}));
    EXPECT_EQ(t.rowAt(1).start, 4);
    EXPECT_EQ(t.countByClient(11), 1);
    EXPECT_EQ(t.countByApp(83), 2);
    EXPECT_EQ(t.removeInstances(11, 83), 0);
    EXPECT_EQ(t.removeInstances(13, 10), 0);
    EXPECT_EQ(t.size(), 3);
}

TEST(SessionTable, RowsAddedAfterARemovalFollowTheSurvivors)
{
    TSessionTable t;
    t.append({11, 83, 1});
    t.append({12, 93, 2});
    t.removeInstances(11, 83);
    t.append({11, 83, 3});
    EXPECT_EQ(keys(t), (std::vector<std::pair<int, int>>{{12, 93}, {11, 83}}));
    t.removeInstances(12, 93);
    t.removeInstances(11, 83);
    EXPECT_EQ(t.size(), 0);
    t.append({13, 10, 4});
    EXPECT_EQ(keys(t), (std::vector<std::pair<int, int>>{{13, 10}}));
}

TEST(SessionTable, IdsAndCodesCompareAsSixteenBitValues)
{
    TSessionTable t;
    t.append({-32768, 65535, 1});
    EXPECT_EQ(t.countByClient(-32768), 1);
    EXPECT_EQ(t.countByApp(65535), 1);
    EXPECT_EQ(t.removeInstances(-32768, 65535), 1);
}

// The indexed table must give the same rows as the plain stable pass it stands for.
TEST(SessionTable, MatchesAPlainVectorUnderRandomChanges)
{
    std::mt19937 rng(12345);
    TSessionTable t;
    std::vector<TSessionRow> model;
    for (int step = 0; step < 20000; ++step) {
        const auto client = static_cast<std::int16_t>(10 + rng() % 6);
        const auto code = static_cast<std::uint16_t>(std::array<int, 5>{0, 10, 83, 93, 97}[rng() % 5]);
        if (rng() % 3 != 0) {
            const TSessionRow row{client, code, static_cast<double>(step)};
            t.append(row);
            model.push_back(row);
        } else {
            int expected = 0;
            std::vector<TSessionRow> kept;
            for (const TSessionRow &r : model) {
                if (r.clientId == client && r.appCode == code)
                    ++expected;
                else
                    kept.push_back(r);
            }
            model = kept;
            ASSERT_EQ(t.removeInstances(client, code), expected);
        }
        ASSERT_EQ(t.size(), static_cast<int>(model.size()));
        if (step % 97 == 0) {
            for (std::size_t i = 0; i < model.size(); ++i) {
                ASSERT_EQ(t.rowAt(static_cast<int>(i)).start, model[i].start) << "step " << step;
            }
            int c11 = 0;
            for (const TSessionRow &r : model)
                c11 += r.clientId == 11;
            ASSERT_EQ(t.countByClient(11), c11);
        }
    }
}

TEST(ClientTable, AddIfAbsentKeepsTheFirstRow)
{
    TClientTable c;
    EXPECT_TRUE(c.addIfAbsent(12, u"alpha", u"10.0.0.2", kBase));
    EXPECT_FALSE(c.addIfAbsent(12, u"beta", u"10.0.0.3", kBase + 1));
    EXPECT_EQ(c.size(), 1);
    UnicodeString host, address;
    c.hostAndAddress(12, host, address);
    EXPECT_EQ(host, u"alpha");
    EXPECT_EQ(address, u"10.0.0.2");
    EXPECT_EQ(c.rows()[0].lastContact, kBase);
}

TEST(ClientTable, HostAndAddressOfAnUnknownClientLeavesTheOutputsAlone)
{
    TClientTable c;
    c.addIfAbsent(11, u"h", u"a", kBase);
    UnicodeString host = u"keep", address = u"these";
    c.hostAndAddress(13, host, address);
    EXPECT_EQ(host, u"keep");
    EXPECT_EQ(address, u"these");
}

TEST(ClientTable, TouchAndRemove)
{
    TClientTable c;
    c.addIfAbsent(11, u"a", u"1.1.1.1", kBase);
    c.addIfAbsent(12, u"b", u"1.1.1.2", kBase);
    c.addIfAbsent(13, u"c", u"1.1.1.3", kBase);
    c.touch(12, kBase + 1);
    c.touch(14, kBase + 2); // unknown: nothing
    c.remove(11);
    c.remove(99);
    const auto rows = c.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].clientId, 12);
    EXPECT_EQ(rows[0].lastContact, kBase + 1);
    EXPECT_EQ(rows[1].clientId, 13);
    EXPECT_FALSE(c.contains(11));
    // A removed ID can come back, at the end.
    EXPECT_TRUE(c.addIfAbsent(11, u"a2", u"1.1.1.9", kBase + 3));
    EXPECT_EQ(c.rows().back().host, u"a2");
}

TEST(ClientTable, PurgeKeepsARowExactlyAtTheTimeout)
{
    const TDateTime now = kBase + 0.25;
    TClientTable c;
    c.addIfAbsent(11, u"a", u"x", now - 414 * kSecond);
    c.addIfAbsent(12, u"b", u"y", now - 415 * kSecond);
    c.addIfAbsent(13, u"c", u"z", now - 414.9 * kSecond); // 414 whole seconds
    c.addIfAbsent(14, u"d", u"w", now);
    EXPECT_EQ(c.purgeStale(414, now), 1);
    const auto rows = c.rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].clientId, 11);
    EXPECT_EQ(rows[1].clientId, 13);
    EXPECT_EQ(rows[2].clientId, 14);
    EXPECT_FALSE(c.contains(12));
    UnicodeString host, address;
    c.hostAndAddress(12, host, address);
    EXPECT_TRUE(host.empty());
}

TEST(ClientTable, PurgeCountsAgeInEitherDirection)
{
    // A last contact in the future (the clock went back) ages like one in the past.
    TClientTable c;
    c.addIfAbsent(11, u"a", u"x", kBase + 500 * kSecond);
    EXPECT_EQ(c.purgeStale(414, kBase), 1);
    EXPECT_EQ(c.size(), 0);
}

TEST(ClientTable, StaysConsistentThroughManyRemovals)
{
    TClientTable c;
    for (int i = 0; i < 1000; ++i)
        c.addIfAbsent(static_cast<std::int16_t>(11 + i), u"h", IntToStr(i), kBase);
    for (int i = 0; i < 1000; i += 2)
        c.remove(static_cast<std::int16_t>(11 + i));
    ASSERT_EQ(c.size(), 500);
    const auto rows = c.rows();
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(rows[static_cast<std::size_t>(i)].clientId, 12 + 2 * i);
    UnicodeString host, address;
    c.hostAndAddress(999 + 11, host, address);
    EXPECT_EQ(address, u"999");
    c.touch(12, kBase + 1);
    EXPECT_EQ(c.rows()[0].lastContact, kBase + 1);
}

} // namespace
