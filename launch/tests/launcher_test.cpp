// Which agent the registry names for this machine. What the launcher then starts, or refuses to,
// is tested on the real program (tests/launch_test.cpp).

#include "launcher.h"

#include <testsupport/tempdir.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const char RegHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
const char NativeKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n";
const char WowKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Ardentis\\Korvel]\r\n";

// Each test gets its own store.
class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        store = (dir.path() / "korvel.reg").string();
        setenv("KORVEL_REGISTRY", store.c_str(), 1);
    }
    void TearDown() override { unsetenv("KORVEL_REGISTRY"); }
    void WriteStore(const std::string &body) { std::ofstream(store, std::ios::binary) << RegHeader << body; }

    testsupport::TempDir dir{"launcher"};
    std::string store;
};

} // namespace

TEST_F(Launcher, StationFollowsThePerMachineValue)
{
    struct Case {
        const char *what;
        std::string store; // empty: no store file at all
        TStation station;
        const char *noteHas; // null: no note
    };
    const std::string key = NativeKey;
    const Case cases[] = {
        {"no store", "", TStation::Workstation, nullptr},
        {"key without the value", key, TStation::Workstation, nullptr},
        {"Master", key + "\"Station\"=\"Master\"\r\n", TStation::Master, nullptr},
        {"case aside", key + "\"Station\"=\"mASTER\"\r\n", TStation::Master, nullptr},
        {"Client", key + "\"Station\"=\"Client\"\r\n", TStation::Workstation, nullptr},
        {"empty text", key + "\"Station\"=\"\"\r\n", TStation::Workstation, nullptr},
        {"misspelt", key + "\"Station\"=\"Mastr\"\r\n", TStation::Workstation, "\"Mastr\""},
        {"padded", key + "\"Station\"=\" Master\"\r\n", TStation::Workstation, "\" Master\""},
        {"not text", key + "\"Station\"=dword:00000001\r\n", TStation::Workstation, "not text"},
        {"the timing value is not the station", key + "\"Master\"=\"b4h78m1e0sb4\"\r\n",
         TStation::Workstation, nullptr},
        {"32-bit view chosen by HeadProgram",
         key + "\"Station\"=\"Client\"\r\n\r\n" + WowKey +
             "\"HeadProgram\"=\"x\"\r\n\"Station\"=\"Master\"\r\n",
         TStation::Master, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(store.c_str());
        if (!c.store.empty())
            WriteStore(c.store);
        UnicodeString note;
        EXPECT_EQ(StationOfMachine(&note), c.station);
        if (c.noteHas)
            EXPECT_NE(UnicodeToUtf8(note).find(c.noteHas), std::string::npos) << UnicodeToUtf8(note);
        else
            EXPECT_TRUE(note.empty()) << UnicodeToUtf8(note);
    }
    EXPECT_EQ(AgentFileName(TStation::Master), u"master");
    EXPECT_EQ(AgentFileName(TStation::Workstation), u"client");
}
