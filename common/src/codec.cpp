#include <common/codec.h>

#include <corekit/corekit.h>
#include <listkit/listkit.h>

#include <cstdio>
#include <vector>

std::string MsgCompose(int code, int field2, int field3, int field4)
{
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%d,%d,%d,%d", code, field2, field3, field4);
    return std::string(buf, static_cast<std::size_t>(n));
}

int MsgParse(const std::string &text, int &field2, int &field3, int &field4)
{
    // The wire text is ASCII; bytes above 0x7F are widened one to one so that they can
    // never merge with a comma or a digit.
    UnicodeString wide;
    wide.reserve(text.size());
    for (unsigned char c : text)
        wide.push_back(static_cast<char16_t>(c));

    std::vector<UnicodeString> parts;
    Sv_StrToList(wide, u",", parts);
    if (parts.size() < 4)
        return 0;
    try {
        const int code = StrToInt(parts[0]);
        // The code is a 16-bit value; a wider number is not a code (65648 must not pass as 112).
        if (code < 0 || code > 0xFFFF)
            return 0;
        field2 = StrToInt(parts[1]);
        field3 = StrToInt(parts[2]);
        field4 = StrToInt(parts[3]);
        return code;
    } catch (const EConvertError &) {
        return 0;
    }
}
