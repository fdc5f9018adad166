#include <common/cmn_err.h>
#include <common/strtable.h>
#include <common/timeaddr.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(TimeText, EmptyOnTheBaseDay)
{
    EXPECT_TRUE(TimeText(0.5).empty());
    EXPECT_TRUE(TimeText(0.0).empty());
    EXPECT_TRUE(TimeText(-0.75).empty());
}

TEST(TimeText, HoursMinutesSecondsTwoDigitsEach)
{
    EXPECT_EQ(TimeText(45000.75), u"18:00:00");
    EXPECT_EQ(TimeText(45000.0), u"00:00:00");
    EXPECT_EQ(TimeText(45000.0 + (9 * 3600 + 5 * 60 + 7) / 86400.0), u"09:05:07");
    EXPECT_EQ(TimeText(45000.0 + 86399.0 / 86400.0), u"23:59:59");
    // A value a hair below a whole second still shows that second.
    EXPECT_EQ(TimeText(45000.0 + 10.0 / 86400.0 - 1e-12), u"00:00:10");
}

TEST(SecondsBetween, WholeSecondsInEitherOrder)
{
    const TDateTime t = 45000.25;
    EXPECT_EQ(SecondsBetween(t, t + 414.0 / 86400.0), 414);
    EXPECT_EQ(SecondsBetween(t + 414.0 / 86400.0, t), 414);
    EXPECT_EQ(SecondsBetween(t, t + 414.999 / 86400.0), 414);
    EXPECT_EQ(SecondsBetween(t, t + 3600.0 / 86400.0), 3600);
    EXPECT_EQ(SecondsBetween(t, t), 0);
}

TEST(IsDottedAddress, FourIntegersBelow255)
{
    EXPECT_TRUE(IsDottedAddress(u"192.168.0.10"));
    EXPECT_TRUE(IsDottedAddress(u"-1.0.0.1")); // no lower bound
    EXPECT_TRUE(IsDottedAddress(u"0.0.0.0"));
    EXPECT_TRUE(IsDottedAddress(u"10..0.0.1")); // empty parts are skipped
    EXPECT_FALSE(IsDottedAddress(u"192.168.0.255"));
    EXPECT_FALSE(IsDottedAddress(u"192.168.0"));
    EXPECT_FALSE(IsDottedAddress(u"10.0.0"));
    EXPECT_FALSE(IsDottedAddress(u"a.b.c.d"));
    EXPECT_FALSE(IsDottedAddress(u"1.2.3.4.5"));
    EXPECT_FALSE(IsDottedAddress(u""));
    EXPECT_FALSE(IsDottedAddress(u"1.2.3. 4"));
}

TEST(HelpFilePath, IsTheDocFolderAboveTheProgramsFolder)
{
    const UnicodeString p = HelpFilePath();
    const std::string s = UnicodeToUtf8(p);
    // The test binary sits in <build>/tests, so the document is <build>/Doc/fenwa2doc.chm.
    EXPECT_EQ(s, std::string(KORVEL_BIN_DIR).substr(0, std::string(KORVEL_BIN_DIR).rfind('/')) +
                     "/Doc/fenwa2doc.chm");
}

TEST(StringTable, HoldsTheTextsExactly)
{
    EXPECT_EQ(LoadStr(33), u"Korvel is already running.");
    EXPECT_EQ(LoadStr(35), u"Internal error: mutex or memory file create error.");
    EXPECT_EQ(LoadStr(67), u"Bad client messge - discarded.");
    EXPECT_EQ(LoadStr(62), u"Client is assigned ID = %d. ");
    EXPECT_EQ(LoadStr(17),
              u"There are active Ardentis application(s). They will be aborted soon. Continue anyway?");
    EXPECT_EQ(LoadStr(IDS_CLN_CONVERSATION_ERROR), u"Error occured during conversation with Master %s.");
    EXPECT_TRUE(LoadStr(0).empty());
    EXPECT_TRUE(LoadStr(9999).empty());
}

TEST(StringTable, FormatsPlaceholdersInOrder)
{
    EXPECT_EQ(LoadFmt(65, {83, 11}), u"Application 83 has shut down, client 11.");
    EXPECT_EQ(LoadFmt(18, {10}), u"Application is running on master-station (client ID = 10).");
    EXPECT_EQ(LoadFmt(IDS_TIP_CLIENT, {12, UnicodeString(u"ws1"), UnicodeString(u"10.0.0.7")}),
              u"Client 12.  Host: ws1.  Address: 10.0.0.7");
    EXPECT_EQ(LoadFmt(37, {UnicodeString()}),
              u"Error occured during communication session with a client ().");
    EXPECT_EQ(FormatStr(u"%d%% of %s", {-5, u"all"}), u"-5% of all");
    EXPECT_EQ(FormatStr(u"%d and %d", {1}), u"1 and %d");
    EXPECT_EQ(FormatStr(u"%x %", {1}), u"%x %");
}

TEST(CmnErr, CarriesIdAndText)
{
    try {
        throw cmn_err(33);
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Korvel is already running.");
        const auto *c = dynamic_cast<const cmn_err *>(&e);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->id(), 33);
        EXPECT_EQ(c->text(), u"Korvel is already running.");
    }
}

} // namespace
