#include "status_render.h"

#include <common/catalogue.h>

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

// Writes the ISO text of t into buf (at least 32 bytes); its length, 0 for no date part.
int IsoLocalChars(TDateTime t, char *buf);

namespace {

// The offset from UTC of a local hour. Rows come in runs of the same hour, so the last answer
// is kept: a list of 30,000 rows asks the time zone a handful of times, not 30,000.
int OffsetOfLocalHour(const QDate &date, int hour)
{
    thread_local QDate lastDate;
    thread_local int lastHour = -1;
    thread_local int lastOffset = 0;
    if (date != lastDate || hour != lastHour) {
        lastDate = date;
        lastHour = hour;
        lastOffset = QDateTime(date, QTime(hour, 0)).offsetFromUtc();
    }
    return lastOffset;
}

QString AppName(std::uint16_t code)
{
    return QString::fromStdU16String(AppDisplayName(code));
}

void Num(QByteArray &out, long long n)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr - buf);
}

// A label value as the text format wants it: backslash, double quote and line feed escaped.
QByteArray LabelValue(const QString &s)
{
    QByteArray out;
    for (const char c : s.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// JSON is written directly: a list of 30,000 rows built as QJsonObjects costs several times
// the 50 ms a scrape may take. Strings are escaped as JSON requires (quote, backslash, control
// characters); the page shows them with textContent, so no markup escaping is needed here.
void JsonString(QByteArray &out, const QString &s)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    // Host names and addresses are nearly always plain ASCII: those are copied as they are.
    bool plain = true;
    for (const QChar ch : s)
        if (ch.unicode() >= 0x80 || ch.unicode() < 0x20 || ch == u'"' || ch == u'\\') {
            plain = false;
            break;
        }
    if (plain) {
        const qsizetype at = out.size();
        out.resize(at + s.size());
        char *d = out.data() + at;
        for (const QChar ch : s)
            *d++ = static_cast<char>(ch.unicode());
        out += '"';
        return;
    }
    for (const char c : s.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

void JsonTime(QByteArray &out, TDateTime t)
{
    char buf[32];
    const int n = IsoLocalChars(t, buf);
    if (n == 0) {
        out += "null";
        return;
    }
    out += '"';
    out.append(buf, n);
    out += '"';
}

// Display names by code, looked up once per answer.
class TNames {
public:
    const QString &of(std::uint16_t code)
    {
        auto it = names_.find(code);
        if (it == names_.end())
            it = names_.emplace(code, AppName(code)).first;
        return it->second;
    }

private:
    std::map<std::uint16_t, QString> names_;
};

void Family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

} // namespace

int IsoLocalChars(TDateTime t, char *buf)
{
    if (!std::isfinite(t))
        return 0;
    double days = std::floor(t);
    long long ms = std::llround((t - days) * 86400000.0);
    if (ms >= 86400000) {
        days += 1;
        ms -= 86400000;
    }
    if (days == 0)
        return 0;
    const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(days));
    if (!date.isValid() || date.year() < 1 || date.year() > 9999)
        return 0;
    const long long secs = ms / 1000;
    const int h = static_cast<int>(secs / 3600), m = static_cast<int>(secs / 60 % 60),
              s = static_cast<int>(secs % 60);
    const int offset = OffsetOfLocalHour(date, h);
    const int off = std::abs(offset) / 60;
    int y = 0, mo = 0, d = 0;
    date.getDate(&y, &mo, &d);
    // Fixed-width digits, written directly: this runs once per row of a large list.
    char *p = buf;
    auto put = [&p](int v, int width) {
        for (int i = width - 1; i >= 0; --i, v /= 10)
            p[i] = static_cast<char>('0' + v % 10);
        p += width;
    };
    put(y, 4);
    *p++ = '-';
    put(mo, 2);
    *p++ = '-';
    put(d, 2);
    *p++ = 'T';
    put(h, 2);
    *p++ = ':';
    put(m, 2);
    *p++ = ':';
    put(s, 2);
    *p++ = offset < 0 ? '-' : '+';
    put(off / 60, 2);
    *p++ = ':';
    put(off % 60, 2);
    return static_cast<int>(p - buf);
}

QString IsoLocalTime(TDateTime t)
{
    char buf[32];
    return QString::fromLatin1(buf, IsoLocalChars(t, buf));
}

QByteArray RenderInstances(const TMstSnapshot &snap)
{
    QByteArray out;
    out.reserve(static_cast<qsizetype>(snap.rows.size()) * 160 + 2);
    out += '[';
    TNames names;
    int no = 0;
    for (const TSnapRow &r : snap.rows) {
        if (no)
            out += ',';
        out += "{\"no\":";
        Num(out, ++no);
        out += ",\"code\":";
        Num(out, r.appCode);
        out += ",\"name\":";
        JsonString(out, names.of(r.appCode));
        out += ",\"started\":";
        JsonTime(out, r.start);
        out += ",\"client\":";
        Num(out, static_cast<std::uint16_t>(r.clientId));
        out += ",\"host\":";
        JsonString(out, r.host);
        out += ",\"address\":";
        JsonString(out, r.address);
        out += '}';
    }
    out += ']';
    return out;
}

QByteArray RenderClients(const TMstSnapshot &snap)
{
    QByteArray out;
    out.reserve(static_cast<qsizetype>(snap.clients.size()) * 140 + 2);
    out += '[';
    bool first = true;
    for (const TSnapClient &c : snap.clients) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"client\":";
        Num(out, static_cast<std::uint16_t>(c.clientId));
        out += ",\"host\":";
        JsonString(out, c.host);
        out += ",\"address\":";
        JsonString(out, c.address);
        out += ",\"last_contact\":";
        JsonTime(out, c.lastContact);
        out += ",\"applications\":";
        Num(out, c.applications);
        out += '}';
    }
    out += ']';
    return out;
}

QByteArray RenderLog(const TMstSnapshot &snap, int last)
{
    QByteArray out;
    out += '[';
    const int n = snap.log.Count();
    const int from = last >= 0 && last < n ? n - last : 0;
    for (int i = from; i < n; ++i) {
        const TLogEntry e = snap.log.At(i);
        if (i > from)
            out += ',';
        out += "{\"time\":";
        JsonTime(out, e.time);
        out += ",\"text\":";
        JsonString(out, QString::fromStdU16String(e.text));
        out += '}';
    }
    out += ']';
    return out;
}

QByteArray RenderMetrics(const TMstSnapshot &snap)
{
    // Every known application has its series, at 0 when none runs, so that an alert on it
    // sees a value instead of an absent series.
    std::map<std::uint16_t, long long> perApp;
    for (const unsigned short code : KnownAppCodes)
        perApp[code] = 0;
    for (const TSnapRow &r : snap.rows)
        ++perApp[r.appCode];

    const TSnapCounters &c = snap.counters;
    QByteArray out;
    out.reserve(2048);
    Family(out, "korvel_instances", "gauge", "Application instances running now, per application.");
    for (const auto &[code, n] : perApp)
        out += "korvel_instances{code=\"" + QByteArray::number(code) + "\",name=\"" +
               LabelValue(AppName(code)) + "\"} " + QByteArray::number(n) + '\n';
    Family(out, "korvel_clients", "gauge", "Network clients the master considers alive.");
    out += "korvel_clients " + QByteArray::number(static_cast<qulonglong>(snap.clients.size())) + '\n';
    Family(out, "korvel_requests_total", "counter", "Client requests handled, per kind.");
    const std::pair<const char *, std::uint64_t> kinds[] = {
        {"announce", c.announce}, {"keepalive", c.keepalive}, {"withdraw", c.withdraw}, {"bad", c.bad}};
    for (const auto &[kind, n] : kinds)
        out += QByteArray("korvel_requests_total{kind=\"") + kind + "\"} " +
               QByteArray::number(qulonglong(n)) + '\n';
    Family(out, "korvel_audit_removed_clients_total", "counter", "Clients the audit removed as silent.");
    out += "korvel_audit_removed_clients_total " + QByteArray::number(qulonglong(c.auditRemoved)) + '\n';
    Family(out, "korvel_connections_open", "gauge", "Client connections open now.");
    out += "korvel_connections_open " + QByteArray::number(c.connectionsOpen) + '\n';
    Family(out, "korvel_start_time_seconds", "gauge",
           "When the master started, in seconds since the Unix epoch.");
    out += "korvel_start_time_seconds " +
           QByteArray::number(static_cast<double>(c.startTimeMs) / 1000.0, 'f', 3) + '\n';
    return out;
}

QByteArray RenderPeaks(const std::vector<history::TDayPeak> &rows)
{
    TNames names;
    QByteArray out;
    out.reserve(static_cast<qsizetype>(rows.size()) * 100 + 2);
    out += '[';
    bool first = true;
    for (const history::TDayPeak &p : rows) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"day\":\"" + p.day.toString(Qt::ISODate).toLatin1() + "\",\"code\":";
        Num(out, p.code);
        out += ",\"name\":";
        JsonString(out, names.of(static_cast<std::uint16_t>(p.code)));
        out += ",\"peak\":";
        Num(out, p.peak);
        // Thousandths of an hour (3.6 s) are finer than anyone sizes licences by.
        out += ",\"instance_hours\":" +
               QByteArray::number(std::round(p.instanceHours * 1000.0) / 1000.0, 'g', 15);
        out += ",\"clients\":";
        Num(out, p.clients);
        out += '}';
    }
    out += ']';
    return out;
}

QByteArray RenderError(const QString &text)
{
    QByteArray out = "{\"error\":";
    JsonString(out, text);
    out += '}';
    return out;
}
