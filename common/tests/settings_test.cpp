#include <common/settings.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kNative = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n";
const std::string kWow = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Ardentis\\Korvel]\r\n";

// Each test gets its own store file, named by KORVEL_REGISTRY.
class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/korvel-settings-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        setenv("KORVEL_REGISTRY", path_.c_str(), 1);
    }
    void TearDown() override
    {
        std::remove(path_.c_str());
        std::remove((path_ + ".lock").c_str());
        unsetenv("KORVEL_REGISTRY");
    }
    void store(const std::string &body)
    {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << kHeader << body;
    }
    static std::string value(const char *name, const char *text)
    {
        return std::string("\"") + name + "\"=\"" + text + "\"\r\n";
    }
    static void expectDefaults(const TMstSettings &s)
    {
        EXPECT_EQ(s.auditPeriod, 180);
        EXPECT_EQ(s.second, 120);
        EXPECT_EQ(s.third, 480);
        EXPECT_EQ(s.gracePeriod, 180);
        EXPECT_EQ(s.port, 52100);
    }
    // A record that differs from the defaults in every field, to see a load replace it.
    static TMstSettings odd() { return TMstSettings{1, 2, 3, 4, 5}; }

    std::string path_;
};

using MasterSettings = SettingsStore;
using ClientSettings = SettingsStore;
using SettingView = SettingsStore;

TEST_F(MasterSettings, LoadsTheStoredNumbers)
{
    store(kNative + value("Master", "b4h78m1e0sb4") + value("Port", "52100"));
    TMstSettings s = odd();
    EXPECT_TRUE(MstSetLoad(s));
    expectDefaults(s);

    store(kNative + value("Master", "3Ch78m1E0s0") + value("Port", "4000"));
    EXPECT_TRUE(MstSetLoad(s));
    EXPECT_EQ(s.auditPeriod, 60);
    EXPECT_EQ(s.second, 120);
    EXPECT_EQ(s.third, 480);
    EXPECT_EQ(s.gracePeriod, 0);
    EXPECT_EQ(s.port, 4000);
}

TEST_F(MasterSettings, SavesLowerCaseHexWithoutLeadingZeros)
{
    store(kNative + value("Master", "3Ch78m1E0s0") + value("Port", "4000"));
    TMstSettings s;
    ASSERT_TRUE(MstSetLoad(s));
    MstSetSave(s);
    EXPECT_EQ(ReadSetting(u"Master"), u"3ch78m1e0s0");
    EXPECT_EQ(ReadSetting(u"Port"), u"4000");

    MstSetSave(TMstSettings{});
    EXPECT_EQ(ReadSetting(u"Master"), u"b4h78m1e0sb4");
    EXPECT_EQ(ReadSetting(u"Port"), u"52100");

    MstSetSave(TMstSettings{65535, 0, 1, 16, 65535});
    EXPECT_EQ(ReadSetting(u"Master"), u"ffffh0m1s10");
    EXPECT_EQ(ReadSetting(u"Port"), u"65535");
}

TEST_F(MasterSettings, AnyFailureGivesDefaultsForAllFields)
{
    const char *badMasters[] = {"b4h78m1e0", "B4H78M1E0SB4", "b4h78mzzsb4", "", "hms"};
    for (const char *m : badMasters) {
        store(kNative + value("Master", m) + value("Port", "4000"));
        TMstSettings s = odd();
        EXPECT_FALSE(MstSetLoad(s)) << m;
        expectDefaults(s);
    }
    // A good "Master" without a "Port", or with a port that is not a number.
    store(kNative + value("Master", "3ch78m1e0s0"));
    TMstSettings s = odd();
    EXPECT_FALSE(MstSetLoad(s));
    expectDefaults(s);
    store(kNative + value("Master", "3ch78m1e0s0") + value("Port", "52 100"));
    s = odd();
    EXPECT_FALSE(MstSetLoad(s));
    expectDefaults(s);
    // No key at all.
    store("");
    s = odd();
    EXPECT_FALSE(MstSetLoad(s));
    expectDefaults(s);
}

TEST_F(MasterSettings, SplittingSkipsEmptyPartsAndTruncatesToSixteenBits)
{
    store(kNative + value("Master", "b4hh78m1e0sb4s") + value("Port", "52100"));
    TMstSettings s = odd();
    EXPECT_TRUE(MstSetLoad(s));
    expectDefaults(s);

    store(kNative + value("Master", "1000ah78m1e0sb4") + value("Port", "65537"));
    EXPECT_TRUE(MstSetLoad(s));
    EXPECT_EQ(s.auditPeriod, 0xA);
    EXPECT_EQ(s.port, 1);
}

TEST_F(MasterSettings, AValueOfAnotherTypeGivesDefaults)
{
    store(kNative + "\"Master\"=hex:01,02\r\n" + value("Port", "4000"));
    TMstSettings s = odd();
    EXPECT_FALSE(MstSetLoad(s));
    expectDefaults(s);
}

TEST_F(MasterSettings, SavingWithoutTheKeyIsIgnored)
{
    store("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n");
    MstSetSave(TMstSettings{});
    EXPECT_TRUE(ReadSetting(u"Master").empty());
    EXPECT_FALSE(WriteSetting(u"Master", u"x"));
}

TEST_F(MasterSettings, ASaveThatCannotBeKeptSaysWhichValueAndWhy)
{
    store(kNative + value("Master", "b4h78m1e0sb4") + value("Port", "52100"));
    // Another program holds the store's lock throughout.
    const int lock = open((path_ + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    testing::internal::CaptureStderr();
    MstSetSave(TMstSettings{60, 2, 3, 0, 4000});
    const std::string err = testing::internal::GetCapturedStderr();
    close(lock);
    EXPECT_NE(err.find("the setting \"Master\" is not kept: the registry file " + path_ + " is locked"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("the setting \"Port\" is not kept"), std::string::npos) << err;
    EXPECT_EQ(ReadSetting(u"Master"), u"b4h78m1e0sb4");

    // Unlocked, it is kept without a word.
    testing::internal::CaptureStderr();
    MstSetSave(TMstSettings{60, 2, 3, 0, 4000});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(ReadSetting(u"Master"), u"3ch2m3s0");
}

TEST_F(SettingView, HeadProgramInTheThirtyTwoBitViewSelectsIt)
{
    store(kNative + value("Master", "3ch78m1e0s0") + value("Port", "4000") + "\r\n" + kWow +
          value("HeadProgram", "C:\\\\Korvel\\\\head.exe") + value("Master", "a0h78m1e0sa") +
          value("Port", "5000"));
    TMstSettings s;
    ASSERT_TRUE(MstSetLoad(s));
    EXPECT_EQ(s.auditPeriod, 160);
    EXPECT_EQ(s.gracePeriod, 10);
    EXPECT_EQ(s.port, 5000);

    MstSetSave(TMstSettings{});
    EXPECT_EQ(RG_GetRegString(KORVEL_REG_KEY, u"Master", true), u"b4h78m1e0sb4");
    EXPECT_EQ(RG_GetRegString(KORVEL_REG_KEY, u"Master", false), u"3ch78m1e0s0");
}

TEST_F(SettingView, AnEmptyHeadProgramKeepsTheNativeView)
{
    store(kNative + value("Port", "4000") + "\r\n" + kWow + value("HeadProgram", "") + value("Port", "5000"));
    EXPECT_EQ(ReadSetting(u"Port"), u"4000");
    EXPECT_TRUE(WriteSetting(u"Host", u"m1"));
    EXPECT_EQ(RG_GetRegString(KORVEL_REG_KEY, u"Host", false), u"m1");
    EXPECT_TRUE(RG_GetRegString(KORVEL_REG_KEY, u"Host", true).empty());
}

TEST_F(ClientSettings, LoadsPortAddressAndHost)
{
    store(kNative + value("Port", "4000") + value("Address", "192.168.0.10") + value("Host", "MASTER-PC"));
    TClnSettings c;
    ClnSetLoad(c);
    EXPECT_EQ(c.port, 4000);
    EXPECT_EQ(c.address, u"192.168.0.10");
    EXPECT_EQ(c.host, u"MASTER-PC");
}

TEST_F(ClientSettings, BadPortAndBadAddressFallBackOneByOne)
{
    store(kNative + value("Port", "x") + value("Address", "192.168.0.255") + value("Host", "m"));
    TClnSettings c{1, u"a", u"b"};
    ClnSetLoad(c);
    EXPECT_EQ(c.port, 52100);
    EXPECT_TRUE(c.address.empty());
    EXPECT_EQ(c.host, u"m");

    store("");
    c = TClnSettings{1, u"a", u"b"};
    ClnSetLoad(c);
    EXPECT_EQ(c.port, 52100);
    EXPECT_TRUE(c.address.empty());
    EXPECT_TRUE(c.host.empty());
}

TEST_F(ClientSettings, SaveWritesAddressAndHostButNeverThePort)
{
    store(kNative + value("Port", "4000"));
    ClnSetSave(TClnSettings{1234, u"10.1.2.3", u"head"});
    EXPECT_EQ(ReadSetting(u"Port"), u"4000");
    EXPECT_EQ(ReadSetting(u"Address"), u"10.1.2.3");
    EXPECT_EQ(ReadSetting(u"Host"), u"head");
}

} // namespace

class HttpSettings : public SettingsStore {};

TEST_F(HttpSettings, AddressAndPortWithTheirDefaults)
{
    struct Case {
        const char *name;
        std::string body;
        const char16_t *address;
        int port;
    } cases[] = {
        {"no key", "", u"127.0.0.1", 52180},
        {"nothing set", kNative, u"127.0.0.1", 52180},
        {"both set", kNative + value("HttpAddress", "0.0.0.0") + value("HttpPort", "8080"), u"0.0.0.0", 8080},
        {"port 0 turns it off", kNative + value("HttpPort", "0"), u"127.0.0.1", 0},
        {"empty address", kNative + value("HttpAddress", ""), u"127.0.0.1", 52180},
        {"port out of range", kNative + value("HttpPort", "65536"), u"127.0.0.1", 52180},
        {"negative port", kNative + value("HttpPort", "-1"), u"127.0.0.1", 52180},
        {"port not a number", kNative + value("HttpAddress", "198.18.0.1") + value("HttpPort", "web"),
         u"198.18.0.1", 52180},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        store(c.body);
        THttpSettings s;
        s.port = 1;
        HttpSetLoad(s);
        EXPECT_EQ(s.address, c.address);
        EXPECT_EQ(s.port, c.port);
    }
}
