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
