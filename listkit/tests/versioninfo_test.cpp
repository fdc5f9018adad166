#include <listkit/listkit.h>

#include "pe_images.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

#include <sys/mman.h>
#include <unistd.h>

using testfs::TempFolder;
using testfs::u16;
using testpe::Bytes;

namespace {

using Strings = std::vector<std::pair<std::u16string, std::u16string>>;

const Strings kFull = {
    {u"CompanyName", u"Ardentis"},
    {u"FileDescription", u"Test module"},
    {u"FileVersion", u"1.2.3.4"},
    {u"InternalName", u"tmod"},
    {u"LegalCopyright", u"Copyright (C) 2026"},
    {u"LegalTrademarks", u"TM"},
    {u"OriginalFilename", u"tmod.exe"},
    {u"ProductName", u"Korvel"},
    {u"ProductVersion", u"1.2"},
    {u"Comments", u"Программа"},
};

const std::vector<UnicodeString> kFullValues = {
    u"Ardentis", u"Test module", u"1.2.3.4", u"tmod", u"Copyright (C) 2026",
    u"TM",       u"tmod.exe",    u"Korvel",  u"1.2",  u"Программа"};

struct Result {
    bool ok;
    std::vector<UnicodeString> list;
};

Result readInfo(const std::filesystem::path &p)
{
    // A list that holds something already, so that emptying it is seen.
    Result r{false, {u"stale"}};
    r.ok = F_GetVersionInfo(u16(p), r.list);
    return r;
}

// Reads an image held in memory through its /proc path: the damage tests read thousands of
// images, far faster than through files on disc.
Result readBytes(const TempFolder &, const Bytes &bytes, const std::string &name = "image.exe")
{
    const int fd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "memfd_create/write failed";
        return {false, {}};
    }
    const Result r = readInfo("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return r;
}

std::vector<unsigned char> fileBytes(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// ---- reading Windows executables ----------------------------------------------------------------

TEST(VersionInfoPe, ReadsAllTenValuesInOrderFromPe32AndPe32Plus)
{
    TempFolder dir;
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        const auto r = readBytes(dir, testpe::peImage(testpe::standardBlock(kFull), plus).bytes);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.list, kFullValues);
    }
}

TEST(VersionInfoPe, MissingKeysGiveEmptyEntriesInTheirPlaces)
{
    TempFolder dir;
    const auto r = readBytes(
        dir,
        testpe::peImage(testpe::standardBlock({{u"ProductName", u"Korvel"}, {u"FileVersion", u"7.0"}}), false)
            .bytes);
    EXPECT_TRUE(r.ok);
    const std::vector<UnicodeString> want = {u"", u"", u"7.0", u"", u"", u"", u"", u"Korvel", u"", u""};
    EXPECT_EQ(r.list, want);
}

TEST(VersionInfoPe, KeysAndTableNamesMatchRegardlessOfCase)
{
    TempFolder dir;
    const auto r = readBytes(
        dir, testpe::peImage(testpe::standardBlock(
                                 {{u"LEGALTRADEMARKS", u"tm"}, {u"originalfilename", u"o.exe"}}, u"040904b0"),
                             true)
                 .bytes);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.list.size(), 10u);
    EXPECT_EQ(r.list[5], u"tm");
    EXPECT_EQ(r.list[6], u"o.exe");
}

TEST(VersionInfoPe, OnlyTheFirstTranslationIsRead)
{
    TempFolder dir;
    testpe::VNode sfi;
    sfi.key = u"StringFileInfo";
    sfi.children.push_back(testpe::table(u"040904B0", {{u"CompanyName", u"English"}}));
    sfi.children.push_back(testpe::table(u"041904E3", {{u"CompanyName", u"Russian"}}));
    const Bytes block =
        testpe::versionBlock({sfi, testpe::translations({{0x0419, 0x04E3}, {0x0409, 0x04B0}})});
    const auto r = readBytes(dir, testpe::peImage(block, false).bytes);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.list.size(), 10u);
    EXPECT_EQ(r.list[0], u"Russian");
}

TEST(VersionInfoPe, TranslationWithoutMatchingTableGivesTenEmptyValues)
{
    TempFolder dir;
    const auto r = readBytes(
        dir, testpe::peImage(testpe::standardBlock(kFull, u"040904B0", 0x0407, 0x04E4), false).bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.list, std::vector<UnicodeString>(10));
}

TEST(VersionInfoPe, NoTranslationMeansNoInformation)
{
    TempFolder dir;
    testpe::VNode sfi;
    sfi.key = u"StringFileInfo";
    sfi.children.push_back(testpe::table(u"040904B0", kFull));

    // No VarFileInfo at all.
    auto r = readBytes(dir, testpe::peImage(testpe::versionBlock({sfi}), false).bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());

    // A translation value of two bytes only.
    testpe::VNode vfi = testpe::translations({});
    vfi.children[0].binValue = {0x09, 0x04};
    r = readBytes(dir, testpe::peImage(testpe::versionBlock({sfi, vfi}), false).bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());
}

TEST(VersionInfoPe, ExecutableWithoutVersionResource)
{
    TempFolder dir;
    // The only resource is an icon.
    auto img = testpe::peImage(testpe::standardBlock(kFull), false, 3);
    auto r = readBytes(dir, img.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());

    // No resource directory at all.
    img = testpe::peImage(testpe::standardBlock(kFull), true);
    testpe::put32(img.bytes, img.resourceDir, 0);
    testpe::put32(img.bytes, img.resourceDir + 4, 0);
    r = readBytes(dir, img.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());
}

TEST(VersionInfoPe, PrefersResourceOneAndSkipsNamedEntries)
{
    TempFolder dir;
    auto img = testpe::peImage(testpe::standardBlock(kFull), false);
    // Give the name directory a second entry: a named one first, pointing at a language
    // directory whose data entry is broken; the reader must take id 1.
    Bytes &b = img.bytes;
    // Move the name directory to the end of the section data so it has room for two entries.
    const std::size_t newDir = b.size();
    b.resize(b.size() + 0x20, 0);
    testpe::put16(b, newDir + 12, 1);                    // one named
    testpe::put16(b, newDir + 14, 1);                    // one id
    testpe::put32(b, newDir + 16, 0x80000000u | 0x7000); // name string far away: never read
    testpe::put32(b, newDir + 20, 0x80000000u | 0x7FF0); // a directory past the end
    testpe::put32(b, newDir + 24, 1);
    testpe::put32(b, newDir + 28, 0x80000000u | 0x30);
    testpe::put32(b, img.typeEntry + 4, 0x80000000u | static_cast<std::uint32_t>(newDir - img.rsrc));
    // Grow .rsrc to cover the moved directory.
    const std::size_t rsrcHeader = img.sections + 40;
    testpe::put32(b, rsrcHeader + 8, static_cast<std::uint32_t>(b.size() - img.rsrc));
    testpe::put32(b, rsrcHeader + 16, static_cast<std::uint32_t>(b.size() - img.rsrc));
    const auto r = readBytes(dir, b);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.list, kFullValues);
}

TEST(VersionInfoPe, FilesThatAreNoExecutables)
{
    TempFolder dir;
    std::vector<UnicodeString> list{u"stale"};
    EXPECT_FALSE(F_GetVersionInfo(dir.mask("missing.exe"), list));
    EXPECT_TRUE(list.empty());
    list = {u"stale"};
    EXPECT_FALSE(F_GetVersionInfo(u16(dir.path()), list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(readInfo(dir.write("empty.exe", "")).ok);
    EXPECT_FALSE(readInfo(dir.write("text.exe", "MZ but nothing else")).ok);
    // A bare version block is no executable either.
    EXPECT_FALSE(readBytes(dir, testpe::standardBlock(kFull)).ok);
}

// ---- damaged executables --------------------------------------------------------------------------

TEST(VersionInfoDamaged, EveryTruncationFailsCleanly)
{
    TempFolder dir;
    const auto img = testpe::peImage(testpe::standardBlock(kFull), false);
    const std::size_t blockEnd = img.block + testpe::standardBlock(kFull).size();
    for (std::size_t cut = 0; cut < img.bytes.size(); cut += (cut < blockEnd + 8 ? 1 : 64)) {
        const Bytes part(img.bytes.begin(), img.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        const auto r = readBytes(dir, part);
        if (cut < blockEnd) {
            EXPECT_FALSE(r.ok) << "cut at " << cut;
            EXPECT_TRUE(r.list.empty()) << "cut at " << cut;
        } else {
            // Only padding is missing: the information is all there.
            EXPECT_TRUE(r.ok) << "cut at " << cut;
        }
    }
}

TEST(VersionInfoDamaged, OffsetsAndSizesPastTheEnd)
{
    TempFolder dir;
    const auto good = testpe::peImage(testpe::standardBlock(kFull), true);
    struct Patch {
        const char *what;
        std::size_t at;
        int width;
        std::uint32_t value;
    };
    const Patch patches[] = {
        {"e_lfanew past the end", 0x3C, 32, 0xFFFFFFF0u},
        {"e_lfanew into the section data", 0x3C, 32, static_cast<std::uint32_t>(good.rsrc)},
        {"section count huge", good.coff + 2, 16, 0xFFFF},
        {"optional header too small for the directories", good.coff + 16, 16, 16},
        {"unknown optional header magic", good.optional, 16, 0x107},
        {"directory count too small", good.optional + 108, 32, 2},
        {"resource RVA in no section", good.resourceDir, 32, 0x90000000u},
        {".rsrc raw data past the end", good.sections + 40 + 20, 32, 0x7FFFFFF0u},
        {".rsrc raw data wraps", good.sections + 40 + 20, 32, 0xFFFFFFFFu},
        {"type entry offset past the end", good.typeEntry + 4, 32, 0x80000000u | 0x7FFFFF00u},
        {"data entry RVA past the end", good.dataEntry, 32, 0xFFFFFF00u},
        {"data size past the end", good.dataEntry + 4, 32, 0x00100000u},
        {"data size wraps", good.dataEntry + 4, 32, 0xFFFFFFFFu},
        {"block length beyond the data", good.block, 16, 0xFFFF},
        {"block length zero", good.block, 16, 0},
        {"block length below a header", good.block, 16, 5},
    };
    for (const Patch &p : patches) {
        SCOPED_TRACE(p.what);
        Bytes b = good.bytes;
        if (p.width == 16)
            testpe::put16(b, p.at, p.value);
        else
            testpe::put32(b, p.at, p.value);
        ASSERT_EQ(b.size(), good.bytes.size());
        const auto r = readBytes(dir, b);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.list.empty());
    }

    // A root key that never ends: the rest of the file is key characters.
    Bytes b = good.bytes;
    for (std::size_t i = good.block + 6; i + 1 < b.size(); i += 2)
        testpe::put16(b, i, 'A');
    EXPECT_FALSE(readBytes(dir, b).ok);
}

TEST(VersionInfoDamaged, HugeEntryCountsAreWalkedOnlyAsFarAsTheFileGoes)
{
    TempFolder dir;
    auto img = testpe::peImage(testpe::standardBlock(kFull), false, 3);
    testpe::put16(img.bytes, img.rsrc + 12, 0xFFFF);
    testpe::put16(img.bytes, img.rsrc + 14, 0xFFFF);
    const auto r = readBytes(dir, img.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());
}

TEST(VersionInfoDamaged, ResourceDirectoriesThatPointBackDoNotLoop)
{
    TempFolder dir;
    auto img = testpe::peImage(testpe::standardBlock(kFull), false);
    // The type entry points at the root directory itself, and so does the name entry.
    Bytes b = img.bytes;
    testpe::put32(b, img.typeEntry - 0, 16);
    testpe::put32(b, img.typeEntry + 4, 0x80000000u);
    auto r = readBytes(dir, b);
    EXPECT_FALSE(r.ok);

    b = img.bytes;
    testpe::put32(b, img.nameEntry + 4, 0x80000000u | 0x18); // name dir -> itself
    r = readBytes(dir, b);
    EXPECT_FALSE(r.ok);

    b = img.bytes;
    testpe::put32(b, img.langEntry + 4, 0x80000000u); // language entry -> root, a directory
    r = readBytes(dir, b);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.list.empty());
}

TEST(VersionInfoDamaged, BrokenNodesInsideTheBlock)
{
    TempFolder dir;
    const Bytes block = testpe::standardBlock(kFull);

    // Locate the first String node ("CompanyName") to damage it.
    const std::u16string needle = u"CompanyName";
    std::size_t keyAt = 0;
    for (std::size_t i = 0; i + needle.size() * 2 <= block.size(); i += 2) {
        bool same = true;
        for (std::size_t k = 0; k < needle.size() && same; ++k)
            same = block[i + 2 * k] == needle[k] && block[i + 2 * k + 1] == 0;
        if (same) {
            keyAt = i;
            break;
        }
    }
    ASSERT_GT(keyAt, 6u);
    const std::size_t node = keyAt - 6;

    // A child of length zero would stop a careless walk from advancing.
    Bytes b = block;
    testpe::put16(b, node, 0);
    auto r = readBytes(dir, testpe::peImage(b, false).bytes);
    EXPECT_FALSE(r.ok); // the table cannot be walked past it; the translation still is found
    EXPECT_EQ(r.list, std::vector<UnicodeString>(10));

    // A child longer than its parent.
    b = block;
    testpe::put16(b, node, 0xFFF0);
    r = readBytes(dir, testpe::peImage(b, false).bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.list.size(), 10u);

    // A text value that claims more than its node holds is kept within the node.
    b = block;
    testpe::put16(b, node + 2, 0x7FFF);
    r = readBytes(dir, testpe::peImage(b, false).bytes);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.list.size(), 10u);
    EXPECT_EQ(r.list[0], u"Ardentis");
    EXPECT_EQ(r.list[1], u"Test module");
}

TEST(VersionInfoDamaged, RandomCorruptionNeverCrashes)
{
    TempFolder dir;
    const auto img = testpe::peImage(testpe::standardBlock(kFull), true);
    std::mt19937 rng(20260101);
    int stillRead = 0;
    for (int round = 0; round < 1500; ++round) {
        Bytes b = img.bytes;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i) {
            // Damage the headers and the resource data, where the offsets live.
            const std::size_t at = rng() % 2 ? rng() % 0x200 : img.rsrc + rng() % (b.size() - img.rsrc);
            b[at] = static_cast<unsigned char>(rng());
        }
        const auto r = readBytes(dir, b);
        EXPECT_TRUE(r.list.empty() || r.list.size() == 10u);
        stillRead += r.ok;
    }
    // Most flips land in padding, so many images still read: the damage was not all fatal.
    EXPECT_GT(stillRead, 0);
}

// ---- our own programs -----------------------------------------------------------------------------

TEST(VersionInfoElf, ReadsTheBlockTheBuildWroteIntoThisProgram)
{
    const auto r = readInfo("/proc/self/exe");
    ASSERT_TRUE(r.ok);
    const std::string v = KORVEL_PROJECT_VERSION;
    const UnicodeString version = Utf8ToUnicode(v);
    ASSERT_EQ(r.list.size(), 10u);
    EXPECT_EQ(r.list[0], u"Ardentis");
    EXPECT_EQ(r.list[1], u"Korvel version reader test");
    EXPECT_EQ(r.list[2].substr(0, version.size()), version);
    EXPECT_EQ(std::count(r.list[2].begin(), r.list[2].end(), u'.'), 3);
    EXPECT_EQ(r.list[3], u"versioninfo_test");
    EXPECT_EQ(r.list[4], u"Copyright (C) 2026 Ardentis");
    EXPECT_EQ(r.list[5], u"Korvel is a trademark of Ardentis");
    EXPECT_EQ(r.list[6], u"versioninfo_test");
    EXPECT_EQ(r.list[7], u"Korvel");
    EXPECT_EQ(r.list[8], version);
    EXPECT_EQ(r.list[9], u"Texts with \"quotes\", a back\\slash and Ж");
}

TEST(VersionInfoElf, ProgramWithoutTheSectionOrWithItsTableCut)
{
    TempFolder dir;
    const auto self = fileBytes("/proc/self/exe");
    ASSERT_GT(self.size(), 1000u);

    // Rename the section: the program then has no version information.
    Bytes renamed = self;
    const std::string name(".korvel_version\0", 16);
    int renames = 0;
    for (auto it = renamed.begin();
         (it = std::search(it, renamed.end(), name.begin(), name.end())) != renamed.end(); ++it) {
        *(it + 1) = 'x';
        ++renames;
    }
    ASSERT_GT(renames, 0);
    EXPECT_FALSE(readBytes(dir, renamed, "renamed").ok);

    // The section table sits at the end of the file: cutting the file loses it.
    for (std::size_t keep : {self.size() - 1, self.size() / 2, std::size_t{64}, std::size_t{20}}) {
        const Bytes part(self.begin(), self.begin() + static_cast<std::ptrdiff_t>(keep));
        const auto r = readBytes(dir, part, "cut");
        EXPECT_FALSE(r.ok) << keep;
        EXPECT_TRUE(r.list.empty());
    }
}

namespace {

// A minimal ELF file: a null section, the section-name table and a section holding `block`,
// in either class and byte order. The block itself keeps its own little-endian layout.
struct ElfFile {
    Bytes bytes;
    std::size_t sectionTable = 0;
    std::size_t entrySize = 0;
};

ElfFile elfFile(const Bytes &block, bool is64, bool bigEndian,
                const std::string &sectionName = ".korvel_version")
{
    ElfFile e;
    Bytes &b = e.bytes;
    auto put = [&](std::size_t at, std::uint64_t v, int width) {
        if (b.size() < at + width)
            b.resize(at + width);
        for (int i = 0; i < width; ++i)
            b[at + (bigEndian ? width - 1 - i : i)] = static_cast<unsigned char>(v >> (8 * i));
    };
    const std::size_t header = is64 ? 64 : 52;
    b.assign(header, 0);
    b[0] = 0x7F, b[1] = 'E', b[2] = 'L', b[3] = 'F';
    b[4] = is64 ? 2 : 1;
    b[5] = bigEndian ? 2 : 1;
    b[6] = 1;
    const std::string names = std::string("\0.shstrtab\0", 11) + sectionName + std::string(1, '\0');
    const std::size_t namesAt = b.size();
    b.insert(b.end(), names.begin(), names.end());
    while (b.size() % 8)
        b.push_back(0);
    const std::size_t blockAt = b.size();
    b.insert(b.end(), block.begin(), block.end());
    while (b.size() % 8)
        b.push_back(0);
    e.sectionTable = b.size();
    e.entrySize = is64 ? 64 : 40;
    b.resize(b.size() + 3 * e.entrySize, 0);

    put(is64 ? 0x28 : 0x20, e.sectionTable, is64 ? 8 : 4);
    put(is64 ? 0x3A : 0x2E, e.entrySize, 2);
    put(is64 ? 0x3C : 0x30, 3, 2);
    put(is64 ? 0x3E : 0x32, 1, 2);
    auto section = [&](int i, std::uint32_t name, std::uint32_t type, std::uint64_t off, std::uint64_t size) {
        const std::size_t s = e.sectionTable + i * e.entrySize;
        put(s, name, 4);
        put(s + 4, type, 4);
        put(s + (is64 ? 24 : 16), off, is64 ? 8 : 4);
        put(s + (is64 ? 32 : 20), size, is64 ? 8 : 4);
    };
    section(1, 1, 3, namesAt, names.size());
    section(2, 11, 1, blockAt, block.size());
    return e;
}

} // namespace

TEST(VersionInfoElf, BothClassesAndByteOrders)
{
    TempFolder dir;
    const Bytes block = testpe::standardBlock(kFull);
    for (bool is64 : {false, true}) {
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(is64 ? "ELF64 " : "ELF32 ") + (be ? "big-endian" : "little-endian"));
            const auto r = readBytes(dir, elfFile(block, is64, be).bytes);
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.list, kFullValues);
        }
    }
    // A section whose name only begins like ours is not ours.
    EXPECT_FALSE(readBytes(dir, elfFile(block, true, false, ".korvel_versions").bytes).ok);
    EXPECT_FALSE(readBytes(dir, elfFile(block, true, false, ".korvel_versio").bytes).ok);
}

TEST(VersionInfoElf, DamagedSectionTables)
{
    TempFolder dir;
    const Bytes block = testpe::standardBlock(kFull);
    const ElfFile good = elfFile(block, true, false);
    struct Patch {
        const char *what;
        std::size_t at;
        int width;
        std::uint64_t value;
    };
    const std::size_t s1 = good.sectionTable + good.entrySize, s2 = s1 + good.entrySize;
    const Patch patches[] = {
        {"table offset past the end", 0x28, 8, 0xFFFFFFFFFFFFFF00ull},
        {"entry size too small", 0x3A, 2, 16},
        {"entry count huge", 0x3C, 2, 0xFFFF},
        {"name table index out of range", 0x3E, 2, 7},
        {"name table past the end", s1 + 24, 8, 0x7FFFFFFFFFFFull},
        {"name offset past the name table", s2, 4, 0xFFFFFFF0u},
        {"section data past the end", s2 + 24, 8, 0xFFFFFFFFFFFFFFF0ull},
        {"section size past the end", s2 + 32, 8, 0x10000000ull},
        {"section of no bits", s2 + 4, 4, 8},
    };
    for (const Patch &p : patches) {
        SCOPED_TRACE(p.what);
        Bytes b = good.bytes;
        for (int i = 0; i < p.width; ++i)
            b[p.at + i] = static_cast<unsigned char>(p.value >> (8 * i));
        const auto r = readBytes(dir, b);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.list.empty());
    }

    std::mt19937 rng(7);
    for (int round = 0; round < 1000; ++round) {
        Bytes b = good.bytes;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 6); i < n; ++i) {
            const std::size_t at = rng() % 2 ? rng() % 64 : good.sectionTable + rng() % (3 * good.entrySize);
            b[at] = static_cast<unsigned char>(rng());
        }
        const auto r = readBytes(dir, b);
        EXPECT_TRUE(r.list.empty() || r.list.size() == 10u);
    }
}

TEST(VersionInfoElf, ToolsOfTheSuiteCarryTheirInformation)
{
    const std::filesystem::path tool = std::filesystem::path(KORVEL_BIN_DIR) / "korvel-reg";
    if (!std::filesystem::exists(tool))
        GTEST_SKIP() << "korvel-reg is not built in " << KORVEL_BIN_DIR;
    const auto r = readInfo(tool);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.list.size(), 10u);
    EXPECT_EQ(r.list[7], u"Korvel");
    EXPECT_EQ(r.list[1], u"Korvel korvel-reg");
    EXPECT_EQ(r.list[6], u"korvel-reg");
}
