#include <corekit/corekit.h>

#include "registry_text.h"

#include <gtest/gtest.h>
#include <testsupport/tempdir.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace korvel::reg;
using korvel::reg::detail::parse;
using korvel::reg::detail::serialize;
using korvel::reg::detail::Store;

namespace korvel::reg {
void PrintTo(const Result &r, std::ostream *os)
{
    *os << "status " << int(r.status) << " (" << r.message << ")";
}
} // namespace korvel::reg

namespace {

std::string readBytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeBytes(const fs::path &p, const std::string &bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Each test gets its own store in a fresh folder.
class Registry : public ::testing::Test {
protected:
    void SetUp() override { setenv("KORVEL_REGISTRY", store_.c_str(), 1); }
    void TearDown() override { unsetenv("KORVEL_REGISTRY"); }
    void makeKey(const char *key, bool wow = false)
    {
        ASSERT_EQ(createKey(machineSoftwarePath(U(key), wow)), Status::Ok);
    }

    // A memory-backed folder where there is one: a thousand flushes to a disc take minutes.
    testsupport::TempDir tmp_{"korvel-reg", fs::is_directory("/dev/shm") ? fs::path("/dev/shm")
                                                                         : fs::temp_directory_path()};
    fs::path dir_ = tmp_.path();
    fs::path store_ = dir_ / "registry.reg";
};

int waitExitCode(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// ---- the text form -------------------------------------------------------------------------

TEST(RegistryText, RoundTripsEveryKindOfValue)
{
    Store s;
    s.keys.push_back({u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel", {}, {}});
    s.keys.push_back({u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", {}, {u"; kept"}});
    auto &vals = s.keys[0].values;
    vals.push_back(Value::string(u"Path", u"C:\\Program Files\\\"Korvel\""));
    vals.push_back(Value::string(u"", u"default"));
    vals.push_back(Value::string(u"Имя", u"Привет, мир"));
    vals.push_back(Value::string(u"Lines", u"one\ntwo\r\n"));
    vals.push_back(Value::string(u"Lone", UnicodeString(1, char16_t(0xD800))));
    vals.push_back(Value::string(u"Exp", u"%HOME%/x", RegExpandSz));
    vals.push_back(Value::dword(u"Count", 0xDEADBEEF));
    std::vector<uint8_t> big(300);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    vals.push_back(Value::binary(u"Blob", big.data(), big.size()));
    vals.push_back(Value::binary(u"Empty", nullptr, 0));

    const std::string text = serialize(s);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("\"Path\"=\"C:\\\\Program Files\\\\\\\"Korvel\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"Count\"=dword:deadbeef\n"), std::string::npos);
    EXPECT_NE(text.find("\"Lines\"=hex(1):"), std::string::npos) << "newlines cannot sit between quotes";
    EXPECT_NE(text.find("\"Exp\"=hex(2):"), std::string::npos);
    for (const auto &line : {std::string("\"Blob\"=hex:")}) {
        const auto at = text.find(line);
        ASSERT_NE(at, std::string::npos);
        const auto eol = text.find('\n', at);
        EXPECT_LE(eol - at, 80u) << "long binary data wraps";
    }

    Store back;
    ASSERT_TRUE(parse(text, back)) << text;
    ASSERT_EQ(back.keys.size(), 2u);
    ASSERT_EQ(back.keys[0].values.size(), vals.size());
    for (std::size_t i = 0; i < vals.size(); ++i) {
        EXPECT_EQ(back.keys[0].values[i].name, vals[i].name) << i;
        EXPECT_EQ(back.keys[0].values[i].type, vals[i].type) << i;
        EXPECT_EQ(back.keys[0].values[i].data, vals[i].data) << i;
    }
    EXPECT_EQ(back.keys[1].comments, std::vector<UnicodeString>{u"; kept"});
    EXPECT_EQ(serialize(back), text);
}

TEST(RegistryText, ReadsTheSystemEditorsExportsAndMergesSections)
{
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"X\"=\"1\"\r\n"
        u"\"B\"=hex:01,02,\\\r\n  03\r\n\r\n[hkey_local_machine\\software\\a]\r\n\"x\"=\"2\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : text) {
        utf16 += char(c & 0xFF);
        utf16 += char(c >> 8);
    }
    Store s;
    ASSERT_TRUE(parse(utf16, s));
    ASSERT_EQ(s.keys.size(), 1u);
    ASSERT_EQ(s.keys[0].values.size(), 2u);
    EXPECT_EQ(s.keys[0].values[0].name, u"X") << "the first spelling of a name stays";
    EXPECT_EQ(s.keys[0].values[0].text(), UnicodeString(u"2"));
    EXPECT_EQ(s.keys[0].values[1].data, (std::vector<uint8_t>{1, 2, 3}));

    ASSERT_TRUE(parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[K]\n@=\"\"\n", s));
}

TEST(RegistryText, RejectsDamagedText)
{
    const std::string head = "Windows Registry Editor Version 5.00\n";
    Store s;
    EXPECT_FALSE(parse("", s));
    EXPECT_FALSE(parse("REGEDIT4\n[K]\n", s));
    EXPECT_FALSE(parse("[K]\n\"a\"=\"b\"\n", s)) << "no header line";
    const char *bad[] = {
        "\"a\"=\"b\"\n",         // a value before any key
        "[K]\n\"a\"=\"b\n",      // unterminated
        "[K]\n\"a\"=\"b\\n\"\n", // unknown escape
        "[K]\n\"a\"=\"b\" x\n",
        "[K]\n\"a\"=hex:1,02\n",
        "[K]\n\"a\"=hex:01,,02\n",
        "[K]\n\"a\"=dword:123456789\n",
        "[K]\n\"a\"=-\n",
        "[-K]\n",
        "[K\n",
        "[K]\ngarbage\n",
        "[K]\n\"a\"=\"\xC3\x28\"\n", // invalid UTF-8
    };
    for (std::size_t i = 0; i < std::size(bad); ++i)
        EXPECT_FALSE(parse(head + bad[i], s)) << bad[i];
}

TEST(RegistryText, KeepsAStrayCarriageReturnOfACommentAndTakesTimeInProportion)
{
    const std::string lf =
        "Windows Registry Editor Version 5.00\n\n; before\r\n\n[K]\n; note\r\n\"a\"=\"b\"\n\n";
    Store s;
    ASSERT_TRUE(parse(lf, s));
    EXPECT_EQ(serialize(s), lf) << "written back unchanged";
    const std::string crlf = "Windows Registry Editor Version 5.00\r\n\r\n[K]\r\n; note\r\r\n\"a\"=\"b\"\r\n";
    ASSERT_TRUE(parse(crlf, s));
    EXPECT_EQ(s.keys[0].comments, std::vector<UnicodeString>{u"; note\r"});

    // 20,000 keys: a search through the keys for each of them took minutes.
    std::string big = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < 20000; ++i)
        big += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\K" + std::to_string(i) + "]\n\"V\"=\"" + std::to_string(i) +
               "\"\n";
    big += "[hkey_local_machine\\software\\a\\k7]\n\"v\"=\"again\"\n";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(parse(big, s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_EQ(s.keys.size(), 20000u) << "the same key twice is one key";
    EXPECT_EQ(s.keys[7].values[0].text(), UnicodeString(u"again"));

    // A key path 100,000 levels deep is refused at once, without building it up.
    std::string deep = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 100000; ++i)
        deep += "\\K";
    deep += "]\n";
    std::string why;
    EXPECT_FALSE(parse(deep, s, &why));
    EXPECT_NE(why.find("deeper than 512 levels"), std::string::npos) << why;
}

// ---- string values -------------------------------------------------------------------------

TEST_F(Registry, MissingStoreKeyOrValueReadsEmpty)
{
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Port", false), u"");
    makeKey("Ardentis\\Korvel");
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Port", false), u"");
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Other", u"Port", false), u"");
}

TEST_F(Registry, WritesNeverCreateKeys)
{
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Port", u"52100", false));
    EXPECT_FALSE(fs::exists(store_)) << "a missing store stays missing";

    makeKey("Ardentis\\Korvel");
    const std::string before = readBytes(store_);
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel\\Sub", u"Port", u"1", false));
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Port", u"1", true)) << "the other view has no key";
    EXPECT_EQ(readBytes(store_), before);
}

TEST_F(Registry, WritesAndReadsBackWithoutRegardToCase)
{
    makeKey("Ardentis\\Korvel");
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"host\\\"x\"", false));
    EXPECT_TRUE(RG_SetRegString(u"ARDENTIS\\korvel", u"Address", u"Привет", false));
    EXPECT_EQ(RG_GetRegString(u"ardentis\\KORVEL", u"MASTER", false), u"host\\\"x\"");
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"address", false), u"Привет");

    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"MASTER", u"other", false));
    KeyListing l;
    ASSERT_EQ(listKey(machineSoftwarePath(u"Ardentis\\Korvel", false), l), Status::Ok);
    ASSERT_EQ(l.values.size(), 2u);
    EXPECT_EQ(l.values[0].name, u"Master") << "replacing keeps the stored spelling";
    EXPECT_EQ(l.values[0].text(), UnicodeString(u"other"));

    const std::string text = readBytes(store_);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Address\"=\"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\"\n"),
              std::string::npos);
}

TEST_F(Registry, TheWowViewIsItsOwnKey)
{
    makeKey("Vendor\\App", true);
    EXPECT_TRUE(RG_SetRegString(u"Vendor\\App", u"Port", u"32", true));
    EXPECT_FALSE(RG_SetRegString(u"Vendor\\App", u"Port", u"64", false));
    makeKey("Vendor\\App", false);
    EXPECT_TRUE(RG_SetRegString(u"Vendor\\App", u"Port", u"64", false));
    EXPECT_EQ(RG_GetRegString(u"Vendor\\App", u"Port", true), u"32");
    EXPECT_EQ(RG_GetRegString(u"Vendor\\App", u"Port", false), u"64");
    EXPECT_NE(readBytes(store_).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor\\App]"),
              std::string::npos);
}

TEST_F(Registry, AKeyAboveAnExistingKeyExists)
{
    makeKey("Vendor\\App\\Deep");
    EXPECT_TRUE(RG_SetRegString(u"Vendor", u"Top", u"t", false));
    EXPECT_EQ(RG_GetRegString(u"Vendor", u"Top", false), u"t");
    EXPECT_FALSE(RG_SetRegString(u"Vend", u"Top", u"t", false)) << "a name prefix is not a parent";
}

TEST_F(Registry, AValueOfAnotherTypeRaises)
{
    makeKey("Vendor\\App");
    const uint8_t bytes[] = {1, 2};
    ASSERT_EQ(setValue(machineSoftwarePath(u"Vendor\\App", false), Value::binary(u"Bin", bytes, 2), false),
              Status::Ok);
    EXPECT_THROW(RG_GetRegString(u"Vendor\\App", u"Bin", false), ERegistryException);
    // Writing a string replaces a value of another type, as the registry does.
    EXPECT_TRUE(RG_SetRegString(u"Vendor\\App", u"Bin", u"now text", false));
    EXPECT_EQ(RG_GetRegString(u"Vendor\\App", u"Bin", false), u"now text");
}

// ---- binary values -------------------------------------------------------------------------

TEST_F(Registry, BinaryValuesAreFoundWhereTheyWereWritten)
{
    const uint8_t data[] = {0, 1, 2, 0xFF, 0x80};
    uint8_t buf[16] = {};
    EXPECT_FALSE(RG_SetRegBin(u"Vendor\\Blob", data, 5, false));
    EXPECT_EQ(RG_GetRegBin(u"Vendor\\Blob", buf, sizeof buf, false), 0);

    makeKey("Vendor\\Blob");
    EXPECT_EQ(RG_GetRegBin(u"Vendor\\Blob", buf, sizeof buf, false), 0);
    EXPECT_TRUE(RG_SetRegBin(u"Vendor\\Blob", data, 5, false));
    EXPECT_EQ(RG_GetRegBin(u"vendor\\blob", buf, sizeof buf, false), 5);
    EXPECT_EQ(std::memcmp(buf, data, 5), 0);
    EXPECT_EQ(RG_GetRegBin(u"Vendor\\Blob", buf, sizeof buf, true), 0);

    EXPECT_THROW(RG_GetRegBin(u"Vendor\\Blob", buf, 4, false), ERegistryException) << "buffer too small";
    EXPECT_TRUE(RG_SetRegBin(u"Vendor\\Blob", nullptr, 0, false));
    EXPECT_EQ(RG_GetRegBin(u"Vendor\\Blob", buf, 0, false), 0);
    EXPECT_FALSE(RG_SetRegBin(u"Vendor\\Blob", data, -1, false));

    ASSERT_TRUE(RG_SetRegString(u"Vendor\\Blob", u"Vendor\\Blob", u"text", false));
    EXPECT_THROW(RG_GetRegBin(u"Vendor\\Blob", buf, sizeof buf, false), ERegistryException);
}

// ---- the administrator's operations --------------------------------------------------------

TEST_F(Registry, KeysAreListedAndDeletedWithTheirSubkeys)
{
    const UnicodeString base = machineSoftwarePath(u"Vendor", false);
    makeKey("Vendor\\A\\Deep");
    makeKey("Vendor\\b");
    makeKey("VENDOR\\a");
    makeKey("Vendorx");
    ASSERT_EQ(setValue(base, Value::string(u"V", u"1"), false), Status::Ok);

    KeyListing l;
    ASSERT_EQ(listKey(base, l), Status::Ok);
    EXPECT_EQ(l.subkeys, (std::vector<UnicodeString>{u"A", u"b"}));
    ASSERT_EQ(l.values.size(), 1u);
    EXPECT_EQ(listKey(base + u"\\Nope", l), Status::NotFound);

    EXPECT_EQ(deleteValue(base, u"v"), Status::Ok);
    EXPECT_EQ(deleteValue(base, u"v"), Status::NotFound);
    EXPECT_EQ(deleteKey(base + u"\\a"), Status::Ok);
    EXPECT_EQ(keyExists(base + u"\\A\\Deep"), Status::NotFound);
    EXPECT_EQ(keyExists(base + u"\\b"), Status::Ok);
    EXPECT_EQ(keyExists(machineSoftwarePath(u"Vendorx", false)), Status::Ok);
    EXPECT_EQ(deleteKey(base + u"\\a"), Status::NotFound);
    EXPECT_EQ(createKey(base + u"\\b\\"), Status::Ok);
    ASSERT_EQ(listKey(base, l), Status::Ok);
    EXPECT_EQ(l.subkeys, std::vector<UnicodeString>{u"b"});
}

// ---- damage, concurrency and crashes -------------------------------------------------------

TEST_F(Registry, ADamagedStoreReadsEmptyAndIsNeverWrittenOver)
{
    makeKey("Ardentis\\Korvel");
    ASSERT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"1", false));
    std::string text = readBytes(store_);
    text += "this line is not part of the format\n";
    writeBytes(store_, text);

    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"");
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"2", false));
    EXPECT_EQ(createKey(machineSoftwarePath(u"New", false)), Status::Damaged);
    EXPECT_EQ(deleteKey(machineSoftwarePath(u"Ardentis", false)), Status::Damaged);
    EXPECT_EQ(setValue(machineSoftwarePath(u"X", false), Value::string(u"a", u"b"), true), Status::Damaged);
    EXPECT_EQ(readBytes(store_), text);

    // Truncated in the middle of a quoted value: the same.
    writeBytes(store_, text.substr(0, text.find("\"1\"") + 2));
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"");
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"2", false));
}

TEST_F(Registry, AWriteTheSystemRefusesRaisesAndKeepsTheOldStore)
{
    makeKey("Ardentis\\Korvel");
    ASSERT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"1", false));
    const std::string before = readBytes(store_);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A file-size limit makes the write of the new store fail half-way.
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{before.size() + 16, before.size() + 16};
        setrlimit(RLIMIT_FSIZE, &lim);
        try {
            RG_SetRegString(u"Ardentis\\Korvel", u"Big", UnicodeString(4096, u'x'), false);
        } catch (const ERegistryException &) {
            _exit(7);
        }
        _exit(0);
    }
    EXPECT_EQ(waitExitCode(pid), 7);
    EXPECT_EQ(readBytes(store_), before);
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"1");
}

TEST_F(Registry, NamesTheFileCannotHoldAreRefusedAndTheStoreStaysReadable)
{
    makeKey("Ardentis\\Korvel");
    ASSERT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"1", false));
    const std::string before = readBytes(store_);

    EXPECT_THROW(RG_SetRegString(u"Ardentis\\Korvel", u"two\nlines", u"2", false), ERegistryException);
    const Result r =
        setValue(machineSoftwarePath(u"Ardentis\\Korvel", false), Value::string(u"a\rb", u"x"), false);
    EXPECT_EQ(r, Status::BadName);
    EXPECT_NE(r.message.find("control character"), std::string::npos) << r.message;
    EXPECT_EQ(createKey(machineSoftwarePath(u"Ardentis\\Line\nBreak", false)), Status::BadName);
    EXPECT_EQ(setValue(machineSoftwarePath(u"New\nKey", false), Value::string(u"a", u"x"), true),
              Status::BadName);
    EXPECT_FALSE(RG_SetRegString(u"Ardentis\\Missing", u"bad\nname", u"2", false))
        << "a missing key comes first";
    // The registry's own limits: 512 levels, 255 characters a level, 16,383 a value name.
    UnicodeString deep = u"Ardentis";
    for (int i = 0; i < 600; ++i)
        deep += u"\\K";
    EXPECT_EQ(createKey(machineSoftwarePath(deep, false)), Status::BadName);
    EXPECT_EQ(createKey(machineSoftwarePath(UnicodeString(256, u'n'), false)), Status::BadName);
    EXPECT_THROW(RG_SetRegString(u"Ardentis\\Korvel", UnicodeString(16384, u'v'), u"2", false),
                 ERegistryException);
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", UnicodeString(16383, u'v'), u"2", false));
    ASSERT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", UnicodeString(16383, u'v'), u"1", false));
    ASSERT_EQ(deleteValue(machineSoftwarePath(u"Ardentis\\Korvel", false), UnicodeString(16383, u'v')),
              Status::Ok);

    EXPECT_EQ(readBytes(store_), before);
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"1");
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"Master", u"line\none", false))
        << "values may hold anything";
    EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel", u"Master", false), u"line\none");
}

TEST_F(Registry, TwoWritingProcessesLoseNothing)
{
    makeKey("Ardentis\\Korvel");
    constexpr int kEach = 1000;
    pid_t pids[2];
    for (int w = 0; w < 2; ++w) {
        pids[w] = fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                const UnicodeString name = U("w" + std::to_string(w) + "_" + std::to_string(i));
                if (!RG_SetRegString(u"Ardentis\\Korvel", name, IntToStr(i), false))
                    ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t p : pids)
        EXPECT_EQ(waitExitCode(p), 0);

    KeyListing l;
    ASSERT_EQ(listKey(machineSoftwarePath(u"Ardentis\\Korvel", false), l), Status::Ok);
    EXPECT_EQ(l.values.size(), std::size_t(2 * kEach));
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < kEach; i += 97)
            EXPECT_EQ(RG_GetRegString(u"Ardentis\\Korvel",
                                      U("w" + std::to_string(w) + "_" + std::to_string(i)), false),
                      IntToStr(i));
}

TEST_F(Registry, AKilledWriterLeavesTheOldOrTheNewStore)
{
    makeKey("Ardentis\\Korvel");
    std::mt19937 rng(12345);
    int lastCount = 0;
    for (int round = 0; round < 25; ++round) {
        int started[2];
        ASSERT_EQ(pipe(started), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(started[0]);
            // Each write adds the next numbered value, so any whole store holds 0..n-1. The
            // first one done is told, so that every round kills a writer that has written.
            for (int i = lastCount;; ++i) {
                RG_SetRegString(u"Ardentis\\Korvel", U("v" + std::to_string(i)), UnicodeString(200, u'z'),
                                false);
                if (i == lastCount) {
                    const char one = 1;
                    (void)!write(started[1], &one, 1);
                    close(started[1]);
                }
            }
        }
        close(started[1]);
        char one = 0;
        const bool wrote = read(started[0], &one, 1) == 1;
        close(started[0]);
        // Killed at a moment of its later writes that differs from round to round.
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng)));
        kill(pid, SIGKILL);
        waitExitCode(pid);
        ASSERT_TRUE(wrote) << "round " << round;

        Store s;
        ASSERT_TRUE(parse(readBytes(store_), s)) << "round " << round;
        ASSERT_EQ(s.keys.size(), 1u);
        const auto &vals = s.keys[0].values;
        ASSERT_GT(int(vals.size()), lastCount) << "round " << round;
        for (std::size_t i = 0; i < vals.size(); ++i)
            ASSERT_EQ(vals[i].name, U("v" + std::to_string(i))) << "round " << round;
        lastCount = int(vals.size());
    }
    EXPECT_GT(lastCount, 0);
    // The store is still writable after the killed writers.
    EXPECT_TRUE(RG_SetRegString(u"Ardentis\\Korvel", u"after", u"1", false));
}
