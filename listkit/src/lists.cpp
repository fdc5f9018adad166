#include <listkit/lists.h>

#include <algorithm>
#include <vector>

namespace {

// Membership test for the delimiter set: a plain scan for the usual one to a few characters,
// a table over all code units for larger sets, so long texts stay linear either way.
class DelimiterSet {
public:
    explicit DelimiterSet(const UnicodeString &delimiters) : m_list(delimiters)
    {
        if (delimiters.size() > 8) {
            m_table.assign(0x10000, false);
            for (char16_t c : delimiters)
                m_table[c] = true;
        }
    }

    bool contains(char16_t c) const
    {
        if (!m_table.empty())
            return m_table[c];
        return std::find(m_list.begin(), m_list.end(), c) != m_list.end();
    }

private:
    const UnicodeString &m_list;
    std::vector<bool> m_table;
};

} // namespace

void Sv_StrToList(const UnicodeString &text, const UnicodeString &delimiters, std::vector<UnicodeString> &list)
{
    list.clear();
    if (text.empty())
        return;
    const DelimiterSet set(delimiters);
    // One pass over the text; each piece is copied once, so the cost grows linearly.
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!set.contains(text[i]))
            continue;
        if (i > start)
            list.emplace_back(text, start, i - start);
        start = i + 1;
    }
    if (start < n)
        list.emplace_back(text, start, n - start);
}

bool Sv_SaveToStream(const std::vector<UnicodeString> &list, FILE *stream)
{
    if (!stream)
        return false;
    for (const UnicodeString &s : list) {
        if (!corekit::detail::writeUtf8(stream, s + u'\n'))
            return false;
    }
    return true;
}

bool Sv_LoadFromStream(std::vector<UnicodeString> &list, FILE *stream, int maxLineLength)
{
    list.clear();
    // Each piece holds at most maxLineLength - 1 characters; below 2 no piece could hold
    // anything and the reading would never advance.
    if (!stream || maxLineLength < 2)
        return false;
    const std::size_t pieceUnits = static_cast<std::size_t>(maxLineLength) - 1;
    UnicodeString piece;
    while (corekit::detail::readUtf8Piece(stream, pieceUnits, piece)) {
        corekit::detail::trimTrailingControls(piece);
        list.push_back(std::move(piece));
    }
    return !list.empty();
}

bool Sv_SaveToFile(const std::vector<UnicodeString> &list, const UnicodeString &path)
{
    FILE *f = std::fopen(corekit::detail::toNativePath(path).c_str(), "w");
    if (!f)
        return false;
    const bool written = Sv_SaveToStream(list, f);
    // Buffered lines reach the disc only at close; a failure there is a failed save too.
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

bool Sv_LoadFromFile(std::vector<UnicodeString> &list, const UnicodeString &path, int maxLineLength)
{
    FILE *f = std::fopen(corekit::detail::toNativePath(path).c_str(), "r");
    if (!f)
        return false;
    const bool read = Sv_LoadFromStream(list, f, maxLineLength);
    std::fclose(f);
    return read;
}
