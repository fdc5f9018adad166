#pragma once
// Host names of the client connections' addresses, looked up in the background and kept for a
// while. Nothing waits for a lookup: a request is handled at once with the address standing in
// for the name, and the name is filled in when its lookup finishes.

#include <QHash>
#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>

class THostNames : public QObject {
    Q_OBJECT
public:
    /// Blocking reverse lookup of a dotted address; empty when it has no name. Runs on a
    /// lookup thread, never on the owner's.
    using Resolver = std::function<QString(const QString &address)>;

    /// Lookups that may wait for a lookup thread; more are not started (the address serves).
    static constexpr std::size_t MaxQueued = 256;
    /// Addresses remembered at most.
    static constexpr std::size_t MaxKnown = 4096;
    /// Threads that run lookups: a resolver that never answers holds these and no more.
    static constexpr int Threads = 2;

    /// resolver: empty for the system's (getnameinfo).
    explicit THostNames(Resolver resolver = {}, QObject *parent = nullptr);
    ~THostNames() override;

    /// True and the name when a lookup of address finished (the name is empty when it failed).
    bool Known(const QString &address, QString &name) const;
    /// Starts a lookup of the address unless one runs or a fresh name is known.
    void Lookup(const QString &address);
    /// How long a name is kept before it is looked up again (the old one serves meanwhile).
    void SetMaxAgeSeconds(double s) { FMaxAge = s; }
    /// A lookup that takes longer than this counts as failed for the clients waiting on it.
    void SetDeadlineSeconds(double s) { FDeadline = s; }

signals:
    /// A lookup of address finished; name is empty when it failed or took too long.
    void finished(const QString &address, const QString &name);

private:
    struct Entry {
        QString name;
        double at = 0; // monotonic seconds of the lookup's start or end
        bool known = false;
        bool running = false;
    };
    struct Shared;
    /// Takes the lookups' results from the shared list, on the owner's thread.
    void TakeResults();
    void Done(const QString &address, const QString &name);

    QHash<QString, Entry> FNames;
    std::shared_ptr<Shared> FShared;
    double FMaxAge = 600;
    double FDeadline = 10;
};
