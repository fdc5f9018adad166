#include <listkit/lists.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>

namespace {

// Codes are read in blocks of this many, so a damaged count never makes us reserve memory
// for codes the file does not hold: memory grows only with what was actually read.
constexpr std::size_t ReadBlockCodes = 32768;

int offsetOf(short key)
{
    const int k = static_cast<int>(key);
    return (k * k) & 0x3FFF;
}

class File {
public:
    File(const UnicodeString &path, const char *mode)
        : m_f(std::fopen(corekit::detail::toNativePath(path).c_str(), mode))
    {
    }
    ~File() { close(); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    FILE *get() const { return m_f; }
    bool close()
    {
        if (!m_f)
            return true;
        const bool ok = std::fclose(m_f) == 0;
        m_f = nullptr;
        return ok;
    }

private:
    FILE *m_f;
};

bool readCodes(FILE *f, std::vector<short> &codes)
{
    unsigned char header[4];
    if (std::fread(header, 1, 4, f) != 4)
        return false;
    const std::uint32_t count =
        static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
        static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    codes.clear();
    std::vector<unsigned char> block;
    std::size_t remaining = count;
    while (remaining > 0) {
        const std::size_t want = std::min(remaining, ReadBlockCodes);
        block.resize(want * 2);
        if (std::fread(block.data(), 2, want, f) != want)
            return false;
        for (std::size_t i = 0; i < want; ++i) {
            const auto u = static_cast<std::uint16_t>(block[2 * i] | block[2 * i + 1] << 8);
            codes.push_back(static_cast<short>(u));
        }
        remaining -= want;
    }
    return true;
}

UnicodeString joinLines(const std::vector<UnicodeString> &list)
{
    UnicodeString text;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            text.push_back(u'\n');
        text += list[i];
    }
    return text;
}

} // namespace

void Sv_Encrypt(const UnicodeString &text, std::vector<short> &codes, short key)
{
    const int k = offsetOf(key);
    codes.clear();
    codes.reserve(text.size());
    for (char16_t c : text)
        codes.push_back(static_cast<short>(static_cast<std::uint16_t>(10 * static_cast<int>(c) + k)));
}

void Sv_Decrypt(UnicodeString &text, const std::vector<short> &codes, short key)
{
    const int k = offsetOf(key);
    text.clear();
    text.reserve(codes.size());
    for (short x : codes)
        text.push_back(static_cast<char16_t>(static_cast<std::uint16_t>((static_cast<int>(x) - k) / 10)));
}

bool Sv_SaveEncrypted(const UnicodeString &text, short key, const UnicodeString &path)
{
    std::vector<short> codes;
    Sv_Encrypt(text, codes, key);
    File file(path, "wb");
    if (!file.get())
        return false;
    // The count field is 32 bits; longer texts cannot be stored.
    if (codes.size() > UINT32_MAX)
        return false;
    const auto count = static_cast<std::uint32_t>(codes.size());
    const unsigned char header[4] = {
        static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
        static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
    if (std::fwrite(header, 1, 4, file.get()) != 4)
        return false;
    std::vector<unsigned char> bytes(codes.size() * 2);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(codes[i]);
        bytes[2 * i] = static_cast<unsigned char>(u);
        bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 2, codes.size(), file.get()) != codes.size())
        return false;
    // Buffered codes reach the disc only at close; a failure there is a failed save too.
    return file.close();
}

bool Sv_LoadEncrypted(UnicodeString &text, short key, const UnicodeString &path)
{
    File file(path, "rb");
    if (!file.get())
        return false;
    std::vector<short> codes;
    try {
        if (!readCodes(file.get(), codes))
            return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
    file.close();
    Sv_Decrypt(text, codes, key);
    return true;
}

bool Sv_SaveEncrypted(const std::vector<UnicodeString> &list, short key, const UnicodeString &path)
{
    if (list.empty())
        return false;
    return Sv_SaveEncrypted(joinLines(list), key, path);
}

bool Sv_LoadEncrypted(std::vector<UnicodeString> &list, short key, const UnicodeString &path)
{
    UnicodeString text;
    if (!Sv_LoadEncrypted(text, key, path))
        return false;
    Sv_StrToList(text, u"\n", list);
    return true;
}
