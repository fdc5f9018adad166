#include "registry_names.h"

#include <QString>

namespace korvel::reg::detail {

namespace {

bool isAscii(const UnicodeString &s)
{
    for (char16_t c : s)
        if (c >= 0x80)
            return false;
    return true;
}

std::string quoted(const UnicodeString &name, std::size_t most = 80)
{
    const std::string text = UnicodeToUtf8(name.substr(0, most));
    return "'" + text + (name.size() > most ? "...'" : "'");
}

} // namespace

UnicodeString fold(const UnicodeString &s)
{
    if (isAscii(s)) {
        UnicodeString r = s;
        for (char16_t &c : r)
            if (c >= u'A' && c <= u'Z')
                c = char16_t(c - u'A' + u'a');
        return r;
    }
    return QString::fromStdU16String(s).toCaseFolded().toStdU16String();
}

bool sameName(const UnicodeString &a, const UnicodeString &b)
{
    if (isAscii(a) && isAscii(b)) {
        if (a.size() != b.size())
            return false;
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
        for (std::size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i]))
                return false;
        return true;
    }
    return fold(a) == fold(b);
}

UnicodeString trimPath(UnicodeString p)
{
    while (!p.empty() && p.back() == u'\\')
        p.pop_back();
    return p;
}

bool quotable(const UnicodeString &s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

Result checkKeyPath(const UnicodeString &path)
{
    // A control character would break the key's line of the store, which would then no longer
    // read at all.
    if (!quotable(path))
        return {Status::BadName, "the key " + quoted(path) +
                                     " holds a control character, which the registry file cannot keep"};
    std::size_t depth = 1, length = 0;
    for (char16_t c : path) {
        if (c == u'\\') {
            ++depth;
            length = 0;
        } else if (++length > kMaxKeyNameLength) {
            return {Status::BadName, "the key " + quoted(path) + " has a name longer than " +
                                         std::to_string(kMaxKeyNameLength) + " characters"};
        }
    }
    if (depth > kMaxKeyDepth)
        return {Status::BadName,
                "the key " + quoted(path) + " is deeper than " + std::to_string(kMaxKeyDepth) + " levels"};
    return {};
}

Result checkValueName(const UnicodeString &name)
{
    if (!quotable(name))
        return {Status::BadName, "the value name " + quoted(name) +
                                     " holds a control character, which the registry file cannot keep"};
    if (name.size() > kMaxValueNameLength)
        return {Status::BadName, "the value name " + quoted(name) + " is longer than " +
                                     std::to_string(kMaxValueNameLength) + " characters"};
    return {};
}

} // namespace korvel::reg::detail
