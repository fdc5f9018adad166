// A test-only Qt plugin that lets a test read the master's list as a user sees it. Loaded into
// a master with QT_QPA_GENERIC_PLUGINS=korvellistprobe:FILE (and QT_PLUGIN_PATH naming the
// folder above generic/), it writes the list's rows to FILE whenever they change: one line per
// row, the cells separated by tabs, followed by the tip line that pointing at the row shows.

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QGenericPlugin>
#include <QLabel>
#include <QMouseEvent>
#include <QSaveFile>
#include <QTimer>

namespace {

class TListProbe : public QObject {
public:
    explicit TListProbe(QString path) : FPath(std::move(path))
    {
        auto *timer = new QTimer(this);
        timer->setInterval(100);
        connect(timer, &QTimer::timeout, this, &TListProbe::Snap);
        timer->start();
    }

private:
    void Snap()
    {
        QWidget *win = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QStringLiteral("MstMainWin"))
                win = w;
        auto *list = win ? win->findChild<QAbstractItemView *>(QStringLiteral("p_lvApps")) : nullptr;
        auto *tip = win ? win->findChild<QLabel *>(QStringLiteral("p_panTip")) : nullptr;
        if (!list || !tip || !list->model())
            return;
        const QAbstractItemModel *model = list->model();
        QWidget *viewport = list->viewport();
        QString text;
        for (int r = 0; r < model->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < model->columnCount(); ++c)
                cells << model->data(model->index(r, c)).toString();
            // Point at the row the way the mouse does; rows scrolled out of sight get no tip.
            const QPoint at = list->visualRect(model->index(r, 0)).center();
            QString tipText;
            if (viewport->rect().contains(at)) {
                QMouseEvent move(QEvent::MouseMove, at, viewport->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                                 Qt::NoModifier);
                QCoreApplication::sendEvent(viewport, &move);
                tipText = tip->text();
            }
            cells << tipText;
            text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
        }
        if (model->rowCount() > 0) {
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(viewport, &leave);
        }
        if (FWritten && text == FLast)
            return;
        QSaveFile f(FPath);
        if (f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) >= 0 && f.commit()) {
            FLast = text;
            FWritten = true;
        }
    }

    QString FPath;
    QString FLast;
    bool FWritten = false;
};

} // namespace

class TListProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "listprobe.json")

public:
    QObject *create(const QString &key, const QString &parameters) override
    {
        if (key.compare(QStringLiteral("korvellistprobe"), Qt::CaseInsensitive) != 0 || parameters.isEmpty())
            return nullptr;
        return new TListProbe(parameters);
    }
};

#include "listprobe.moc"
