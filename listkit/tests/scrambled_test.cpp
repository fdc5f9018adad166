#include <listkit/listkit.h>

#include <gtest/gtest.h>
#include <testsupport/tempdir.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

namespace fs = std::filesystem;
using List = std::vector<UnicodeString>;
using Codes = std::vector<short>;

// Records the largest single allocation, so a test can tell whether a damaged count made the
// loader reserve the memory it promises. The replacement pairs malloc with free throughout,
// which the compiler cannot see once it inlines the operators.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::size_t> largestAllocation{0};
}

void *operator new(std::size_t size)
{
    std::size_t seen = largestAllocation.load();
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

int offsetOf(int key)
{
    return (key * key) % 16384;
}

class ScrambledFiles : public ::testing::Test {
protected:
    UnicodeString path(const char *name) const { return Utf8ToUnicode((m_dir / name).string()); }
    void writeBytes(const char *name, const std::string &bytes) const
    {
        std::ofstream(m_dir / name, std::ios::binary) << bytes;
    }
    std::string readBytes(const char *name) const
    {
        std::ifstream in(m_dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    testsupport::TempDir m_tmp{"korvel-scrambled"};
    fs::path m_dir = m_tmp.path();
};

std::string le32(std::uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

std::string le16(std::uint16_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

} // namespace

TEST(Scrambling, EachCharacterIsTenTimesItsCodePlusTheKeyOffset)
{
    Codes codes{1, 2, 3};
    Sv_Encrypt(u"A", codes, 100);
    EXPECT_EQ(codes, Codes{static_cast<short>(650 + offsetOf(100))});
    Sv_Encrypt(u"AB", codes, 7);
    EXPECT_EQ(codes, (Codes{650 + 49, 660 + 49}));
    Sv_Encrypt(u"", codes, 7);
    EXPECT_TRUE(codes.empty());
}

TEST(Scrambling, OffsetKeepsTheLowFourteenBitsOfTheSquare)
{
    Codes codes;
    // 200 * 200 = 40000, whose low 14 bits are 7232.
    Sv_Encrypt(UnicodeString(1, u'\0'), codes, 200);
    EXPECT_EQ(codes, Codes{7232});
    // 32768 squared is a multiple of 16384.
    Sv_Encrypt(UnicodeString(1, u'\0'), codes, -32768);
    EXPECT_EQ(codes, Codes{0});
    // A key and its negation give the same codes.
    Codes negated;
    Sv_Encrypt(u"key", codes, 1234);
    Sv_Encrypt(u"key", negated, -1234);
    EXPECT_EQ(codes, negated);
}

TEST(Scrambling, RoundTripsEveryCharacterUpToU0666WithAnyKey)
{
    UnicodeString text;
    for (char16_t c = 0; c <= 0x666; ++c)
        text.push_back(c);
    for (int key : {0, 1, -1, 127, 4096, 12345, -32768, 32767}) {
        Codes codes;
        Sv_Encrypt(text, codes, static_cast<short>(key));
        ASSERT_EQ(codes.size(), text.size());
        UnicodeString back = u"stale";
        Sv_Decrypt(back, codes, static_cast<short>(key));
        EXPECT_EQ(back, text) << key;
        Sv_Decrypt(back, codes, static_cast<short>(-key));
        EXPECT_EQ(back, text) << -key;
    }
}

TEST(Scrambling, HigherCharactersWrapAsStored)
{
    // 10 * 0x1000 wraps to -24576 in 16 bits, which unscrambles to -2457, stored as 0xF667.
    Codes codes;
    Sv_Encrypt(u"\u1000", codes, 0);
    EXPECT_EQ(codes, Codes{-24576});
    UnicodeString back;
    Sv_Decrypt(back, codes, 0);
    EXPECT_EQ(back, u"\uF667");
}

TEST(Scrambling, AWrongKeyIsNotDetected)
{
    Codes codes;
    Sv_Encrypt(u"secret", codes, 11);
    UnicodeString back;
    Sv_Decrypt(back, codes, 12);
    EXPECT_EQ(back.size(), 6u);
    EXPECT_NE(back, u"secret");
}

TEST_F(ScrambledFiles, LayoutIsACountAndLittleEndianCodes)
{
    ASSERT_TRUE(Sv_SaveEncrypted(u"abc", 5, path("abc.bin")));
    const int k = offsetOf(5);
    EXPECT_EQ(readBytes("abc.bin"), le32(3) + le16(970 + k) + le16(980 + k) + le16(990 + k));
    UnicodeString text;
    EXPECT_TRUE(Sv_LoadEncrypted(text, 5, path("abc.bin")));
    EXPECT_EQ(text, u"abc");
    EXPECT_TRUE(Sv_LoadEncrypted(text, -5, path("abc.bin")));
    EXPECT_EQ(text, u"abc");
}

TEST_F(ScrambledFiles, EmptyTextIsFourZeroBytes)
{
    ASSERT_TRUE(Sv_SaveEncrypted(UnicodeString(), 99, path("e.bin")));
    EXPECT_EQ(readBytes("e.bin"), std::string(4, '\0'));
    UnicodeString text = u"stale";
    EXPECT_TRUE(Sv_LoadEncrypted(text, 99, path("e.bin")));
    EXPECT_EQ(text, u"");
}

TEST_F(ScrambledFiles, CyrillicAndLongTextsRoundTrip)
{
    UnicodeString text;
    for (int i = 0; i < 100000; ++i)
        text.push_back(static_cast<char16_t>(u'\u0410' + i % 64));
    ASSERT_TRUE(Sv_SaveEncrypted(text, -777, path("long.bin")));
    EXPECT_EQ(fs::file_size(m_dir / "long.bin"), 4u + 2u * text.size());
    UnicodeString back;
    EXPECT_TRUE(Sv_LoadEncrypted(back, -777, path("long.bin")));
    EXPECT_EQ(back, text);
}

TEST_F(ScrambledFiles, BytesAfterTheCodesAreIgnored)
{
    writeBytes("x.bin", le32(1) + le16(650) + "trailing");
    UnicodeString text;
    EXPECT_TRUE(Sv_LoadEncrypted(text, 0, path("x.bin")));
    EXPECT_EQ(text, u"A");
}

TEST_F(ScrambledFiles, DamagedFilesFailAndLeaveTheTextAlone)
{
    writeBytes("empty.bin", "");
    writeBytes("short.bin", "\x01\x00");
    writeBytes("trunc.bin", le32(3) + le16(650) + le16(660));
    writeBytes("odd.bin", le32(2) + le16(650) + "x");
    writeBytes("count.bin", le32(1000) + le16(650));
    writeBytes("huge.bin", le32(4000000000u) + le16(650) + le16(660));
    writeBytes("max.bin", le32(0xFFFFFFFFu));
    for (const char *name : {"empty.bin", "short.bin", "trunc.bin", "odd.bin", "count.bin", "huge.bin",
                             "max.bin", "missing.bin"}) {
        UnicodeString text = u"keep";
        largestAllocation = 0;
        EXPECT_FALSE(Sv_LoadEncrypted(text, 0, path(name))) << name;
        EXPECT_EQ(text, u"keep") << name;
        EXPECT_LT(largestAllocation.load(), 1u << 20) << name;
    }
    // A folder opens for reading on Linux but reads nothing.
    UnicodeString text = u"keep";
    EXPECT_FALSE(Sv_LoadEncrypted(text, 0, Utf8ToUnicode(m_dir.string())));
    EXPECT_EQ(text, u"keep");
}

TEST_F(ScrambledFiles, SavesThatCannotCompleteFail)
{
    EXPECT_FALSE(Sv_SaveEncrypted(u"abc", 1, path("no/such/dir.bin")));
    EXPECT_FALSE(Sv_SaveEncrypted(List{u"abc"}, 1, path("no/such/dir.bin")));
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(Sv_SaveEncrypted(u"abc", 1, u"/dev/full"));
    }
}

TEST_F(ScrambledFiles, ListsAreJoinedByLineFeeds)
{
    ASSERT_TRUE(Sv_SaveEncrypted(List{u"one", u"", u"two"}, 3, path("l.bin")));
    UnicodeString text;
    ASSERT_TRUE(Sv_LoadEncrypted(text, 3, path("l.bin")));
    EXPECT_EQ(text, u"one\n\ntwo");
    List list{u"stale"};
    EXPECT_TRUE(Sv_LoadEncrypted(list, 3, path("l.bin")));
    EXPECT_EQ(list, (List{u"one", u"two"}));
}

TEST_F(ScrambledFiles, EmptyListsAreNotSaved)
{
    EXPECT_FALSE(Sv_SaveEncrypted(List{}, 3, path("none.bin")));
    EXPECT_FALSE(fs::exists(m_dir / "none.bin"));
    // A list of empty strings saves, and loads as an empty list.
    ASSERT_TRUE(Sv_SaveEncrypted(List{u"", u""}, 3, path("blank.bin")));
    List list{u"stale"};
    EXPECT_TRUE(Sv_LoadEncrypted(list, 3, path("blank.bin")));
    EXPECT_TRUE(list.empty());
}

TEST_F(ScrambledFiles, FailedListLoadsLeaveTheListAlone)
{
    writeBytes("trunc.bin", le32(5) + le16(650));
    List list{u"keep"};
    EXPECT_FALSE(Sv_LoadEncrypted(list, 0, path("trunc.bin")));
    EXPECT_FALSE(Sv_LoadEncrypted(list, 0, path("missing.bin")));
    EXPECT_EQ(list, List{u"keep"});
}
