#pragma once
// What the master's HTTP side answers, made from one snapshot: the JSON lists, the metrics in
// Prometheus' text format and the status page. Free of sockets, so tests and benchmarks call
// them directly.

#include <mst_snapshot.h>

#include <history/history.h>

#include <QByteArray>
#include <QString>

#include <vector>

/// A time of the tables as ISO 8601 local time with its offset ("2026-12-09T01:18:28+01:00");
/// empty for a time without a date part.
QString IsoLocalTime(TDateTime t);

/// GET /api/v1/instances: the list in list order.
QByteArray RenderInstances(const TMstSnapshot &snap);
/// GET /api/v1/clients: the clients in the order first heard of.
QByteArray RenderClients(const TMstSnapshot &snap);
/// GET /api/v1/log: the event log's lines, oldest first; the last `last` only when last >= 0.
QByteArray RenderLog(const TMstSnapshot &snap, int last = -1);
/// GET /metrics: Prometheus text exposition format 0.0.4.
QByteArray RenderMetrics(const TMstSnapshot &snap);
/// GET /: the status page, everything it needs inside; it polls the JSON every pollMs.
QByteArray RenderPage(int pollMs);
/// GET /api/v1/history/peaks: one object per day and application, by day then code.
QByteArray RenderPeaks(const std::vector<history::TDayPeak> &rows);
/// An error of the JSON API: {"error":"..."}.
QByteArray RenderError(const QString &text);
