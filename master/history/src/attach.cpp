// History on a master's server: the core's session sink turned into records for the writer.

#include <history/history.h>

#include <mst_server.h>

#include <QSysInfo>

namespace history {

namespace {

class THistorySink final : public QObject, public TSessionSink {
public:
    THistorySink(THistoryWriter::Options options, QObject *parent)
        : QObject(parent), FWriter(std::move(options)), FLocalHost(QSysInfo::machineHostName())
    {
    }

    THistoryWriter &Writer() { return FWriter; }

    void RowAdded(std::int16_t clientId, std::uint16_t code, const UnicodeString &host,
                  const UnicodeString &address) override
    {
        TRecord r = Make(TRecord::Start, clientId);
        r.code = code;
        // The master's own machine has no client row: it is this host.
        r.host = host.empty() && address.empty() ? FLocalHost : QString::fromStdU16String(host);
        r.address = QString::fromStdU16String(address);
        FWriter.Post(std::move(r));
    }
    void RowsRemoved(std::int16_t clientId, std::uint16_t code, EndReason reason) override
    {
        TRecord r = Make(TRecord::End, clientId);
        r.code = code;
        r.reason = static_cast<history::EndReason>(reason);
        FWriter.Post(std::move(r));
    }
    void ClientRemoved(std::int16_t clientId, double silentSeconds) override
    {
        // The client was last heard silentSeconds ago: its instances are counted until then.
        TRecord r = Make(TRecord::ClientGone, clientId);
        r.reason = history::EndReason::ClientRemoved;
        r.time -= static_cast<std::int64_t>(silentSeconds * 1000);
        FWriter.Post(std::move(r));
    }
    void HostFound(std::int16_t clientId, const UnicodeString &host) override
    {
        TRecord r = Make(TRecord::Host, clientId);
        r.host = QString::fromStdU16String(host);
        FWriter.Post(std::move(r));
    }
    void MasterStopped() override { FWriter.Post(Make(TRecord::Stop, 0)); }

private:
    TRecord Make(TRecord::Kind kind, int clientId)
    {
        TRecord r;
        r.kind = kind;
        r.clientId = clientId;
        r.time = FWriter.Now();
        return r;
    }

    THistoryWriter FWriter;
    QString FLocalHost;
};

} // namespace

THistoryWriter *AttachHistory(TMstServer &server, THistoryWriter::Options options)
{
    if (options.path.isEmpty())
        options.path = DefaultPath();
    if (options.path == QLatin1String("off"))
        return nullptr;
    auto *sink = new THistorySink(std::move(options), &server);
    server.SetSessionSink(sink);
    return &sink->Writer();
}

} // namespace history
