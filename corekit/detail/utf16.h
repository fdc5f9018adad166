// UTF-16 code units and code points, for the conversions of corekit and the name checks of
// the libraries beside it. Internal, header-only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corekit::detail {

inline bool IsSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

/// Appends a code point (at most U+10FFFF), as a surrogate pair above U+FFFF.
inline void AppendCodePoint(std::u16string &out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

/// The code point that starts at s[i] (i < s.size()), a surrogate pair taken whole, and i moved
/// past it. A surrogate without its partner comes back as itself: callers decide what it means.
inline char32_t NextCodePoint(std::u16string_view s, std::size_t &i)
{
    const char32_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
        return 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
    return c;
}

} // namespace corekit::detail
