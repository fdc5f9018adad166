#include <common/timeaddr.h>

#include <listkit/listkit.h>

#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

UnicodeString twoDigits(long long v)
{
    UnicodeString s;
    s.push_back(static_cast<char16_t>(u'0' + (v / 10) % 10));
    s.push_back(static_cast<char16_t>(u'0' + v % 10));
    return s;
}

} // namespace

UnicodeString TimeText(TDateTime t)
{
    if (!std::isfinite(t) || std::trunc(t) == 0.0)
        return UnicodeString();
    const double frac = std::fabs(t - std::trunc(t));
    long long ms = std::llround(frac * 86400000.0);
    if (ms >= 86400000LL)
        ms = 86400000LL - 1; // a fraction that rounds up to midnight stays in its own day
    const long long secs = ms / 1000;
    return twoDigits(secs / 3600) + u":" + twoDigits(secs / 60 % 60) + u":" + twoDigits(secs % 60);
}

long long SecondsBetween(TDateTime a, TDateTime b)
{
    const double days = std::fabs(a - b);
    if (!std::isfinite(days) || days > 1e9)
        return 86400LL * 1000000000LL;
    return std::llround(days * 86400000.0) / 1000;
}

UnicodeString HelpFilePath()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path above = exe.parent_path().parent_path();
    return Utf8ToUnicode(above.string()) + u"/Doc" + u"/fenwa2doc.chm";
}

bool IsDottedAddress(const UnicodeString &text)
{
    std::vector<UnicodeString> parts;
    Sv_StrToList(text, u".", parts);
    if (parts.size() != 4)
        return false;
    try {
        for (const UnicodeString &p : parts) {
            if (StrToInt(p) >= 255)
                return false;
        }
    } catch (const EConvertError &) {
        return false;
    }
    return true;
}
