#pragma once
// Host names of the client connections' addresses. The name is looked up once per address
// (in the background) and remembered, so the GUI thread never waits on the resolver;
// a connection's requests are handled once its address has a name (or the lookup failed).

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QHostInfo;

class THostNames : public QObject {
    Q_OBJECT
public:
    explicit THostNames(QObject *parent = nullptr);

    /// True and the name (empty when the address has none) when the address is known.
    bool Known(const QString &address, QString &name) const;
    /// Starts a lookup of the address unless one runs or the name is known.
    void Lookup(const QString &address);
    /// How long a name is kept before it is looked up again (the old one serves meanwhile).
    void SetMaxAgeSeconds(int s) { FMaxAge = s; }

signals:
    /// The name of address is known now.
    void resolved(const QString &address);

private:
    struct Entry {
        QString name;
        qint64 at = 0;
        bool known = false;
        bool running = false;
    };
    void Done(const QString &address, const QHostInfo &info);

    QHash<QString, Entry> FNames;
    int FMaxAge = 600;
};
