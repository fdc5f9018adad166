// The launcher's decisions in-process: which agent the registry names for this machine, and
// that nothing is started while an agent holds the handle block.

#include "launcher.h"

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/strtable.h>
#include <testsupport/tempdir.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const char RegHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
const char NativeKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n";
const char WowKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Ardentis\\Korvel]\r\n";

// Each test gets its own store and session word, so no agent of this machine is ever seen.
class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        store = (dir.path() / "korvel.reg").string();
        setenv("KORVEL_REGISTRY", store.c_str(), 1);
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        setenv("KORVEL_SESSION", ("ln" + std::to_string(getpid()) + info->name()).c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KORVEL_REGISTRY");
        unsetenv("KORVEL_SESSION");
    }
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

TEST_F(Launcher, StartsNothingWhileAnAgentHoldsTheBlock)
{
    // A folder whose agent would leave a mark if it were started.
    const std::string mark = (dir.path() / "started").string();
    const std::string client = (dir.path() / "client").string();
    std::ofstream(client) << "#!/bin/sh\ntouch '" << mark << "'\n";
    ASSERT_EQ(::chmod(client.c_str(), 0755), 0);

    MHandle block = CreateHandleBlock(1234);
    ASSERT_TRUE(block.Active());
    try {
        LaunchAgent(Utf8ToUnicode(dir.path().string()));
        ADD_FAILURE() << "no error while the block is held";
    } catch (const cmn_err &e) {
        EXPECT_EQ(e.id(), IDS_ALREADY_RUNNING);
        EXPECT_EQ(e.text(), u"Korvel is already running.");
    }
    block.Close();

    // Without a folder of its own the launcher starts nothing from the search path.
    EXPECT_THROW(LaunchAgent(UnicodeString()), ELaunchFailed);
    EXPECT_EQ(ELaunchFailed().text(), u"OS reports Korvel launch error.");
    EXPECT_FALSE(std::filesystem::exists(mark));
}
