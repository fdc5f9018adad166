#include <listkit/lists.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <sys/stat.h>

namespace {

// Membership test for the delimiter set: a bitmap for the first 256 code units, where
// delimiters almost always are, and a scan of the few others.
class DelimiterSet {
public:
    explicit DelimiterSet(const UnicodeString &delimiters)
    {
        for (char16_t c : delimiters) {
            if (c < 256)
                m_low[c >> 6] |= std::uint64_t{1} << (c & 63);
            else
                m_high.push_back(c);
        }
    }

    bool contains(char16_t c) const
    {
        if (c < 256)
            return (m_low[c >> 6] >> (c & 63)) & 1;
        return !m_high.empty() && std::find(m_high.begin(), m_high.end(), c) != m_high.end();
    }

private:
    std::uint64_t m_low[4] = {0, 0, 0, 0};
    UnicodeString m_high;
};

} // namespace

void Sv_StrToList(const UnicodeString &text, const UnicodeString &delimiters,
                  std::vector<UnicodeString> &list)
{
    // Splitting an entry of the list into the list itself works on a copy of that entry, and
    // so do delimiters taken from the list.
    const auto inList = [&list](const UnicodeString &s) {
        return !list.empty() && &s >= list.data() && &s < list.data() + list.size();
    };
    if (inList(text) || inList(delimiters)) {
        const UnicodeString textCopy = text;
        const UnicodeString delimiterCopy = delimiters;
        Sv_StrToList(textCopy, delimiterCopy, list);
        return;
    }
    const DelimiterSet set(delimiters);
    // One pass over the text; each piece is copied once, so the cost grows linearly. Entries
    // the list already holds are overwritten in place rather than destroyed and rebuilt, so a
    // reused list is walked once, not twice.
    std::size_t used = 0;
    const auto store = [&](std::size_t from, std::size_t count) {
        if (used < list.size())
            list[used].assign(text, from, count);
        else
            list.emplace_back(text, from, count);
        ++used;
    };
    const std::size_t n = text.size();
    // A first pass counts the pieces, so a long text fills the list without growing it step
    // by step (and moving every piece again at each step).
    std::size_t pieces = 0;
    bool inPiece = false;
    for (std::size_t i = 0; i < n; ++i) {
        const bool delimiter = set.contains(text[i]);
        pieces += !delimiter && !inPiece;
        inPiece = !delimiter;
    }
    if (pieces > list.capacity())
        list.reserve(pieces);
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!set.contains(text[i]))
            continue;
        if (i > start)
            store(start, i - start);
        start = i + 1;
    }
    if (start < n)
        store(start, n - start);
    list.resize(used);
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
    // A folder opens for reading here but is no file: the list stays as it was.
    struct stat st {};
    if (::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    const bool read = Sv_LoadFromStream(list, f, maxLineLength);
    std::fclose(f);
    return read;
}
