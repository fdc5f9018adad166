#include "status_render.h"

#include <common/catalogue.h>

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTime>

#include <cmath>
#include <cstdio>
#include <map>

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

QJsonValue TimeValue(TDateTime t)
{
    const QString s = IsoLocalTime(t);
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

QString AppName(std::uint16_t code)
{
    return QString::fromStdU16String(AppDisplayName(code));
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

void Family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

} // namespace

QString IsoLocalTime(TDateTime t)
{
    if (!std::isfinite(t))
        return {};
    double days = std::floor(t);
    long long ms = std::llround((t - days) * 86400000.0);
    if (ms >= 86400000) {
        days += 1;
        ms -= 86400000;
    }
    if (days == 0)
        return {};
    const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(days));
    if (!date.isValid())
        return {};
    const long long secs = ms / 1000;
    const int h = static_cast<int>(secs / 3600), m = static_cast<int>(secs / 60 % 60),
              s = static_cast<int>(secs % 60);
    const int offset = OffsetOfLocalHour(date, h);
    const int off = std::abs(offset) / 60;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", date.year(), date.month(),
                  date.day(), h, m, s, offset < 0 ? '-' : '+', off / 60, off % 60);
    return QString::fromLatin1(buf);
}

QByteArray RenderInstances(const TMstSnapshot &snap)
{
    QJsonArray list;
    int no = 0;
    for (const TSnapRow &r : snap.rows) {
        list.append(QJsonObject{{QStringLiteral("no"), ++no},
                                {QStringLiteral("code"), r.appCode},
                                {QStringLiteral("name"), AppName(r.appCode)},
                                {QStringLiteral("started"), TimeValue(r.start)},
                                {QStringLiteral("client"), static_cast<std::uint16_t>(r.clientId)},
                                {QStringLiteral("host"), r.host},
                                {QStringLiteral("address"), r.address}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

QByteArray RenderClients(const TMstSnapshot &snap)
{
    QJsonArray list;
    for (const TSnapClient &c : snap.clients) {
        list.append(QJsonObject{{QStringLiteral("client"), static_cast<std::uint16_t>(c.clientId)},
                                {QStringLiteral("host"), c.host},
                                {QStringLiteral("address"), c.address},
                                {QStringLiteral("last_contact"), TimeValue(c.lastContact)},
                                {QStringLiteral("applications"), c.applications}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

QByteArray RenderLog(const TMstSnapshot &snap, int last)
{
    QJsonArray list;
    const int n = snap.log.count();
    for (int i = last >= 0 && last < n ? n - last : 0; i < n; ++i) {
        const TLogEntry e = snap.log.at(i);
        list.append(QJsonObject{{QStringLiteral("time"), TimeValue(e.time)},
                                {QStringLiteral("text"), QString::fromStdU16String(e.text)}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
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
