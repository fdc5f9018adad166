#include <corekit/strings.h>

#include <algorithm>
#include <string_view>

namespace {

using View = std::u16string_view;

// 1-based Pos(sub, s): 0 when sub is empty or absent.
std::size_t pos(View sub, View s, std::size_t from = 0)
{
    if (sub.empty())
        return 0;
    const std::size_t i = s.find(sub, from);
    return i == View::npos ? 0 : i + 1;
}

// Groups the digits of a decimal text (an optional minus sign first) in threes. The sign is
// not counted as a digit, so -123 gives -123 and not -,123.
UnicodeString groupDigits(const std::string &decimal, char16_t separator)
{
    const std::size_t sign = (!decimal.empty() && decimal[0] == '-') ? 1 : 0;
    const std::size_t digits = decimal.size() - sign;
    UnicodeString out;
    out.reserve(decimal.size() + digits / 3);
    if (sign)
        out.push_back(u'-');
    for (std::size_t i = 0; i < digits; ++i) {
        if (i > 0 && (digits - i) % 3 == 0)
            out.push_back(separator);
        out.push_back(static_cast<char16_t>(decimal[sign + i]));
    }
    return out;
}

} // namespace

UnicodeString S_Quote(const UnicodeString &s)
{
    UnicodeString out;
    out.reserve(s.size() + 2);
    out.push_back(u'"');
    for (char16_t c : s) {
        if (c == u'"')
            out.push_back(u'"');
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

int S_StrToIntTS(const UnicodeString &s, char16_t separator)
{
    UnicodeString plain;
    plain.reserve(s.size());
    std::copy_if(s.begin(), s.end(), std::back_inserter(plain),
                 [separator](char16_t c) { return c != separator; });
    return StrToInt(plain);
}

UnicodeString S_IntToStrTS(int value, char16_t separator)
{
    return groupDigits(std::to_string(value), separator);
}

UnicodeString S_IntToStrTs(long long value, char16_t separator)
{
    return groupDigits(std::to_string(value), separator);
}

UnicodeString S_Space(int count, char16_t c)
{
    return count > 0 ? UnicodeString(static_cast<std::size_t>(count), c) : UnicodeString();
}

UnicodeString S_LeftPad(const UnicodeString &s, int width, char16_t c)
{
    if (width <= 0 || s.size() >= static_cast<std::size_t>(width))
        return s;
    return UnicodeString(static_cast<std::size_t>(width) - s.size(), c) + s;
}

UnicodeString S_RightPad(const UnicodeString &s, int width, char16_t c)
{
    if (width <= 0 || s.size() >= static_cast<std::size_t>(width))
        return s;
    return s + UnicodeString(static_cast<std::size_t>(width) - s.size(), c);
}

bool S_DigitString(const UnicodeString &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

void S_StrToCharr(const UnicodeString &s, char16_t *buffer, int size)
{
    if (!buffer || size < 1)
        return;
    const std::size_t n = std::min(static_cast<std::size_t>(size) - 1, s.size());
    std::copy_n(s.data(), n, buffer);
    buffer[n] = u'\0';
}

UnicodeString S_After(const UnicodeString &s, char16_t c)
{
    const std::size_t i = s.rfind(c);
    if (i == UnicodeString::npos)
        return {};
    return s.substr(i + 1);
}

UnicodeString S_Before(const UnicodeString &s, char16_t c)
{
    const std::size_t i = s.rfind(c);
    if (i == UnicodeString::npos)
        return {};
    return s.substr(0, i);
}

UnicodeString S_Divide(const UnicodeString &s, const UnicodeString &delimiter, bool first)
{
    const std::size_t ls = s.size();
    const std::size_t ld = delimiter.size();
    if (ls <= ld)
        return s;
    const std::size_t p = pos(delimiter, s);
    if (p == 0)
        return s;
    if (p == 1)
        return first ? UnicodeString() : s.substr(ld);
    if (p > ls - ld)
        return first ? s.substr(0, p - 1) : UnicodeString();
    return first ? s.substr(0, p - 1) : s.substr(p - 1 + ld);
}

UnicodeString S_Divide(const UnicodeString &s, const UnicodeString &delimiter, UnicodeString &rest)
{
    // Taking a text apart step by step passes the same string as s and rest (or as the
    // delimiter); emptying rest must not empty what is being divided.
    if (&rest == &s || &rest == &delimiter) {
        const UnicodeString text = s, delim = delimiter;
        return S_Divide(text, delim, rest);
    }
    rest.clear();
    const std::size_t ls = s.size();
    const std::size_t ld = delimiter.size();
    if (ls == 0 || ls <= ld)
        return s;
    const std::size_t p = pos(delimiter, s);
    if (p == 0)
        return s;
    if (p == 1) {
        rest = s;
        return {};
    }
    // A delimiter followed by at most one character counts as at the end here (unlike the
    // overload that chooses a side): "ab=c" stays whole with nothing split off.
    if (p >= ls - ld)
        return s;
    rest = s.substr(p - 1 + ld);
    return s.substr(0, p - 1);
}

int S_Count(const UnicodeString &s, char16_t c)
{
    return static_cast<int>(std::count(s.begin(), s.end(), c));
}

int S_Count(const UnicodeString &s, const UnicodeString &sub)
{
    if (sub.empty())
        return 0;
    // Searching on from the end of each match counts what cutting the text would, without
    // copying the remaining text every time.
    const View text(s);
    int count = 0;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t i = text.find(sub, from);
        if (i == View::npos)
            break;
        ++count;
        from = i + sub.size();
    }
    return count;
}
