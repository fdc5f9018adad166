// S_: quoting, numbers with thousands separators, padding, splitting, counting, and single
// lines through stdio streams. Include <corekit/corekit.h> rather than this header.
//
// Positions are 1-based; one character is one UTF-16 code unit; comparisons are exact.
//
// Line encoding: with ansi = false ("wide" text) lines are UTF-8 without a byte-order mark,
// written and read as bytes whatever the process locale is, so Cyrillic text round-trips
// under the C locale too; invalid UTF-8 reads back as U+FFFD. With ansi = true the text uses
// the locale's narrow encoding (characters it cannot represent are written as '?'). Lines end
// with a single line feed; a carriage return before it reads as trailing white space.
#pragma once

#include <corekit/types.h>

#include <cstddef>
#include <cstdio>

/// s between double quotes, inner double quotes doubled: a"b gives "a""b".
UnicodeString S_Quote(const UnicodeString &s);

/// s with every separator removed, converted by StrToInt; throws EConvertError.
int S_StrToIntTS(const UnicodeString &s, char16_t separator);

/// Decimal text with the separator between groups of three digits: 1234567 gives 1,234,567.
UnicodeString S_IntToStrTS(int value, char16_t separator);

/// The same for 64-bit values.
UnicodeString S_IntToStrTs(long long value, char16_t separator);

/// count copies of c; empty for a count of 0 or less.
UnicodeString S_Space(int count, char16_t c);

/// s preceded by copies of c up to width characters; a longer s is never cut.
UnicodeString S_LeftPad(const UnicodeString &s, int width, char16_t c);

/// s followed by copies of c up to width characters; a longer s is never cut.
UnicodeString S_RightPad(const UnicodeString &s, int width, char16_t c);

/// True when s is not empty and every character is one of 0 to 9.
bool S_DigitString(const UnicodeString &s);

/// Copies at most size - 1 characters of s into buffer and terminates it with a zero.
/// A null buffer or a size below 1 writes nothing.
void S_StrToCharr(const UnicodeString &s, char16_t *buffer, int size);

/// The characters after the last c in s; empty when c is absent or last.
UnicodeString S_After(const UnicodeString &s, char16_t c);

/// The characters before the last c in s; empty when c is absent or first.
UnicodeString S_Before(const UnicodeString &s, char16_t c);

/// The part before (first = true) or after (first = false) the first delimiter; s whole
/// when the delimiter does not occur or is not shorter than s.
UnicodeString S_Divide(const UnicodeString &s, const UnicodeString &delimiter, bool first);

/// Returns the part before the first delimiter and sets rest to the part after it. Without
/// a delimiter, or with one that ends s, the result is s whole and rest is empty; with one
/// that starts s, the result is empty and rest is s whole, delimiter included.
UnicodeString S_Divide(const UnicodeString &s, const UnicodeString &delimiter, UnicodeString &rest);

/// How many characters of s equal c.
int S_Count(const UnicodeString &s, char16_t c);

/// How many times sub occurs in s without overlapping, from the left; 0 for an empty sub.
int S_Count(const UnicodeString &s, const UnicodeString &sub);

/// Writes line and a line feed. False when the stream reports a write error.
bool S_WriteLine(FILE *stream, const UnicodeString &line, bool ansi);

/// Reads one line (at most 2047 bytes with ansi, 1023 characters without; a longer line comes
/// back in pieces over successive calls), trailing characters up to U+0020 removed. False,
/// line empty, at the end of the stream or on a read error.
bool S_ReadLine(FILE *stream, UnicodeString &line, bool ansi);

/// Writes text as the single line of the file (created or truncated).
bool S_SaveStringToFile(const UnicodeString &path, const UnicodeString &text, bool ansi);

/// Reads the first line of the file; the ansi flag must be the one it was written with.
bool S_LoadStringFromFile(const UnicodeString &path, UnicodeString &text, bool ansi);

namespace corekit::detail {

/// Reads up to maxUnits UTF-16 code units of UTF-8 text from stream, through the line feed
/// included. A character needing two code units is left for the next call when only one
/// fits, unless nothing was read yet. False when no byte could be read. Shared with listkit's
/// list files so that both read the same encoding.
bool readUtf8Piece(FILE *stream, std::size_t maxUnits, UnicodeString &out);

/// Writes text as UTF-8 bytes; false unless every byte was accepted by the stream.
bool writeUtf8(FILE *stream, const UnicodeString &text);

/// Removes trailing characters whose code is at most U+0020.
void trimTrailingControls(UnicodeString &s);

/// A UTF-16 path as the file system's bytes (UTF-8).
std::string toNativePath(const UnicodeString &path);

} // namespace corekit::detail
