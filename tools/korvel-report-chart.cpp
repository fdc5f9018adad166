// korvel-report-chart FILE OUT FROM_MS TO_MS CODE: paints the chart korvel-report asked for,
// instances of each application running at once over [FROM_MS, TO_MS), as SVG or PNG. It runs
// without a display (the offscreen platform) and is started by korvel-report, which has checked
// the arguments.

#include <history/history.h>

#include <common/catalogue.h>

#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cstdio>

using namespace history;

namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 600;
constexpr int kSlices = 860; // one point per pixel of the plot: a year stays a small file
const QRect kPlot(80, 60, 860, 460);

const QColor kColors[] = {QColor(0x1f77b4), QColor(0xd62728), QColor(0x2ca02c), QColor(0xff7f0e),
                          QColor(0x9467bd), QColor(0x8c564b), QColor(0xe377c2), QColor(0x7f7f7f),
                          QColor(0xbcbd22), QColor(0x17becf)};

struct Tick {
    std::int64_t at;
    QString label;
};

// Labels in local time: hours for a day or two, days for a month or two, months beyond.
std::vector<Tick> TimeTicks(std::int64_t from, std::int64_t to)
{
    std::vector<Tick> ticks;
    const double days = double(to - from) / 86400000.0;
    QDateTime t = QDateTime::fromMSecsSinceEpoch(from);
    if (days <= 2.5) {
        t = QDateTime(t.date(), QTime(t.time().hour(), 0));
        for (; t.toMSecsSinceEpoch() < to; t = t.addSecs(3 * 3600)) {
            if (t.toMSecsSinceEpoch() >= from)
                ticks.push_back({t.toMSecsSinceEpoch(), t.toString(QStringLiteral("dd.MM HH:mm"))});
        }
    } else if (days <= 62) {
        const int step = days <= 16 ? 1 : 7;
        for (QDate d = t.date(); DayStart(d) < to; d = d.addDays(step)) {
            if (DayStart(d) >= from)
                ticks.push_back({DayStart(d), d.toString(QStringLiteral("dd.MM"))});
        }
    } else {
        const int step = days <= 800 ? 1 : 6;
        for (QDate d(t.date().year(), t.date().month(), 1); DayStart(d) < to; d = d.addMonths(step)) {
            if (DayStart(d) >= from)
                ticks.push_back({DayStart(d), d.toString(QStringLiteral("MMM yyyy"))});
        }
    }
    return ticks;
}

void Paint(QPainter &p, const std::vector<TSeries> &series, std::int64_t from, std::int64_t to)
{
    // Step lines are only horizontal and vertical: no antialiasing needed, and a year of them
    // strokes many times faster without.
    p.fillRect(QRect(0, 0, kWidth, kHeight), Qt::white);
    int top = 1;
    for (const TSeries &s : series)
        top = std::max(top, *std::max_element(s.peaks.begin(), s.peaks.end()));
    const int yStep = std::max(1, (top + 7) / 8);
    top = (top + yStep - 1) / yStep * yStep;
    auto x = [&](std::int64_t t) {
        return kPlot.left() + double(t - from) * kPlot.width() / double(to - from);
    };
    auto y = [&](int n) { return kPlot.bottom() - double(n) * kPlot.height() / top; };

    QFont font = p.font();
    font.setPixelSize(12);
    p.setFont(font);
    p.setPen(QPen(QColor(0xdddddd), 1));
    for (int n = 0; n <= top; n += yStep)
        p.drawLine(QPointF(kPlot.left(), y(n)), QPointF(kPlot.right(), y(n)));
    const auto ticks = TimeTicks(from, to);
    for (const Tick &t : ticks)
        p.drawLine(QPointF(x(t.at), kPlot.top()), QPointF(x(t.at), kPlot.bottom()));
    p.setPen(Qt::black);
    p.drawRect(kPlot);
    for (int n = 0; n <= top; n += yStep)
        p.drawText(QRectF(0, y(n) - 8, kPlot.left() - 8, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(n));
    const double labelEvery = std::ceil(ticks.size() / 12.0);
    for (std::size_t i = 0; i < ticks.size(); i += std::size_t(std::max(1.0, labelEvery)))
        p.drawText(QRectF(x(ticks[i].at) - 50, kPlot.bottom() + 6, 100, 16), Qt::AlignCenter, ticks[i].label);
    p.drawText(QRectF(0, kPlot.bottom() + 26, kWidth, 16), Qt::AlignCenter,
               QStringLiteral("local time (%1)").arg(QDateTime::currentDateTime().timeZoneAbbreviation()));
    p.save();
    p.translate(18, kPlot.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-150, -10, 300, 20), Qt::AlignCenter, QStringLiteral("instances running at once"));
    p.restore();
    font.setPixelSize(16);
    p.setFont(font);
    p.drawText(QRectF(0, 16, kWidth, 24), Qt::AlignCenter,
               QStringLiteral("Korvel: instances running at once, %1 to %2")
                   .arg(QDateTime::fromMSecsSinceEpoch(from).date().toString(Qt::ISODate),
                        QDateTime::fromMSecsSinceEpoch(to - 1).date().toString(Qt::ISODate)));
    font.setPixelSize(12);
    p.setFont(font);

    // One step line per application, and its entry in the legend.
    for (std::size_t i = 0; i < series.size(); ++i) {
        const TSeries &s = series[i];
        const QColor color = kColors[i % std::size(kColors)];
        QPolygonF line;
        const int n = int(s.peaks.size());
        for (int k = 0; k < n; ++k) {
            const double x0 = kPlot.left() + double(k) * kPlot.width() / n;
            const double x1 = kPlot.left() + double(k + 1) * kPlot.width() / n;
            if (k > 0 && s.peaks[k] == s.peaks[k - 1]) {
                line.back().setX(x1);
                continue;
            }
            line << QPointF(x0, y(s.peaks[k])) << QPointF(x1, y(s.peaks[k]));
        }
        p.setPen(QPen(color, 0)); // a cosmetic pen: the raster engine strokes it without a path
        p.drawPolyline(line);
        const double ly = kPlot.top() + 10 + 20 * double(i);
        p.drawLine(QPointF(kPlot.right() + 10, ly), QPointF(kPlot.right() + 30, ly));
        p.setPen(Qt::black);
        const QString name = QString::fromStdU16String(AppDisplayName(static_cast<unsigned short>(s.code)));
        p.drawText(QRectF(kPlot.right() + 34, ly - 8, kWidth - kPlot.right() - 36, 16),
                   Qt::AlignLeft | Qt::AlignVCenter,
                   name.isEmpty() ? QString::number(s.code) : QStringLiteral("%1 %2").arg(s.code).arg(name));
    }
}

} // namespace

int main(int argc, char **argv)
{
    // A report run from a service or a plain shell has no session folder; Qt saying so is noise.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && !text.startsWith(QLatin1String("QStandardPaths:")))
            std::fprintf(stderr, "korvel-report: %s\n", qPrintable(text));
    });
    // Painting text needs a platform; this one needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr,
                     "korvel-report-chart: started by korvel-report chart; see korvel-report --help\n");
        return 2;
    }
    const QString file = args[1], out = args[2];
    const std::int64_t from = args[3].toLongLong(), to = args[4].toLongLong();
    const int code = args[5].toInt();
    THistoryReader reader;
    std::vector<TSpan> spans;
    QString error;
    if (to <= from || !reader.Open(file, &error) || !reader.Spans(from, to, code, spans, &error)) {
        std::fprintf(stderr, "korvel-report: %s\n",
                     qPrintable(error.isEmpty() ? QStringLiteral("empty range") : error));
        return 1;
    }
    const auto series = ComputeSeries(spans, from, to, kSlices, QDateTime::currentMSecsSinceEpoch());
    if (series.empty()) {
        std::fprintf(stderr, "korvel-report: no sessions in the chart's range\n");
        return 1;
    }
    bool ok = false;
    if (QFileInfo(out).suffix().toLower() == QLatin1String("svg")) {
        QSvgGenerator svg;
        svg.setFileName(out);
        svg.setSize(QSize(kWidth, kHeight));
        svg.setViewBox(QRect(0, 0, kWidth, kHeight));
        svg.setTitle(QStringLiteral("Korvel: instances running at once"));
        QPainter p;
        ok = p.begin(&svg);
        if (ok) {
            Paint(p, series, from, to);
            ok = p.end();
        }
    } else {
        QImage image(kWidth, kHeight, QImage::Format_RGB32);
        QPainter p(&image);
        Paint(p, series, from, to);
        p.end();
        ok = image.save(out, "PNG");
    }
    if (!ok) {
        std::fprintf(stderr, "korvel-report: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}
