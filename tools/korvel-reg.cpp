// korvel-reg: look at and change the suite's registry store, the way `reg` does.
//
//   korvel-reg query  KEY [/v NAME | /ve] [/s] [/reg:32|/reg:64]
//   korvel-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f] [/reg:32|/reg:64]
//   korvel-reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32|/reg:64]
//
// Exit status: 0 done, 1 failed or not found, 2 bad command line.
#include <corekit/corekit.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace korvel::reg;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void usage(FILE *out)
{
    std::fprintf(out,
                 "Usage:\n"
                 "  korvel-reg query  KEY [/v NAME | /ve] [/s] [/reg:32|/reg:64]\n"
                 "  korvel-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f] [/reg:32|/reg:64]\n"
                 "  korvel-reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32|/reg:64]\n"
                 "\n"
                 "  KEY      HKLM\\SOFTWARE\\... (or HKEY_LOCAL_MACHINE\\SOFTWARE\\...)\n"
                 "  /v NAME  one value; /ve the default (unnamed) value; /va every value of the key\n"
                 "  /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_DWORD or REG_BINARY\n"
                 "  /d DATA  the data: text, a number (decimal or 0x...) or hexadecimal bytes\n"
                 "  /s       query the key and all its subkeys\n"
                 "  /f       accepted for compatibility; nothing is ever asked\n"
                 "  /reg:32  the WOW6432Node view of SOFTWARE; /reg:64 the plain view (default)\n"
                 "\n"
                 "Examples:\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel'\n"
                 "      create the suite's key (the package does this at installation)\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v Station /d Master\n"
                 "      make this machine the master station: launch starts the master here\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v Station /d Client\n"
                 "      make it a workstation (the same as no Station value): launch starts the client\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v Address /d 192.168.0.10\n"
                 "      the master's address for the client agent of this workstation\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v Port /d 52100\n"
                 "      the master's TCP port (the master listens on it, the client connects to it)\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v HttpAddress /d 0.0.0.0\n"
                 "      where the master's status page, JSON API and metrics listen (default 127.0.0.1,\n"
                 "      this machine only; 0.0.0.0 opens them to the network)\n"
                 "  korvel-reg add 'HKLM\\SOFTWARE\\Ardentis\\Korvel' /v HttpPort /d 52180\n"
                 "      their TCP port (default 52180; 0 turns them off)\n"
                 "  korvel-reg query 'HKLM\\SOFTWARE\\Ardentis\\Korvel'\n"
                 "      every value of the suite's key\n"
                 "\n"
                 "Store: %s (set KORVEL_REGISTRY to use another file)\n"
                 "Exit status: 0 done, 1 failed or not found, 2 bad command line.\n",
                 storePath().c_str());
}

int syntaxError(const std::string &why)
{
    std::fprintf(stderr, "ERROR: Invalid syntax: %s\nType \"korvel-reg /?\" for usage.\n", why.c_str());
    return kUsage;
}

int report(const Result &r)
{
    switch (r.status) {
    case Status::Ok:
        std::printf("The operation completed successfully.\n");
        return kOk;
    case Status::NotFound:
        std::fprintf(stderr, "ERROR: The system was unable to find the specified registry key or value.\n");
        return kFailed;
    case Status::Damaged:
    case Status::IoError:
    case Status::BadName:
    case Status::Busy:
        break;
    }
    std::fprintf(stderr, "ERROR: %s\n", r.message.c_str());
    return kFailed;
}

UnicodeString upper(UnicodeString s)
{
    for (char16_t &c : s)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return s;
}

// "HKLM\SOFTWARE\X" -> "HKEY_LOCAL_MACHINE\SOFTWARE\X"; the 32-bit view puts WOW6432Node
// right after SOFTWARE, as the system redirects only that branch.
std::optional<UnicodeString> storeKeyPath(const UnicodeString &arg, bool wow6432)
{
    const auto slash = arg.find(u'\\');
    const UnicodeString root = upper(arg.substr(0, slash));
    if (root != u"HKLM" && root != u"HKEY_LOCAL_MACHINE")
        return std::nullopt;
    UnicodeString rest = slash == UnicodeString::npos ? UnicodeString() : arg.substr(slash + 1);
    while (!rest.empty() && rest.back() == u'\\')
        rest.pop_back();
    if (rest.empty() || rest.find(u"\\\\") != UnicodeString::npos || rest.front() == u'\\')
        return std::nullopt;
    if (wow6432) {
        const auto cut = rest.find(u'\\');
        if (upper(rest.substr(0, cut)) == u"SOFTWARE") {
            const UnicodeString below = cut == UnicodeString::npos ? UnicodeString() : rest.substr(cut);
            rest = rest.substr(0, cut == UnicodeString::npos ? rest.size() : cut) + u"\\WOW6432Node" + below;
        }
    }
    return u"HKEY_LOCAL_MACHINE\\" + rest;
}

const char *typeName(uint32_t type)
{
    switch (type) {
    case RegNone:
        return "REG_NONE";
    case RegSz:
        return "REG_SZ";
    case RegExpandSz:
        return "REG_EXPAND_SZ";
    case RegBinary:
        return "REG_BINARY";
    case RegDword:
        return "REG_DWORD";
    case RegMultiSz:
        return "REG_MULTI_SZ";
    default:
        return "REG_UNKNOWN";
    }
}

std::string dataText(const Value &v)
{
    if (const auto text = v.text())
        return UnicodeToUtf8(*text);
    if (v.type == RegDword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x",
                      unsigned(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24));
        return buf;
    }
    if (v.type == RegMultiSz) {
        std::string out;
        UnicodeString s;
        for (std::size_t i = 0; i + 1 < v.data.size(); i += 2)
            s += char16_t(v.data[i] | v.data[i + 1] << 8);
        while (!s.empty() && s.back() == 0)
            s.pop_back();
        for (char16_t c : s)
            out += c == 0 ? std::string("\\0") : UnicodeToUtf8(UnicodeString(1, c));
        return out;
    }
    std::string out;
    char buf[4];
    for (uint8_t b : v.data) {
        std::snprintf(buf, sizeof buf, "%02X", unsigned(b));
        out += buf;
    }
    return out;
}

void printValue(const Value &v)
{
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : UnicodeToUtf8(v.name).c_str(),
                typeName(v.type), dataText(v).c_str());
}

void printKey(const KeyListing &l)
{
    std::printf("\n%s\n", UnicodeToUtf8(l.path).c_str());
    for (const Value &v : l.values)
        printValue(v);
}

int queryKey(const UnicodeString &path, bool recursive)
{
    if (recursive) {
        std::vector<KeyListing> tree;
        if (const Result r = listTree(path, tree); !r.ok())
            return report(r);
        for (const KeyListing &l : tree)
            printKey(l);
        return kOk;
    }
    KeyListing l;
    if (const Result r = listKey(path, l); !r.ok())
        return report(r);
    printKey(l);
    if (!l.subkeys.empty())
        std::printf("\n");
    for (const UnicodeString &sub : l.subkeys)
        std::printf("%s\\%s\n", UnicodeToUtf8(l.path).c_str(), UnicodeToUtf8(sub).c_str());
    return kOk;
}

std::optional<Value> buildValue(const UnicodeString &name, const UnicodeString &type,
                                const UnicodeString &data)
{
    const UnicodeString t = upper(type);
    if (t.empty() || t == u"REG_SZ")
        return Value::string(name, data);
    if (t == u"REG_EXPAND_SZ")
        return Value::string(name, data, RegExpandSz);
    if (t == u"REG_DWORD") {
        try {
            const long long n = StrToInt64(data.empty() ? UnicodeString(u"0") : data);
            if (n < 0 || n > 0xFFFFFFFFLL)
                return std::nullopt;
            return Value::dword(name, uint32_t(n));
        } catch (const EConvertError &) {
            return std::nullopt;
        }
    }
    if (t == u"REG_BINARY") {
        if (data.size() % 2 != 0)
            return std::nullopt;
        std::vector<uint8_t> bytes;
        for (std::size_t i = 0; i < data.size(); i += 2) {
            try {
                const int b = StrToInt(u"$" + data.substr(i, 2));
                if (b < 0)
                    return std::nullopt;
                bytes.push_back(uint8_t(b));
            } catch (const EConvertError &) {
                return std::nullopt;
            }
        }
        return Value::binary(name, bytes.data(), bytes.size());
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<UnicodeString> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Utf8ToUnicode(argv[i]));
    if (args.empty())
        return syntaxError("no operation given");
    const UnicodeString op = upper(args[0]);
    if (op == u"/?" || op == u"-?" || op == u"/H" || op == u"-H" || op == u"--HELP") {
        usage(stdout);
        return kOk;
    }
    if (op != u"QUERY" && op != u"ADD" && op != u"DELETE")
        return syntaxError("unknown operation " + UnicodeToUtf8(args[0]));
    if (args.size() < 2)
        return syntaxError("no key given");

    std::optional<UnicodeString> valueName, type, data;
    bool allValues = false, recursive = false, wow6432 = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const UnicodeString opt = upper(args[i]);
        auto next = [&]() -> std::optional<UnicodeString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (opt.empty() || (opt[0] != u'/' && opt[0] != u'-'))
            return syntaxError("unexpected argument " + UnicodeToUtf8(args[i]));
        const UnicodeString o = u"/" + opt.substr(1);
        if (o == u"/V") {
            if (valueName || !(valueName = next()))
                return syntaxError("/v needs one value name");
        } else if (o == u"/VE") {
            if (valueName)
                return syntaxError("give only one of /v and /ve");
            valueName = UnicodeString();
        } else if (o == u"/VA" && op == u"DELETE") {
            allValues = true;
        } else if (o == u"/T" && op == u"ADD") {
            if (type || !(type = next()))
                return syntaxError("/t needs one type");
        } else if (o == u"/D" && op == u"ADD") {
            if (data || !(data = next()))
                return syntaxError("/d needs its data");
        } else if (o == u"/S" && op == u"QUERY") {
            recursive = true;
        } else if (o == u"/F" && op != u"QUERY") {
            // Nothing is ever asked, so there is nothing to force.
        } else if (o == u"/REG:32") {
            wow6432 = true;
        } else if (o == u"/REG:64") {
            wow6432 = false;
        } else {
            return syntaxError("unknown option " + UnicodeToUtf8(args[i]));
        }
    }
    if (allValues && valueName)
        return syntaxError("give only one of /v, /ve and /va");
    if ((type || data) && !valueName)
        return syntaxError("/t and /d need /v or /ve");
    if (recursive && valueName)
        return syntaxError("give only one of /v and /s");

    const auto path = storeKeyPath(args[1], wow6432);
    if (!path) {
        std::fprintf(stderr,
                     "ERROR: Invalid key name %s: only HKLM\\... keys are kept.\n"
                     "Type \"korvel-reg /?\" for usage.\n",
                     argv[2]);
        return kUsage;
    }

    if (op == u"QUERY") {
        if (!valueName)
            return queryKey(*path, recursive);
        Value v;
        if (const Result r = getValue(*path, *valueName, v); !r.ok())
            return report(r);
        KeyListing l;
        listKey(*path, l);
        std::printf("\n%s\n", UnicodeToUtf8(l.path.empty() ? *path : l.path).c_str());
        printValue(v);
        return kOk;
    }
    if (op == u"ADD") {
        if (!valueName)
            return report(createKey(*path));
        const auto v = buildValue(*valueName, type.value_or(UnicodeString()), data.value_or(UnicodeString()));
        if (!v)
            return syntaxError(
                "the type or the data is not valid (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY)");
        return report(setValue(*path, *v, true));
    }
    // DELETE
    if (valueName)
        return report(deleteValue(*path, *valueName));
    if (allValues) {
        KeyListing l;
        Result r = listKey(*path, l);
        for (const Value &v : l.values)
            if (r.ok())
                r = deleteValue(*path, v.name);
        return report(r);
    }
    return report(deleteKey(*path));
}
