#include "hostnames.h"

#include <QDateTime>
#include <QHostAddress>
#include <QHostInfo>

THostNames::THostNames(QObject *parent) : QObject(parent) {}

bool THostNames::Known(const QString &address, QString &name) const
{
    auto it = FNames.constFind(address);
    if (it == FNames.constEnd() || !it->known)
        return false;
    name = it->name;
    return true;
}

void THostNames::Lookup(const QString &address)
{
    Entry &e = FNames[address];
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (e.running || (e.known && now - e.at < FMaxAge))
        return;
    e.running = true;
    QHostInfo::lookupHost(address, this, [this, address](const QHostInfo &info) { Done(address, info); });
}

void THostNames::Done(const QString &address, const QHostInfo &info)
{
    Entry &e = FNames[address];
    e.running = false;
    e.known = true;
    e.at = QDateTime::currentSecsSinceEpoch();
    // A failed reverse lookup gives no name; the resolver then echoes the address itself.
    const QString name = info.hostName();
    e.name = (info.error() == QHostInfo::NoError && QHostAddress(name).isNull()) ? name : QString();
    emit resolved(address);
}
