// The RG_ functions: string and binary values under HKEY_LOCAL_MACHINE\\SOFTWARE, reported as
// the registry layer reports, by result for what is missing and by exception for a value that
// cannot be read or written as asked.
#include <corekit/registry.h>

#include "registry_keys.h"

#include <cstring>

using namespace korvel::reg;

namespace {

std::string describe(const UnicodeString &name)
{
    return "'" + UnicodeToUtf8(name) + "'";
}

// False for a missing key and for a store that cannot be opened for writing (no rights, busy,
// damaged); a name the store cannot keep, or a write that failed once begun, raises.
bool setIn(const UnicodeString &path, const Value &value)
{
    bool writeFailed = false;
    const Result r = detail::setInExistingKey(path, value, writeFailed);
    if (r.status == Status::BadName || writeFailed)
        throw ERegistryException("Failed to set data for " + describe(value.name) + ": " + r.message);
    return r.ok();
}

} // namespace

UnicodeString RG_GetRegString(const UnicodeString &key, const UnicodeString &name, bool wow6432)
{
    Value v;
    if (!getValue(machineSoftwarePath(key, wow6432), name, v).ok())
        return {};
    const auto text = v.text();
    if (!text)
        throw ERegistryException("Invalid data type for " + describe(name));
    return *text;
}

bool RG_SetRegString(const UnicodeString &key, const UnicodeString &name, const UnicodeString &value,
                     bool wow6432)
{
    return setIn(machineSoftwarePath(key, wow6432), Value::string(name, value));
}

int RG_GetRegBin(const UnicodeString &name, void *buffer, int size, bool wow6432)
{
    Value v;
    if (!getValue(machineSoftwarePath(name, wow6432), name, v).ok())
        return 0;
    if (v.type == RegSz || v.type == RegExpandSz || v.type == RegDword)
        throw ERegistryException("Invalid data type for " + describe(name));
    if (size < 0 || v.data.size() > std::size_t(size))
        throw ERegistryException("Failed to get data for " + describe(name) + ": the buffer is too small");
    if (!v.data.empty())
        std::memcpy(buffer, v.data.data(), v.data.size());
    return int(v.data.size());
}

bool RG_SetRegBin(const UnicodeString &name, const void *data, int size, bool wow6432)
{
    if (size < 0 || (size > 0 && !data))
        return false;
    return setIn(machineSoftwarePath(name, wow6432), Value::binary(name, data, std::size_t(size)));
}
