// korvel-report: what the master's usage history says.
//
//   korvel-report peaks    [--from DATE] [--to DATE] [--code N] [--by-host] [--format F]
//   korvel-report sessions [--from DATE] [--to DATE] [--code N] [--host NAME] [--format F]
//   korvel-report chart    --out FILE.svg|FILE.png [--from DATE] [--to DATE] [--code N]
//
// The file is opened read-only, so a report can run while a master writes it. The chart is
// painted by the sibling program korvel-report-chart, so that this one loads no GUI module.
// Exit status: 0 done, 1 nothing to report or the file cannot be read, 2 bad command line.

#include <history/history.h>

#include <common/catalogue.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <unistd.h>

#include <cstdio>
#include <vector>

using namespace history;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char *const kUsageText =
    "Usage:\n"
    "  korvel-report peaks    [--from DATE] [--to DATE] [--code N] [--by-host] [--format F]\n"
    "  korvel-report sessions [--from DATE] [--to DATE] [--code N] [--host NAME] [--format F]\n"
    "  korvel-report chart    --out FILE.svg|FILE.png [--from DATE] [--to DATE] [--code N]\n"
    "\n"
    "  --file PATH   the history file (default: KORVEL_HISTORY, the store value HistoryFile,\n"
    "                /var/lib/korvel/history.sqlite or $XDG_STATE_HOME/korvel/history.sqlite)\n"
    "  --from DATE   first local day, YYYY-MM-DD (default: the first day recorded)\n"
    "  --to DATE     last local day, YYYY-MM-DD (default: today)\n"
    "  --code N      one application only\n"
    "  --by-host     peaks of each machine apart\n"
    "  --host NAME   sessions of one machine (host name or address)\n"
    "  --format F    table (default), csv or json\n"
    "  --out FILE    where the chart goes; .svg or .png\n";

void Say(const QString &text)
{
    std::fprintf(stderr, "korvel-report: %s\n", qPrintable(text));
}

int Usage(const QString &text)
{
    Say(text);
    std::fputs(kUsageText, stderr);
    return kUsage;
}

void Out(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
}

QString AppName(int code)
{
    return QString::fromStdU16String(AppDisplayName(static_cast<unsigned short>(code)));
}

QString LocalText(std::int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Csv(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) &&
        !field.contains(QLatin1Char('\n')))
        return field;
    QString quoted = field;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Rows of text printed as a table (columns aligned; numbers to the right) or as CSV.
void PrintRows(const QStringList &header, const std::vector<QStringList> &rows,
               const std::vector<bool> &numeric, bool csv)
{
    if (csv) {
        auto line = [](const QStringList &fields) {
            QStringList quoted;
            for (const QString &f : fields)
                quoted << Csv(f);
            return quoted.join(QLatin1Char(',')) + QLatin1Char('\n');
        };
        Out(line(header));
        for (const QStringList &r : rows)
            Out(line(r));
        return;
    }
    std::vector<qsizetype> width(header.size());
    for (qsizetype i = 0; i < header.size(); ++i)
        width[i] = header[i].size();
    for (const QStringList &r : rows) {
        for (qsizetype i = 0; i < r.size(); ++i)
            width[i] = std::max(width[i], r[i].size());
    }
    auto line = [&](const QStringList &fields) {
        QString text;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            if (i)
                text += QStringLiteral("  ");
            const bool last = i + 1 == fields.size();
            if (numeric[i])
                text += fields[i].rightJustified(width[i]);
            else
                text += last ? fields[i] : fields[i].leftJustified(width[i]);
        }
        return text + QLatin1Char('\n');
    };
    Out(line(header));
    for (const QStringList &r : rows)
        Out(line(r));
}

int Peaks(THistoryReader &reader, QDate from, QDate to, int code, bool byHost, const QString &format)
{
    std::vector<TSpan> spans;
    QString error;
    if (!reader.Spans(DayStart(from), DayStart(to.addDays(1)), code, spans, &error)) {
        Say(error);
        return kFailed;
    }
    const auto rows = ComputePeaks(spans, from, to, byHost, QDateTime::currentMSecsSinceEpoch());
    if (rows.empty()) {
        Say(QStringLiteral("no sessions between %1 and %2")
                .arg(from.toString(Qt::ISODate), to.toString(Qt::ISODate)));
        return kFailed;
    }
    const auto &hosts = reader.HostNames();
    if (format == QLatin1String("json")) {
        QJsonArray array;
        for (const TDayPeak &p : rows) {
            QJsonObject o{{QStringLiteral("day"), p.day.toString(Qt::ISODate)},
                          {QStringLiteral("code"), p.code},
                          {QStringLiteral("application"), AppName(p.code)},
                          {QStringLiteral("peak"), p.peak},
                          {QStringLiteral("instance_hours"), std::round(p.instanceHours * 100) / 100},
                          {QStringLiteral("clients"), p.clients}};
            if (byHost)
                o.insert(QStringLiteral("host"), hosts.at(p.host));
            array.append(o);
        }
        Out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return kOk;
    }
    QStringList header{QStringLiteral("Day"), QStringLiteral("Code"), QStringLiteral("Application")};
    std::vector<bool> numeric{false, true, false};
    if (byHost) {
        header << QStringLiteral("Host");
        numeric.push_back(false);
    }
    header << QStringLiteral("Peak") << QStringLiteral("Instance-hours") << QStringLiteral("Clients");
    numeric.insert(numeric.end(), {true, true, true});
    std::vector<QStringList> text;
    for (const TDayPeak &p : rows) {
        QStringList r{p.day.toString(Qt::ISODate), QString::number(p.code), AppName(p.code)};
        if (byHost)
            r << hosts.at(p.host);
        r << QString::number(p.peak) << QString::number(p.instanceHours, 'f', 2)
          << QString::number(p.clients);
        text.push_back(r);
    }
    PrintRows(header, text, numeric, format == QLatin1String("csv"));
    return kOk;
}

int Sessions(THistoryReader &reader, QDate from, QDate to, int code, const QString &host,
             const QString &format)
{
    std::vector<TSession> sessions;
    QString error;
    if (!reader.Sessions(DayStart(from), DayStart(to.addDays(1)), code, sessions, &error)) {
        Say(error);
        return kFailed;
    }
    if (!host.isEmpty()) {
        std::erase_if(sessions, [&](const TSession &s) { return s.host != host && s.address != host; });
    }
    if (sessions.empty()) {
        Say(QStringLiteral("no sessions between %1 and %2")
                .arg(from.toString(Qt::ISODate), to.toString(Qt::ISODate)));
        return kFailed;
    }
    if (format == QLatin1String("json")) {
        QJsonArray array;
        for (const TSession &s : sessions) {
            QJsonObject o{
                {QStringLiteral("start"),
                 QDateTime::fromMSecsSinceEpoch(s.start, Qt::UTC).toString(Qt::ISODateWithMs)},
                {QStringLiteral("end"),
                 s.end < 0 ? QJsonValue()
                           : QJsonValue(
                                 QDateTime::fromMSecsSinceEpoch(s.end, Qt::UTC).toString(Qt::ISODateWithMs))},
                {QStringLiteral("client"), s.clientId},
                {QStringLiteral("host"), s.host},
                {QStringLiteral("address"), s.address},
                {QStringLiteral("code"), s.code},
                {QStringLiteral("application"), AppName(s.code)},
                {QStringLiteral("ended"), s.end < 0 ? QJsonValue() : QJsonValue(ReasonText(s.reason))}};
            array.append(o);
        }
        Out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return kOk;
    }
    const QStringList header{
        QStringLiteral("Start"),  QStringLiteral("End"),         QStringLiteral("Hours"),
        QStringLiteral("Client"), QStringLiteral("Host"),        QStringLiteral("Address"),
        QStringLiteral("Code"),   QStringLiteral("Application"), QStringLiteral("Ended")};
    const std::vector<bool> numeric{false, false, true, true, false, false, true, false, false};
    std::vector<QStringList> text;
    for (const TSession &s : sessions) {
        const std::int64_t end = s.end < 0 ? s.aliveUntil : s.end;
        text.push_back({LocalText(s.start), s.end < 0 ? QStringLiteral("open") : LocalText(s.end),
                        QString::number(double(std::max<std::int64_t>(end - s.start, 0)) / 3600000.0, 'f', 2),
                        QString::number(static_cast<std::uint16_t>(s.clientId)), s.host, s.address,
                        QString::number(s.code), AppName(s.code), ReasonText(s.reason)});
    }
    PrintRows(header, text, numeric, format == QLatin1String("csv"));
    return kOk;
}

int Chart(const QString &file, const QString &out, QDate from, QDate to, int code)
{
    const QByteArray program =
        QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/korvel-report-chart"));
    const QByteArray args[] = {
        QFile::encodeName(file), QFile::encodeName(out), QByteArray::number(qlonglong(DayStart(from))),
        QByteArray::number(qlonglong(DayStart(to.addDays(1)))), QByteArray::number(code)};
    std::fflush(stdout);
    execl(program.constData(), "korvel-report-chart", args[0].constData(), args[1].constData(),
          args[2].constData(), args[3].constData(), args[4].constData(), static_cast<char *>(nullptr));
    Say(QStringLiteral("cannot start %1: %2")
            .arg(QFile::decodeName(program), QString::fromLocal8Bit(strerror(errno))));
    return kFailed;
}

bool ParseDate(const QString &text, QDate &date)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    date = QDate::fromString(text, Qt::ISODate);
    return shape.match(text).hasMatch() && date.isValid();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
        std::fputs(kUsageText, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kUsage : kOk;
    }
    const QString command = args.takeFirst();
    if (command != QLatin1String("peaks") && command != QLatin1String("sessions") &&
        command != QLatin1String("chart"))
        return Usage(QStringLiteral("unknown command \"%1\"").arg(command));

    QString file, fromText, toText, codeText, host, format = QStringLiteral("table"), out;
    bool byHost = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        QString *target = nullptr;
        if (a == QLatin1String("--file"))
            target = &file;
        else if (a == QLatin1String("--from"))
            target = &fromText;
        else if (a == QLatin1String("--to"))
            target = &toText;
        else if (a == QLatin1String("--code"))
            target = &codeText;
        else if (a == QLatin1String("--host") && command == QLatin1String("sessions"))
            target = &host;
        else if (a == QLatin1String("--format") && command != QLatin1String("chart"))
            target = &format;
        else if (a == QLatin1String("--out") && command == QLatin1String("chart"))
            target = &out;
        else if (a == QLatin1String("--by-host") && command == QLatin1String("peaks"))
            byHost = true;
        else
            return Usage(QStringLiteral("unknown option \"%1\" for %2").arg(a, command));
        if (target) {
            if (++i >= args.size())
                return Usage(QStringLiteral("%1 needs a value").arg(a));
            *target = args[i];
        }
    }
    if (format != QLatin1String("table") && format != QLatin1String("csv") && format != QLatin1String("json"))
        return Usage(QStringLiteral("unknown format \"%1\" (table, csv or json)").arg(format));
    int code = -1;
    if (!codeText.isEmpty()) {
        bool ok = false;
        code = codeText.toInt(&ok);
        if (!ok || code < 0 || code > 0xFFFF)
            return Usage(QStringLiteral("bad application code \"%1\"").arg(codeText));
    }
    QDate from, to = QDate::currentDate();
    if (!fromText.isEmpty() && !ParseDate(fromText, from))
        return Usage(QStringLiteral("bad date \"%1\" (YYYY-MM-DD)").arg(fromText));
    if (!toText.isEmpty() && !ParseDate(toText, to))
        return Usage(QStringLiteral("bad date \"%1\" (YYYY-MM-DD)").arg(toText));
    if (from.isValid() && from > to)
        return Usage(QStringLiteral("empty range: %1 is after %2")
                         .arg(from.toString(Qt::ISODate), to.toString(Qt::ISODate)));
    if (command == QLatin1String("chart")) {
        const QString suffix = QFileInfo(out).suffix().toLower();
        if (out.isEmpty())
            return Usage(QStringLiteral("chart needs --out FILE.svg or FILE.png"));
        if (suffix != QLatin1String("svg") && suffix != QLatin1String("png"))
            return Usage(QStringLiteral("the chart is written as .svg or .png, not \"%1\"").arg(out));
    }

    if (file.isEmpty())
        file = DefaultPath(false);
    THistoryReader reader;
    QString error;
    if (!reader.Open(file, &error)) {
        Say(error);
        return kFailed;
    }
    if (!from.isValid()) {
        const std::int64_t first = reader.FirstStart();
        if (first < 0) {
            Say(QStringLiteral("%1 holds no sessions yet").arg(file));
            return kFailed;
        }
        from = std::min(QDateTime::fromMSecsSinceEpoch(first).date(), to);
    }
    if (command == QLatin1String("peaks"))
        return Peaks(reader, from, to, code, byHost, format);
    if (command == QLatin1String("sessions"))
        return Sessions(reader, from, to, code, host, format);
    return Chart(file, out, from, to, code);
}
