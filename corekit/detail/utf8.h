// The one UTF-8 decoder of corekit: one sequence at a time from any source of bytes, so that
// strings, streams and the registry store's lines read the same encoding. Internal,
// header-only.
#pragma once

#include "utf16.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace corekit::detail {

/// Bytes of the sequence a lead byte starts: 1 to 4, 0 for a byte no sequence starts with.
constexpr std::size_t Utf8SequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 0;
}

/// One decoded sequence: its code point when valid, and the bytes it took. An invalid
/// sequence took its lead byte and the continuation bytes that followed it (at most as many
/// as the lead announced); the byte that broke it is left to the source.
struct Utf8Sequence {
    char32_t codePoint = 0;
    std::size_t bytes = 0;
    bool valid = false;
};

/// Decodes the sequence that `lead` starts. `in.get()` yields the byte after it (-1 at the
/// end); `in.unget(b)` puts back a byte that is no continuation. Overlong forms, surrogates
/// and values past U+10FFFF are invalid.
template <class Source> Utf8Sequence DecodeUtf8Sequence(unsigned char lead, Source &in)
{
    const std::size_t len = Utf8SequenceLength(lead);
    if (len == 0)
        return {0, 1, false};
    if (len == 1)
        return {lead, 1, true};
    char32_t cp = lead & (0x7F >> len);
    for (std::size_t got = 1; got < len; ++got) {
        const int c = in.get();
        if (c < 0)
            return {0, got, false};
        if ((c & 0xC0) != 0x80) {
            in.unget(c);
            return {0, got, false};
        }
        cp = (cp << 6) | static_cast<char32_t>(c & 0x3F);
    }
    static constexpr char32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || IsSurrogate(cp))
        return {0, len, false};
    return {cp, len, true};
}

/// Bytes in memory as a source for DecodeUtf8Sequence.
struct Utf8Bytes {
    std::string_view bytes;
    std::size_t pos = 0;

    bool atEnd() const { return pos >= bytes.size(); }
    int get() { return pos < bytes.size() ? static_cast<unsigned char>(bytes[pos++]) : -1; }
    void unget(int) { --pos; }
};

/// What a decode does with an invalid sequence.
enum class Utf8Invalid {
    Replace, ///< every byte it took becomes U+FFFD
    Fail,    ///< the whole decode fails
};

/// Appends the UTF-16 form of bytes to out. False only when `invalid` is Fail and a sequence
/// is invalid; out then holds what came before it.
inline bool AppendUtf8(std::string_view bytes, std::u16string &out, Utf8Invalid invalid)
{
    Utf8Bytes in{bytes};
    while (!in.atEnd()) {
        const unsigned char lead = static_cast<unsigned char>(in.get());
        if (lead < 0x80) {
            out.push_back(lead);
            continue;
        }
        const Utf8Sequence seq = DecodeUtf8Sequence(lead, in);
        if (seq.valid)
            AppendCodePoint(out, seq.codePoint);
        else if (invalid == Utf8Invalid::Replace)
            out.append(seq.bytes, u'\uFFFD');
        else
            return false;
    }
    return true;
}

} // namespace corekit::detail
