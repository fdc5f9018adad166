#include <common/settings.h>

#include <common/timeaddr.h>

#include <listkit/listkit.h>

#include <cstdio>
#include <exception>
#include <utility>
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

// One value into the chosen view, with what went wrong if it was not kept.
korvel::reg::Result keepSetting(const UnicodeString &name, const UnicodeString &text)
{
    using namespace korvel::reg;
    bool wow6432 = false;
    try {
        wow6432 = useWow6432();
    } catch (const std::exception &e) {
        return {Status::IoError, std::string("the view cannot be chosen: ") + e.what()};
    }
    return setValue(machineSoftwarePath(KORVEL_REG_KEY, wow6432), Value::string(name, text), false);
}

// Saves the values in order. A value that is not kept for any reason but a missing key (the
// installation's choice) is named on stderr with the reason. Once the store itself fails
// (locked, unreadable, damaged), the others would fail alike, each after the same wait, so they
// are reported with that reason and not tried.
void saveAll(const std::vector<std::pair<UnicodeString, UnicodeString>> &values)
{
    using korvel::reg::Status;
    korvel::reg::Result storeFailure;
    for (const auto &[name, text] : values) {
        const korvel::reg::Result r = storeFailure.ok() ? keepSetting(name, text) : storeFailure;
        if (r.ok() || r.status == Status::NotFound)
            continue;
        std::fprintf(stderr, "korvel: the setting \"%s\" is not kept: %s\n", UnicodeToUtf8(name).c_str(),
                     r.message.c_str());
        if (r.status != Status::BadName)
            storeFailure = r;
    }
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
    return hexLower(s.auditPeriod) + u"h" + hexLower(s.second) + u"m" + hexLower(s.third) + u"s" +
           hexLower(s.gracePeriod);
}

void MstSetSave(const TMstSettings &s)
{
    saveAll({{u"Master", MstSetMasterText(s)}, {u"Port", IntToStr(s.port)}});
}

void HttpSetLoad(THttpSettings &s)
{
    s = THttpSettings{};
    try {
        const UnicodeString address = ReadSetting(u"HttpAddress");
        if (!address.empty())
            s.address = address;
        const UnicodeString port = ReadSetting(u"HttpPort");
        if (!port.empty()) {
            const int n = StrToInt(port);
            if (n >= 0 && n <= 0xFFFF)
                s.port = static_cast<std::uint16_t>(n);
        }
    } catch (const std::exception &) {
        // A store that cannot be read, or a port that does not convert: the defaults.
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
    saveAll({{u"Address", s.address}, {u"Host", s.host}});
}
