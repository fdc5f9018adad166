#include <common/settings.h>

#include <common/aux.h>

#include <listkit/listkit.h>

#include <cstdio>
#include <exception>
#include <vector>

namespace {

// The installation marks the 32-bit view by a non-empty "HeadProgram" there.
bool useWow6432()
{
    return !RG_GetRegString(KORVEL_REG_KEY, u"HeadProgram", true).empty();
}

UnicodeString hexLower(std::uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(v));
    return U(buf);
}

bool loadMaster(TMstSettings &s)
{
    const UnicodeString portText = ReadSetting(u"Port");
    const UnicodeString master = ReadSetting(u"Master");
    if (master.empty())
        return false;
    std::vector<UnicodeString> parts;
    Sv_StrToList(master, u"hms", parts);
    if (parts.size() < 4)
        return false;
    s.auditPeriod = static_cast<std::uint16_t>(StrToInt(u"0x" + parts[0]));
    s.second = static_cast<std::uint16_t>(StrToInt(u"0x" + parts[1]));
    s.third = static_cast<std::uint16_t>(StrToInt(u"0x" + parts[2]));
    s.gracePeriod = static_cast<std::uint16_t>(StrToInt(u"0x" + parts[3]));
    s.port = static_cast<std::uint16_t>(StrToInt(portText));
    return true;
}

} // namespace

UnicodeString ReadSetting(const UnicodeString &name)
{
    return RG_GetRegString(KORVEL_REG_KEY, name, useWow6432());
}

bool WriteSetting(const UnicodeString &name, const UnicodeString &text)
{
    return RG_SetRegString(KORVEL_REG_KEY, name, text, useWow6432());
}

void MstSetDefaults(TMstSettings &s)
{
    s = TMstSettings{};
}

bool MstSetLoad(TMstSettings &s)
{
    bool ok = false;
    try {
        ok = loadMaster(s);
    } catch (const std::exception &) {
        ok = false;
    }
    if (!ok)
        MstSetDefaults(s);
    return ok;
}

UnicodeString MstSetMasterText(const TMstSettings &s)
{
    return hexLower(s.auditPeriod) + u"h" + hexLower(s.second) + u"m" + hexLower(s.third) + u"s"
           + hexLower(s.gracePeriod);
}

void MstSetSave(const TMstSettings &s)
{
    try {
        WriteSetting(u"Master", MstSetMasterText(s));
        WriteSetting(u"Port", IntToStr(s.port));
    } catch (const std::exception &) {
        // Settings that cannot be kept are simply not kept.
    }
}

void ClnSetDefaults(TClnSettings &s)
{
    s = TClnSettings{};
}

void ClnSetLoad(TClnSettings &s)
{
    ClnSetDefaults(s);
    try {
        const UnicodeString port = ReadSetting(u"Port");
        const UnicodeString address = ReadSetting(u"Address");
        const UnicodeString host = ReadSetting(u"Host");
        try {
            s.port = static_cast<std::uint16_t>(StrToInt(port));
        } catch (const EConvertError &) {
            s.port = 52100;
        }
        s.address = IsDottedAddress(address) ? address : UnicodeString();
        s.host = host;
    } catch (const std::exception &) {
        ClnSetDefaults(s);
    }
}

void ClnSetSave(const TClnSettings &s)
{
    try {
        WriteSetting(u"Address", s.address);
        WriteSetting(u"Host", s.host);
    } catch (const std::exception &) {
    }
}
