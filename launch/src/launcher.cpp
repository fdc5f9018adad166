#include "launcher.h"

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/settings.h>
#include <common/strtable.h>

#include <exception>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace {

UnicodeString lower(UnicodeString s)
{
    for (char16_t &c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

} // namespace

ELaunchFailed::ELaunchFailed() : ELaunchFailed(LoadStr(IDS_LAUNCH_ERROR)) {}

ELaunchFailed::ELaunchFailed(const UnicodeString &text) : std::runtime_error(UnicodeToUtf8(text)), FText(text)
{
}

TStation StationOfMachine(UnicodeString *note)
{
    UnicodeString value;
    try {
        value = ReadSetting(STATION_VALUE);
    } catch (const std::exception &) {
        // A "Station" value of another type than text names no part either.
        if (note)
            *note = u"the registry value \"Station\" is not text; starting the client agent";
        return TStation::Workstation;
    }
    const UnicodeString part = lower(value);
    if (part == u"master")
        return TStation::Master;
    if (!part.empty() && part != u"client" && note)
        *note = u"the registry value \"Station\" is \"" + value +
                u"\", neither \"Master\" nor \"Client\"; starting the client agent";
    return TStation::Workstation;
}

UnicodeString AgentFileName(TStation station)
{
    return station == TStation::Master ? u"master" : u"client";
}

UnicodeString OwnFolder()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? UnicodeString() : Utf8ToUnicode(exe.parent_path().string());
}

UnicodeString LaunchAgent(const UnicodeString &folder, UnicodeString *note)
{
    const THandleBlockInfo block = ProbeHandleBlock();
    if (block.holder == TBlockHolder::Agent)
        throw cmn_err(IDS_ALREADY_RUNNING);
    // The agent started now would find the name taken and end with an internal error; saying
    // whose block is in the way tells the user what to do about it.
    if (block.holder != TBlockHolder::None && geteuid() != 0)
        throw ELaunchFailed(Utf8ToUnicode(HandleBlockProblem(block)));
    // Without a folder of its own the launcher would start whatever "master" or "client" the
    // search path offers; it starts only its siblings.
    if (folder.empty())
        throw ELaunchFailed();
    const UnicodeString program = folder + u"/" + AgentFileName(StationOfMachine(note));
    if (!F_RunApp(program, UnicodeString()))
        throw ELaunchFailed();
    return program;
}
