#include <corekit/corekit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::string commandOutput(const char *cmd)
{
    std::string out;
    if (FILE *p = popen(cmd, "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

} // namespace

TEST(SystemFacts, CoresAreTheOnlineProcessorsCappedAtThirtyTwo)
{
    const std::string nproc = commandOutput("nproc --all 2>/dev/null");
    ASSERT_FALSE(nproc.empty());
    const int online = std::stoi(commandOutput("getconf _NPROCESSORS_ONLN"));
    EXPECT_EQ(SI_GetNumOfCores32(), std::clamp(online, 1, 32));
    EXPECT_LE(SI_GetNumOfCores32(), 32);
}

TEST(SystemFacts, VolumeSerialIsTheLowHalfOfTheRootFileSystemId)
{
    // stat prints the two 32-bit halves of the id, the low one first.
    const std::string id = commandOutput("stat -f -c %i / 2>/dev/null");
    if (id.size() != 16)
        GTEST_SKIP() << "stat -f gives no file-system id here: '" << id << "'";
    const uint32_t expected = uint32_t(std::stoul(id.substr(0, 8), nullptr, 16));
    EXPECT_EQ(SI_GetVolumeSN(), expected);
    EXPECT_EQ(SI_GetVolumeSN(), SI_GetVolumeSN());
}
