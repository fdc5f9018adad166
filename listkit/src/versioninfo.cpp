// Version information: one reader of the VS_VERSIONINFO block, wherever the block lives.
//
// Windows executables keep the block as their RT_VERSION resource; our own ELF programs keep it
// in the section the build writes it into. Everything read from the file is untrusted: every
// offset and length is checked against what was actually read, and every walk is bounded, so a
// damaged file yields "no version information", never a crash or a hang.

#include <listkit/filelists.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The block's lengths are 16-bit, so a block never exceeds this.
constexpr std::uint64_t kMaxBlock = 0xFFFF;
constexpr char kElfSection[] = ".korvel_version";

class FileReader {
public:
    explicit FileReader(const UnicodeString &path)
    {
        const std::string p = UnicodeToUtf8(path);
        fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0)
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~FileReader()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;

    bool ok() const { return fd_ >= 0; }
    std::uint64_t size() const { return size_; }

    // Reads exactly n bytes at off, or fails.
    bool read(std::uint64_t off, void *buf, std::uint64_t n) const
    {
        if (off > size_ || n > size_ - off)
            return false;
        auto *out = static_cast<unsigned char *>(buf);
        while (n > 0) {
            const ssize_t r = ::pread(fd_, out, n, static_cast<off_t>(off));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            out += r;
            off += static_cast<std::uint64_t>(r);
            n -= static_cast<std::uint64_t>(r);
        }
        return true;
    }

    std::optional<std::uint16_t> u16(std::uint64_t off, bool bigEndian = false) const
    {
        unsigned char b[2];
        if (!read(off, b, 2))
            return std::nullopt;
        return bigEndian ? static_cast<std::uint16_t>(b[0] << 8 | b[1])
                         : static_cast<std::uint16_t>(b[1] << 8 | b[0]);
    }
    std::optional<std::uint32_t> u32(std::uint64_t off, bool bigEndian = false) const
    {
        unsigned char b[4];
        if (!read(off, b, 4))
            return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(b[bigEndian ? 3 - i : i]) << (8 * i);
        return v;
    }
    std::optional<std::uint64_t> u64(std::uint64_t off, bool bigEndian = false) const
    {
        unsigned char b[8];
        if (!read(off, b, 8))
            return std::nullopt;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(b[bigEndian ? 7 - i : i]) << (8 * i);
        return v;
    }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// ---- Windows executables: the first RT_VERSION resource -------------------------------------

struct PeSection {
    std::uint32_t va, vsize, rawSize, rawPtr;
};

class PeImage {
public:
    explicit PeImage(const FileReader &f) : f_(f) {}

    std::optional<Extent> versionResource()
    {
        const auto lfanew = f_.u32(0x3C);
        if (!lfanew)
            return std::nullopt;
        const std::uint64_t pe = *lfanew;
        unsigned char sig[4];
        if (!f_.read(pe, sig, 4) || std::memcmp(sig, "PE\0\0", 4) != 0)
            return std::nullopt;
        const auto nSections = f_.u16(pe + 6);
        const auto optSize = f_.u16(pe + 20);
        const auto magic = f_.u16(pe + 24);
        if (!nSections || !optSize || !magic)
            return std::nullopt;
        std::uint64_t dirs = 0; // offset of the data directories inside the optional header
        if (*magic == 0x10B)
            dirs = 96;
        else if (*magic == 0x20B)
            dirs = 112;
        else
            return std::nullopt;
        const auto nDirs = f_.u32(pe + 24 + dirs - 4);
        constexpr std::uint64_t kResourceDir = 2;
        if (!nDirs || *nDirs <= kResourceDir || dirs + (kResourceDir + 1) * 8 > *optSize)
            return std::nullopt;
        const auto resRva = f_.u32(pe + 24 + dirs + kResourceDir * 8);
        const auto resSize = f_.u32(pe + 24 + dirs + kResourceDir * 8 + 4);
        if (!resRva || !resSize || *resRva == 0 || *resSize == 0)
            return std::nullopt;

        const std::uint64_t table = pe + 24 + *optSize;
        for (std::uint32_t i = 0; i < *nSections; ++i) {
            const std::uint64_t s = table + std::uint64_t{i} * 40;
            const auto va = f_.u32(s + 12), vsize = f_.u32(s + 8), raw = f_.u32(s + 16), ptr = f_.u32(s + 20);
            if (!va || !vsize || !raw || !ptr)
                return std::nullopt; // the table runs past the end of the file
            sections_.push_back({*va, *vsize, *raw, *ptr});
        }

        resBase_ = toOffset(*resRva, 16);
        if (!resBase_)
            return std::nullopt;
        // Type, then name, then language: always exactly three levels, so a directory that
        // points back at itself cannot make this walk go round.
        constexpr std::uint32_t kRtVersion = 16, kVsVersionInfo = 1;
        const auto names = entry(0, true, kRtVersion, false);
        const auto langs = names ? entry(*names, true, kVsVersionInfo, true) : std::nullopt;
        const auto data = langs ? entry(*langs, false, std::nullopt, true) : std::nullopt;
        if (!data)
            return std::nullopt;
        const auto dataRva = f_.u32(*resBase_ + *data);
        const auto dataSize = f_.u32(*resBase_ + *data + 4);
        if (!dataRva || !dataSize || *dataSize == 0)
            return std::nullopt;
        const std::uint64_t size = std::min<std::uint64_t>(*dataSize, kMaxBlock);
        const auto off = toOffset(*dataRva, size);
        if (!off)
            return std::nullopt;
        return Extent{*off, size};
    }

private:
    // File offset of `len` bytes at the relative virtual address, when a section's raw data
    // holds all of them.
    std::optional<std::uint64_t> toOffset(std::uint64_t rva, std::uint64_t len) const
    {
        for (const PeSection &s : sections_) {
            if (rva < s.va)
                continue;
            const std::uint64_t delta = rva - s.va;
            const std::uint64_t extent = std::max(s.vsize, s.rawSize);
            if (delta >= extent || len > s.rawSize || delta > s.rawSize - len)
                continue;
            const std::uint64_t off = std::uint64_t{s.rawPtr} + delta;
            if (off > f_.size() || len > f_.size() - off)
                return std::nullopt;
            return off;
        }
        return std::nullopt;
    }

    // Target (an offset from the resource base) of an entry of the directory at `dir` that is a
    // sub-directory or a data entry as asked: the one with the numeric id, or, when `orFirst`,
    // the first one if no entry has that id.
    std::optional<std::uint32_t> entry(std::uint32_t dir, bool subdir, std::optional<std::uint32_t> id,
                                       bool orFirst) const
    {
        const auto named = f_.u16(*resBase_ + dir + 12);
        const auto ids = f_.u16(*resBase_ + dir + 14);
        if (!named || !ids)
            return std::nullopt;
        std::optional<std::uint32_t> first;
        const std::uint32_t count = std::uint32_t{*named} + *ids;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t e = *resBase_ + dir + 16 + std::uint64_t{i} * 8;
            const auto name = f_.u32(e);
            const auto target = f_.u32(e + 4);
            if (!name || !target)
                break;
            if (((*target & 0x80000000u) != 0) != subdir)
                continue;
            const std::uint32_t to = *target & 0x7FFFFFFFu;
            if (id && (*name & 0x80000000u) == 0 && *name == *id)
                return to;
            if (!first)
                first = to;
        }
        return orFirst ? first : std::nullopt;
    }

    const FileReader &f_;
    std::vector<PeSection> sections_;
    std::optional<std::uint64_t> resBase_;
};

// ---- our own ELF programs: the section the build writes the block into ----------------------

class ElfImage {
public:
    explicit ElfImage(const FileReader &f) : f_(f) {}

    std::optional<Extent> versionSection()
    {
        unsigned char ident[16];
        if (!f_.read(0, ident, 16))
            return std::nullopt;
        if (ident[4] != 1 && ident[4] != 2)
            return std::nullopt;
        if (ident[5] != 1 && ident[5] != 2)
            return std::nullopt;
        is64_ = ident[4] == 2;
        be_ = ident[5] == 2;

        std::uint64_t shnum = 0, shstrndx = 0;
        if (!word(is64_ ? 0x28 : 0x20, is64_, shoff_) || !word(is64_ ? 0x3A : 0x2E, false, shentsize_, 2) ||
            !word(is64_ ? 0x3C : 0x30, false, shnum, 2) || !word(is64_ ? 0x3E : 0x32, false, shstrndx, 2))
            return std::nullopt;
        if (shoff_ == 0 || shentsize_ < (is64_ ? 64u : 40u))
            return std::nullopt;
        // Extended numbering: the real counts sit in the first section header.
        if (shnum == 0 && !field(0, 32, 20, true, shnum))
            return std::nullopt;
        if (shstrndx == 0xFFFF && !field(0, 40, 24, false, shstrndx))
            return std::nullopt;
        // The whole table must lie inside the file; this also bounds the walk below.
        if (shstrndx >= shnum || shnum > f_.size() / shentsize_ || shoff_ > f_.size() - shnum * shentsize_)
            return std::nullopt;

        std::uint64_t strOff = 0, strSize = 0;
        if (!field(shstrndx, 24, 16, true, strOff) || !field(shstrndx, 32, 20, true, strSize))
            return std::nullopt;
        constexpr std::uint64_t nameLen = sizeof(kElfSection); // with its terminating zero
        for (std::uint64_t i = 0; i < shnum; ++i) {
            std::uint64_t name = 0, type = 0;
            if (!field(i, 0, 0, false, name) || !field(i, 4, 4, false, type))
                return std::nullopt;
            if (type == 8 /* occupies no space in the file */ || name > strSize || nameLen > strSize - name)
                continue;
            char buf[nameLen];
            if (!f_.read(strOff + name, buf, nameLen) || std::memcmp(buf, kElfSection, nameLen) != 0)
                continue;
            std::uint64_t off = 0, size = 0;
            if (!field(i, 24, 16, true, off) || !field(i, 32, 20, true, size) || size == 0)
                return std::nullopt;
            return Extent{off, std::min(size, kMaxBlock)};
        }
        return std::nullopt;
    }

private:
    // A 2-, 4- or 8-byte field of the file in its byte order.
    bool word(std::uint64_t at, bool wide, std::uint64_t &out, int bytes = 4) const
    {
        if (bytes == 2) {
            const auto v = f_.u16(at, be_);
            out = v.value_or(0);
            return v.has_value();
        }
        if (wide) {
            const auto v = f_.u64(at, be_);
            out = v.value_or(0);
            return v.has_value();
        }
        const auto v = f_.u32(at, be_);
        out = v.value_or(0);
        return v.has_value();
    }
    // A field of section header `index`, at its offset in 64- or 32-bit files; `wide` fields
    // are 8 bytes long in 64-bit files.
    bool field(std::uint64_t index, std::uint64_t off64, std::uint64_t off32, bool wide,
               std::uint64_t &out) const
    {
        return word(shoff_ + index * shentsize_ + (is64_ ? off64 : off32), is64_ && wide, out);
    }

    const FileReader &f_;
    bool is64_ = false;
    bool be_ = false;
    std::uint64_t shoff_ = 0;
    std::uint64_t shentsize_ = 0;
};

// ---- the block itself ------------------------------------------------------------------------

// One node of the block: wLength, wValueLength, wType, a zero-terminated UTF-16 key, padding to
// 32 bits, the value, padding, then the children up to wLength.
struct Node {
    std::size_t end = 0;
    UnicodeString key;
    std::size_t value = 0;
    std::size_t valueBytes = 0;
    std::uint16_t type = 0;
    std::size_t children = 0;
};

class Block {
public:
    explicit Block(std::vector<unsigned char> bytes) : b_(std::move(bytes)) {}

    // The root node, when the block starts with a sound VS_VERSION_INFO node.
    std::optional<Node> root() const
    {
        auto n = node(0, b_.size());
        if (!n || n->key != u"VS_VERSION_INFO")
            return std::nullopt;
        return n;
    }

    // Follows a path of keys down from the root; keys compare regardless of ASCII case.
    std::optional<Node> query(std::initializer_list<std::u16string_view> path) const
    {
        auto cur = root();
        for (std::u16string_view k : path) {
            if (!cur)
                return std::nullopt;
            cur = child(*cur, k);
        }
        return cur;
    }

    std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>(b_[at] | b_[at + 1] << 8); }

    // The node's value as text, cut at its first zero.
    UnicodeString text(const Node &n) const
    {
        UnicodeString s;
        for (std::size_t p = n.value; p + 2 <= n.value + n.valueBytes; p += 2) {
            const char16_t c = static_cast<char16_t>(u16(p));
            if (c == 0)
                break;
            s.push_back(c);
        }
        return s;
    }

private:
    static std::size_t align4(std::size_t v) { return (v + 3) & ~std::size_t{3}; }

    std::optional<Node> node(std::size_t at, std::size_t limit) const
    {
        if (limit > b_.size() || at > limit || limit - at < 6)
            return std::nullopt;
        const std::size_t len = u16(at);
        const std::size_t valueLen = u16(at + 2);
        Node n;
        n.type = u16(at + 4);
        if (len < 6 || len > limit - at)
            return std::nullopt;
        n.end = at + len;
        std::size_t p = at + 6;
        for (;; p += 2) {
            if (p + 2 > n.end)
                return std::nullopt; // unterminated key
            const char16_t c = static_cast<char16_t>(u16(p));
            if (c == 0)
                break;
            n.key.push_back(c);
        }
        n.value = std::min(align4(p + 2), n.end);
        // Text values count UTF-16 units, binary ones bytes. Some writers count text in bytes,
        // so a text value is only kept within its node rather than rejected.
        const std::size_t want = n.type == 1 ? valueLen * 2 : valueLen;
        if (want > n.end - n.value) {
            if (n.type != 1)
                return std::nullopt;
            n.valueBytes = n.end - n.value;
        } else {
            n.valueBytes = want;
        }
        n.children = std::min(align4(n.value + n.valueBytes), n.end);
        return n;
    }

    static bool sameKey(std::u16string_view a, std::u16string_view b)
    {
        if (a.size() != b.size())
            return false;
        auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
        for (std::size_t i = 0; i < a.size(); ++i)
            if (fold(a[i]) != fold(b[i]))
                return false;
        return true;
    }

    std::optional<Node> child(const Node &parent, std::u16string_view key) const
    {
        // Every node is at least 6 bytes long, so each step moves forward.
        for (std::size_t p = parent.children; p < parent.end;) {
            auto c = node(p, parent.end);
            if (!c)
                return std::nullopt;
            if (sameKey(c->key, key))
                return c;
            p = align4(c->end);
        }
        return std::nullopt;
    }

    std::vector<unsigned char> b_;
};

std::optional<std::vector<unsigned char>> readBlock(const UnicodeString &path)
{
    FileReader f(path);
    if (!f.ok())
        return std::nullopt;
    unsigned char magic[4];
    if (!f.read(0, magic, 4))
        return std::nullopt;
    std::optional<Extent> where;
    if (magic[0] == 'M' && magic[1] == 'Z')
        where = PeImage(f).versionResource();
    else if (std::memcmp(magic,
                         "\x7F"
                         "ELF",
                         4) == 0)
        where = ElfImage(f).versionSection();
    if (!where)
        return std::nullopt;
    std::vector<unsigned char> bytes(where->size);
    if (!f.read(where->offset, bytes.data(), where->size))
        return std::nullopt;
    return bytes;
}

UnicodeString hex4(std::uint16_t v)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    UnicodeString s;
    for (int shift = 12; shift >= 0; shift -= 4)
        s.push_back(static_cast<char16_t>(digits[(v >> shift) & 0xF]));
    return s;
}

} // namespace

bool F_GetVersionInfo(const UnicodeString &path, std::vector<UnicodeString> &list)
{
    list.clear();
    auto bytes = readBlock(path);
    if (!bytes)
        return false;
    const Block block(std::move(*bytes));
    const auto translation = block.query({u"VarFileInfo", u"Translation"});
    if (!translation || translation->valueBytes < 4)
        return false;
    // Only the first translation counts: language, then code page.
    const UnicodeString table = hex4(block.u16(translation->value)) + hex4(block.u16(translation->value + 2));

    static constexpr std::u16string_view keys[] = {
        u"CompanyName",     u"FileDescription",  u"FileVersion", u"InternalName",   u"LegalCopyright",
        u"LegalTradeMarks", u"OriginalFileName", u"ProductName", u"ProductVersion", u"Comments"};
    bool any = false;
    for (std::u16string_view key : keys) {
        const auto n = block.query({u"StringFileInfo", table, key});
        UnicodeString value = n ? block.text(*n) : UnicodeString();
        any = any || !value.empty();
        list.push_back(std::move(value));
    }
    return any;
}
