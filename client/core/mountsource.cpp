#include "mountsource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

namespace {

// The kernel writes blanks, tabs, newlines and backslashes of a field as \ooo.
QString Unescape(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size()) {
            const auto isOct = [](char d) { return d >= '0' && d <= '7'; };
            if (isOct(field[i + 1]) && isOct(field[i + 2]) && isOct(field[i + 3])) {
                const int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
                if (v <= 0xFF) {
                    out.append(static_cast<char>(v));
                    i += 3;
                    continue;
                }
            }
        }
        out.append(c);
    }
    return QFile::decodeName(out);
}

// "/mnt/a" holds "/mnt/a" and "/mnt/a/b", not "/mnt/ab"; "/" holds every absolute path.
bool Holds(const QString &mountPoint, const QString &path)
{
    if (mountPoint == QLatin1String("/"))
        return true;
    if (!path.startsWith(mountPoint))
        return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == QLatin1Char('/');
}

// "[fe80::1]" -> "fe80::1"; other names stay.
QString StripBrackets(const QString &host)
{
    if (host.size() >= 2 && host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        return host.mid(1, host.size() - 2);
    return host;
}

// "host:path" or "[v6]:path" -> host, and the path into *rest; empty without the colon that
// ends the host.
QString HostBeforeColon(const QString &s, QString *rest = nullptr)
{
    qsizetype colon = -1;
    QString host;
    if (s.startsWith(QLatin1Char('['))) {
        const qsizetype close = s.indexOf(QLatin1Char(']'));
        if (close < 0 || close + 1 >= s.size() || s[close + 1] != QLatin1Char(':'))
            return {};
        colon = close + 1;
        host = s.mid(1, close - 1);
    } else {
        colon = s.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            return {};
        host = s.left(colon);
    }
    if (rest)
        *rest = s.mid(colon + 1);
    return host;
}

} // namespace

QByteArray ReadMountTable()
{
    // The file's size reads as 0, so read until its end rather than by size.
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

std::vector<TMountEntry> ParseMountTable(const QByteArray &mountinfo)
{
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::vector<TMountEntry> table;
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 10)
            continue;
        qsizetype dash = -1;
        for (qsizetype i = 6; i < f.size(); ++i) {
            if (f[i] == "-") {
                dash = i;
                break;
            }
        }
        if (dash < 0 || dash + 2 >= f.size())
            continue;
        table.push_back({Unescape(f[4]), Unescape(f[dash + 1]), Unescape(f[dash + 2])});
    }
    return table;
}

const TMountEntry *MountHolding(const std::vector<TMountEntry> &table, const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return nullptr;
    const TMountEntry *best = nullptr;
    for (const TMountEntry &e : table) {
        if (Holds(e.mountPoint, path) && (!best || e.mountPoint.size() >= best->mountPoint.size()))
            best = &e;
    }
    return best;
}

QString MountSourceHost(const TMountEntry &entry)
{
    const QString &type = entry.fsType;
    const QString &src = entry.source;
    if (type == QLatin1String("cifs") || type == QLatin1String("smb3") || type == QLatin1String("smbfs")) {
        if (!src.startsWith(QLatin1String("//")))
            return {};
        const qsizetype end = src.indexOf(QLatin1Char('/'), 2);
        return StripBrackets(src.mid(2, end < 0 ? -1 : end - 2));
    }
    if (type == QLatin1String("nfs") || type == QLatin1String("nfs4")) {
        // An NFS source names an exported path after the colon.
        QString path;
        const QString host = HostBeforeColon(src, &path);
        return path.startsWith(QLatin1Char('/')) ? host : QString();
    }
    if (type == QLatin1String("fuse.sshfs")) {
        QString s = src;
        const qsizetype at = s.indexOf(QLatin1Char('@'));
        const qsizetype colon = s.indexOf(QLatin1Char(':'));
        // The user part ends before the host; an '@' after the colon belongs to the path.
        if (at >= 0 && (colon < 0 || at < colon))
            s = s.mid(at + 1);
        return HostBeforeColon(s);
    }
    return {};
}

QString FolderHost(const QString &folder, const QByteArray &mountinfo)
{
    const QString real = QFileInfo(folder).canonicalFilePath();
    const QString path = real.isEmpty() ? QDir::cleanPath(folder) : real;
    const std::vector<TMountEntry> table = ParseMountTable(mountinfo);
    const TMountEntry *e = MountHolding(table, path);
    return e ? MountSourceHost(*e) : QString();
}

UnicodeString ResolveHostIPv4(const UnicodeString &node)
{
    const std::string name = UnicodeToUtf8(node);
    // A name with a control character (a decoded \000 or newline) is no host name.
    if (name.empty() ||
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }))
        return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0)
        return {};
    std::vector<std::string> seen;
    UnicodeString joined;
    for (const addrinfo *p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET || !p->ai_addr)
            continue;
        char buf[INET_ADDRSTRLEN] = {};
        const auto *in = reinterpret_cast<const sockaddr_in *>(p->ai_addr);
        if (!inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf))
            continue;
        // /etc/hosts may list a name twice; the master owns each address once.
        if (std::find(seen.begin(), seen.end(), buf) != seen.end())
            continue;
        seen.emplace_back(buf);
        if (!joined.empty())
            joined += u',';
        joined += Utf8ToUnicode(buf);
    }
    freeaddrinfo(res);
    return joined;
}

unsigned NextAddressIndex(unsigned index, std::size_t count)
{
    return index + 1 < count ? index + 1 : 0;
}
