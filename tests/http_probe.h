#pragma once
// What the status tests share: a plain HTTP request over loopback, a free port, and the
// headless browser and Prometheus tools found on the machine (empty when missing).

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace statusprobe {

struct Answer {
    int status = 0; ///< 0: no answer
    QByteArray headers;
    QByteArray body;
};

/// One request with "Connection: close"; the whole answer, read until the server closes.
inline Answer Http(quint16 port, const QByteArray &method, const QByteArray &path, int ms = 10000)
{
    Answer a;
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(ms))
        return a;
    s.write(method + ' ' + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    QByteArray all;
    QElapsedTimer t;
    t.start();
    // Done when the server closes, or when the body that Content-Length announced is in.
    auto complete = [&] {
        const int split = all.indexOf("\r\n\r\n");
        if (split < 0)
            return false;
        if (method == "HEAD")
            return true;
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                                             QRegularExpression::CaseInsensitiveOption)
                                              .match(QString::fromLatin1(all.left(split)));
        return m.hasMatch() && all.size() - split - 4 >= m.captured(1).toLongLong();
    };
    while (t.elapsed() < ms && !complete()) {
        if (s.waitForReadyRead(200))
            all += s.readAll();
        if (s.state() == QAbstractSocket::UnconnectedState)
            break;
    }
    all += s.readAll();
    const int split = all.indexOf("\r\n\r\n");
    if (!all.startsWith("HTTP/1.1 ") || split < 0)
        return a;
    a.status = all.mid(9, 3).toInt();
    a.headers = all.left(split);
    a.body = all.mid(split + 4);
    return a;
}

/// A port nobody listens on now (a small race with other programs; the tests retry on it).
inline quint16 FreePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

inline QString Tool(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

/// The page's DOM after scripts ran in headless chromium; with shot set, a PNG of it too.
inline QByteArray BrowserDom(const QString &chromium, const QString &url, const QString &shot = {})
{
    QTemporaryDir profile;
    QStringList common = {QStringLiteral("--headless"),
                          QStringLiteral("--no-sandbox"),
                          QStringLiteral("--disable-gpu"),
                          QStringLiteral("--disable-quic"),
                          QStringLiteral("--no-first-run"),
                          QStringLiteral("--disable-background-networking"),
                          QStringLiteral("--disable-component-update"),
                          QStringLiteral("--disable-sync"),
                          QStringLiteral("--user-data-dir=") + profile.path(),
                          QStringLiteral("--virtual-time-budget=5000")};
    auto run = [&](QStringList args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.start(chromium, args);
        if (!p.waitForFinished(90000)) {
            p.kill();
            p.waitForFinished(5000);
        }
        return p.readAllStandardOutput();
    };
    if (!shot.isEmpty()) {
        QDir().mkpath(QFileInfo(shot).absolutePath());
        run(common + QStringList{QStringLiteral("--window-size=1000,700"),
                                 QStringLiteral("--screenshot=") + shot, url});
    }
    return run(common + QStringList{QStringLiteral("--dump-dom"), url});
}

} // namespace statusprobe
