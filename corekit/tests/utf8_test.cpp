// The three readers of UTF-8 in corekit (strings, stream pieces, the registry store's text)
// agree on every input: what they decode, and what counts as invalid.
#include <corekit/corekit.h>

#include "registry_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct Case {
    const char *what;
    std::string bytes;
    UnicodeString text; ///< as decoded, every byte of an invalid sequence as U+FFFD
};

const UnicodeString R = u"\uFFFD";

const Case kCases[] = {
    {"ASCII", "abc", u"abc"},
    {"two bytes", "\xC3\xA9", u"\u00E9"},
    {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
    {"four bytes, a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
    {"the highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    {"the lowest of each length", std::string("\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80"),
     u"\u0080\u0800\U00010000"},
    {"a stray continuation", "a\x80z", u"a" + R + u"z"},
    {"no lead byte at all", "\xFF\xFE", R + R},
    {"a five-byte lead", "\xF8\x88\x80\x80\x80", R + R + R + R + R},
    {"overlong, two bytes", "\xC0\xAF", R + R},
    {"overlong, three bytes", "\xE0\x80\xAF", R + R + R},
    {"overlong, four bytes", "\xF0\x80\x80\xAF", R + R + R + R},
    {"a surrogate", "\xED\xA0\x80", R + R + R},
    {"past U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
    {"cut short by a letter",
     "\xE2\x82"
     "A",
     R + R + u"A"},
    {"cut short by another lead", "\xE2\xC3\xA9", R + u"\u00E9"},
    {"cut short by the end", "x\xF0\x9F\x98", u"x" + R + R + R},
    {"mixed",
     "a\xC3\xA9\x80\xE2\x82\xAC"
     "b",
     u"a\u00E9" + R + u"\u20ACb"},
};

// What the stream reader makes of the bytes, read in one piece.
UnicodeString readPiece(const std::string &bytes)
{
    std::string copy = bytes;
    FILE *f = fmemopen(copy.data(), copy.size(), "r");
    if (!f)
        return u"(fmemopen failed)";
    UnicodeString out;
    corekit::detail::readUtf8Piece(f, 1000, out);
    std::fclose(f);
    return out;
}

TEST(Utf8Readers, AgreeOnEveryInput)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8ToUnicode(c.bytes), c.text);
        EXPECT_EQ(readPiece(c.bytes), c.text);

        // The store takes only text that decodes without a replacement, and then the same text.
        korvel::reg::detail::Store store;
        const bool valid = c.text.find(u'\uFFFD') == UnicodeString::npos;
        const std::string storeText =
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"" + c.bytes + "\"\n";
        ASSERT_EQ(korvel::reg::detail::parse(storeText, store), valid);
        if (valid) {
            ASSERT_EQ(store.keys.size(), 1u);
            ASSERT_EQ(store.keys[0].values.size(), 1u);
            EXPECT_EQ(store.keys[0].values[0].text(), c.text);
        }
    }
}

// A piece never ends inside a surrogate pair, whatever the sequence around it.
TEST(Utf8Readers, PieceKeepsAPairWholeAcrossInvalidBytes)
{
    std::string bytes = "ab\x80\xF0\x9F\x98\x80";
    FILE *f = fmemopen(bytes.data(), bytes.size(), "r");
    ASSERT_NE(f, nullptr);
    UnicodeString piece;
    ASSERT_TRUE(corekit::detail::readUtf8Piece(f, 4, piece));
    EXPECT_EQ(piece, u"ab" + R);
    ASSERT_TRUE(corekit::detail::readUtf8Piece(f, 4, piece));
    EXPECT_EQ(piece, u"\U0001F600");
    EXPECT_FALSE(corekit::detail::readUtf8Piece(f, 4, piece));
    std::fclose(f);
}

} // namespace
