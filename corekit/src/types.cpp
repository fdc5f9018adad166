#include <corekit/types.h>

#include <utf16.h>
#include <utf8.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <cwchar>

namespace {

// Parses the whole of s as the string layer does; false on anything it does not accept.
// Hexadecimal text may fill the full unsigned width of the target, which then wraps to the
// signed value with the same bits ("$FFFFFFFF" is -1), as stored bit patterns rely on.
bool parseInteger(const UnicodeString &s, int bits, long long &out)
{
    std::size_t i = 0;
    const std::size_t n = s.size();
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && s[i] == u'$') {
        hex = true;
        ++i;
    } else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return false;

    const unsigned long long unsignedMax = bits == 64 ? ULLONG_MAX : (1ULL << bits) - 1;
    const unsigned long long signedMax = unsignedMax >> 1;
    unsigned long long value = 0;
    for (; i < n; ++i) {
        const char16_t c = s[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        const unsigned base = hex ? 16 : 10;
        if (value > (unsignedMax - digit) / base)
            return false;
        value = value * base + digit;
    }

    const unsigned long long limit = hex ? unsignedMax : signedMax + (negative ? 1 : 0);
    if (value > limit)
        return false;
    if (hex && value > signedMax) {
        // Wrap to the signed value with the same bit pattern.
        long long wrapped = bits == 64
                                ? static_cast<long long>(value)
                                : static_cast<long long>(value) - static_cast<long long>(unsignedMax) - 1;
        // Negated in unsigned arithmetic: "-$8000000000000000" wraps to itself instead of
        // overflowing a signed value.
        out = negative ? static_cast<long long>(0ULL - static_cast<unsigned long long>(wrapped)) : wrapped;
        return true;
    }
    if (negative)
        out = value == signedMax + 1 ? (bits == 64 ? LLONG_MIN : -static_cast<long long>(value))
                                     : -static_cast<long long>(value);
    else
        out = static_cast<long long>(value);
    return true;
}

[[noreturn]] void conversionFailed(const UnicodeString &s)
{
    throw EConvertError("'" + UnicodeToUtf8(s) + "' is not a valid integer value");
}

} // namespace

int StrToInt(const UnicodeString &s)
{
    long long v;
    if (!parseInteger(s, 32, v) || v < INT_MIN || v > INT_MAX)
        conversionFailed(s);
    return static_cast<int>(v);
}

long long StrToInt64(const UnicodeString &s)
{
    long long v;
    if (!parseInteger(s, 64, v))
        conversionFailed(s);
    return v;
}

UnicodeString IntToStr(long long value)
{
    return U(std::to_string(value));
}

UnicodeString Utf8ToUnicode(std::string_view in)
{
    // Every byte of an invalid sequence reads as one replacement character.
    UnicodeString out;
    out.reserve(in.size());
    corekit::detail::AppendUtf8(in, out, corekit::detail::Utf8Invalid::Replace);
    return out;
}

std::string UnicodeToUtf8(const UnicodeString &s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = corekit::detail::NextCodePoint(s, i);
        if (corekit::detail::IsSurrogate(cp))
            cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

UnicodeString AnsiToUnicode(std::string_view ansi)
{
    UnicodeString out;
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < ansi.size()) {
        wchar_t wc;
        const std::size_t r = std::mbrtowc(&wc, ansi.data() + i, ansi.size() - i, &state);
        if (r == static_cast<std::size_t>(-1) || r == static_cast<std::size_t>(-2)) {
            out.push_back(u'?');
            state = std::mbstate_t{};
            ++i;
            continue;
        }
        const std::size_t used = r == 0 ? 1 : r;
        corekit::detail::AppendCodePoint(out, static_cast<char32_t>(wc));
        i += used;
    }
    return out;
}

std::string UnicodeToAnsi(const UnicodeString &s)
{
    std::string out;
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = corekit::detail::NextCodePoint(s, i);
        const std::size_t r = std::wcrtomb(buf, static_cast<wchar_t>(cp), &state);
        if (r == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            state = std::mbstate_t{};
        } else {
            out.append(buf, r);
        }
    }
    return out;
}

TDateTime UnixToDateTime(long long secs)
{
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    localtime_r(&t, &tm);
    // Days from 1899-12-30 to the local calendar date, then the local time of day.
    const long long localSecs = secs + tm.tm_gmtoff;
    constexpr long long epochOffsetDays = 25569; // 1970-01-01 as a day number
    return static_cast<double>(epochOffsetDays) + static_cast<double>(localSecs) / 86400.0;
}

long long DateTimeToUnix(TDateTime t)
{
    const long long localSecs = static_cast<long long>((t - 25569.0) * 86400.0 + (t >= 25569.0 ? 0.5 : -0.5));
    // Undo the local offset; near a change of offset the guess is corrected once.
    std::time_t guess = static_cast<std::time_t>(localSecs);
    std::tm tm{};
    localtime_r(&guess, &tm);
    guess = static_cast<std::time_t>(localSecs - tm.tm_gmtoff);
    localtime_r(&guess, &tm);
    return localSecs - tm.tm_gmtoff;
}

TDateTime Now()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const long long secs = ms / 1000;
    return UnixToDateTime(secs) + static_cast<double>(ms % 1000) / 86400000.0;
}
