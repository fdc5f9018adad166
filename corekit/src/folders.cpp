// The system's well-known folders: the user's desktop, program data, the system folder.
#include <corekit/files.h>
#include <corekit/strings.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <pwd.h>
#include <unistd.h>

namespace {

std::string homeFolder()
{
    if (const char *h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

// The XDG desktop folder: XDG_DESKTOP_DIR of user-dirs.dirs, else ~/Desktop.
std::string desktopFolder()
{
    const std::string home = homeFolder();
    std::string config;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        config = x;
    else if (!home.empty())
        config = home + "/.config";
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DESKTOP_DIR=\"";
        if (line.compare(0, key.size(), key) != 0 || line.size() < key.size() + 1 || line.back() != '"')
            continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0)
            value = home + value.substr(5);
        if (!value.empty() && value.front() == '/') {
            while (value.size() > 1 && value.back() == '/')
                value.pop_back();
            return value;
        }
    }
    return home.empty() ? std::string() : home + "/Desktop";
}

} // namespace

UnicodeString F_GetWinFolder(const GUID &id)
{
    if (id == FOLDERID_Desktop)
        return Utf8ToUnicode(desktopFolder());
    if (id == FOLDERID_ProgramData)
        return u"/var/lib";
    if (id == FOLDERID_Windows)
        return u"/usr";
    return {};
}

UnicodeString F_GetMyComputerFolder()
{
    return F_GetWinFolder(FOLDERID_Desktop);
}

UnicodeString F_GetProgramDataFolder()
{
    return F_GetWinFolder(FOLDERID_ProgramData);
}

UnicodeString F_GetSysDisc()
{
    const UnicodeString system = F_GetWinFolder(FOLDERID_Windows);
    if (system.empty())
        return {};
    return S_Divide(system, u"/", true) + u'/';
}
