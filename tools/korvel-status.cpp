// korvel-status: what a master runs now, asked from its HTTP side.
//
//   korvel-status [--master HOST[:PORT]] [--json | --csv]
//
// Exit status: 0 the master answered, 1 bad command line or an answer that is not the list,
// 2 the master could not be reached.
#include <common/settings.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {

constexpr int kAnswered = 0;
constexpr int kBad = 1;
constexpr int kUnreachable = 2;
constexpr int kTimeoutMs = 10000;

void usage(FILE *out)
{
    std::fprintf(out, "Usage: korvel-status [--master HOST[:PORT]] [--json | --csv]\n"
                      "\n"
                      "  --master HOST[:PORT]  the master's HTTP side (default: this machine's HttpAddress\n"
                      "                        and HttpPort from the store, else 127.0.0.1:52180)\n"
                      "  --json                the list as the master gives it (JSON)\n"
                      "  --csv                 the list as comma-separated values with a header line\n"
                      "\n"
                      "Exit status: 0 the master answered, 1 bad command line or answer,\n"
                      "2 the master could not be reached.\n");
}

// The start time's clock part, as the master's window shows it.
QString ClockOf(const QJsonValue &v)
{
    const QString s = v.toString();
    return s.size() >= 19 ? s.mid(11, 8) : QString();
}

QString CsvField(const QString &s)
{
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')))
        return s;
    QString q = s;
    q.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

void PrintRows(const QJsonArray &list, bool csv)
{
    const QStringList header = {QStringLiteral("No"),        QStringLiteral("Code"),
                                QStringLiteral("Name"),      QStringLiteral("Start Time"),
                                QStringLiteral("Client ID"), QStringLiteral("Host"),
                                QStringLiteral("Address")};
    QList<QStringList> rows;
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        rows.push_back(
            {QString::number(o.value(QStringLiteral("no")).toInt()),
             QString::number(o.value(QStringLiteral("code")).toInt()),
             o.value(QStringLiteral("name")).toString(), ClockOf(o.value(QStringLiteral("started"))),
             QString::number(o.value(QStringLiteral("client")).toInt()),
             o.value(QStringLiteral("host")).toString(), o.value(QStringLiteral("address")).toString()});
    }
    if (csv) {
        std::printf("%s\n", qPrintable(header.join(QLatin1Char(','))));
        for (const QStringList &r : rows) {
            QStringList f;
            for (const QString &c : r)
                f << CsvField(c);
            std::printf("%s\n", qPrintable(f.join(QLatin1Char(','))));
        }
        return;
    }
    QList<int> width;
    for (const QString &h : header)
        width << int(h.size());
    for (const QStringList &r : rows)
        for (int i = 0; i < r.size(); ++i)
            width[i] = std::max(width[i], int(r[i].size()));
    auto line = [&](const QStringList &r) {
        QString out;
        for (int i = 0; i < r.size(); ++i) {
            // Numbers right-aligned as in the window's columns; texts left.
            const bool number = i == 0 || i == 1 || i == 4;
            out += number ? r[i].rightJustified(width[i]) : r[i].leftJustified(width[i]);
            if (i + 1 < r.size())
                out += QStringLiteral("  ");
        }
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        std::printf("%s\n", qPrintable(out));
    };
    line(header);
    for (const QStringList &r : rows)
        line(r);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString master;
    bool json = false, csv = false;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--master") && i + 1 < args.size()) {
            master = args[++i];
        } else if (a.startsWith(QLatin1String("--master="))) {
            master = a.mid(9);
        } else if (a == QLatin1String("--json")) {
            json = true;
        } else if (a == QLatin1String("--csv")) {
            csv = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h") || a == QLatin1String("/?")) {
            usage(stdout);
            return kAnswered;
        } else {
            std::fprintf(stderr, "korvel-status: unknown argument \"%s\"\n", qPrintable(a));
            usage(stderr);
            return kBad;
        }
    }
    if (json && csv) {
        std::fprintf(stderr, "korvel-status: --json and --csv exclude each other\n");
        return kBad;
    }

    THttpSettings settings;
    HttpSetLoad(settings);
    QString host = QString::fromStdU16String(settings.address);
    // A master listening on every address is asked on this machine's loopback.
    if (host == QLatin1String("0.0.0.0") || host == QLatin1String("::"))
        host = QStringLiteral("127.0.0.1");
    int port = settings.port;
    if (!master.isEmpty()) {
        // HOST, HOST:PORT, [IPv6] or [IPv6]:PORT.
        const QUrl u(QStringLiteral("http://") + master);
        if (!u.isValid() || u.host().isEmpty() || !u.path().isEmpty()) {
            std::fprintf(stderr, "korvel-status: \"%s\" is not HOST[:PORT]\n", qPrintable(master));
            return kBad;
        }
        host = u.host();
        port = u.port(settings.port == 0 ? 52180 : settings.port);
    }
    if (port <= 0) {
        std::fprintf(
            stderr,
            "korvel-status: the master's HTTP side is off here (HttpPort = 0); name one with --master\n");
        return kUnreachable;
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(QStringLiteral("/api/v1/instances"));

    QNetworkAccessManager net;
    QNetworkRequest request(url);
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply *reply = net.get(request);
    QObject::connect(reply, &QNetworkReply::finished, &app, &QCoreApplication::quit);
    app.exec();

    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (httpStatus == 0) {
        std::fprintf(stderr, "korvel-status: %s cannot be reached: %s\n", qPrintable(url.authority()),
                     qPrintable(reply->errorString()));
        return kUnreachable;
    }
    const QByteArray body = reply->readAll();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (httpStatus != 200 || !doc.isArray()) {
        std::fprintf(stderr, "korvel-status: %s answered, but not with the list (HTTP %d)\n",
                     qPrintable(url.authority()), httpStatus);
        return kBad;
    }
    if (json)
        std::printf("%s\n", doc.toJson(QJsonDocument::Indented).constData());
    else
        PrintRows(doc.array(), csv);
    return kAnswered;
}
