// Types at the boundary of the suite's libraries and the string layer's conversions.
// Include <corekit/corekit.h> rather than this header.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

/// UTF-16 text; one character is one code unit, positions in the API are 1-based.
using UnicodeString = std::u16string;

/// Days since 1899-12-30 00:00 local time; the fraction is the time of day.
using TDateTime = double;

/// Raised by the string layer's string-to-integer conversion for text that is not an integer.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The string layer's string-to-integer conversion, used wherever the suite converts text:
/// an optional '+' or '-', then decimal digits, or '0x' / '0X' / '$' and hexadecimal digits.
/// Nothing else is accepted (no blanks). Out of the int range, or anything else, throws
/// EConvertError. Hexadecimal text may spell a 32-bit pattern: "$FFFFFFFF" gives -1.
int StrToInt(const UnicodeString &s);

/// The same for 64-bit values.
long long StrToInt64(const UnicodeString &s);

/// Decimal text of a number, as the string layer writes it ("-12").
UnicodeString IntToStr(long long value);

/// UTF-8 <-> UTF-16. Invalid UTF-8 bytes become U+FFFD; lone surrogates are written as U+FFFD.
UnicodeString Utf8ToUnicode(std::string_view utf8);
std::string UnicodeToUtf8(const UnicodeString &s);

/// The locale's narrow ("ANSI") encoding <-> UTF-16; characters the locale cannot represent
/// become '?'.
UnicodeString AnsiToUnicode(std::string_view ansi);
std::string UnicodeToAnsi(const UnicodeString &s);

/// Plain ASCII text to UnicodeString, for literals and numbers in our own code.
inline UnicodeString U(std::string_view ascii)
{
    return UnicodeString(ascii.begin(), ascii.end());
}

/// The current local date and time, and conversions to and from seconds since the epoch.
TDateTime Now();
TDateTime UnixToDateTime(long long secondsSinceEpoch);
long long DateTimeToUnix(TDateTime t);
