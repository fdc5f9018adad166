// Loads the designer plugin of an installed or unpacked package as Qt's Designer does and checks
// that it offers the three controls on the "Samples" page, with ctlpack taken from the same
// tree as the plugin (through the plugin's own run path, not the caller's).
//
//   korvel_plugin_check PLUGIN ROOT      exit 0 when it loads and ctlpack came from ROOT

#include <QApplication>
#include <QFile>
#include <QPluginLoader>
#include <QWidget>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include <cstdio>
#include <memory>

namespace {

// The file the library named `name` was mapped from in this process, empty when none was.
QString MappedFrom(const QByteArray &name)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const int at = line.indexOf('/');
        if (at >= 0 && line.mid(at).contains(name))
            return QString::fromLocal8Bit(line.mid(at));
    }
    return {};
}

int Fail(const QString &why)
{
    std::fprintf(stderr, "plugin check: %s\n", why.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 3)
        return Fail(QStringLiteral("usage: korvel_plugin_check PLUGIN ROOT"));
    const QString plugin = QString::fromLocal8Bit(argv[1]);
    const QString root = QString::fromLocal8Bit(argv[2]);

    QPluginLoader loader(plugin);
    QObject *instance = loader.instance();
    if (!instance)
        return Fail(QStringLiteral("cannot load %1: %2").arg(plugin, loader.errorString()));
    auto *collection = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(instance);
    if (!collection)
        return Fail(QStringLiteral("%1 is no collection of custom widgets").arg(plugin));

    QStringList names;
    QWidget form;
    for (QDesignerCustomWidgetInterface *w : collection->customWidgets()) {
        if (w->group() != QStringLiteral("Samples"))
            return Fail(QStringLiteral("%1 is on the page %2").arg(w->name(), w->group()));
        std::unique_ptr<QWidget> made(w->createWidget(&form));
        if (!made || QString::fromLatin1(made->metaObject()->className()) != w->name())
            return Fail(QStringLiteral("the plugin does not make a %1").arg(w->name()));
        names << w->name();
    }
    names.sort();
    const QStringList expected{QStringLiteral("TMSpinEdit"), QStringLiteral("TMemImage"),
                               QStringLiteral("TSEdit")};
    if (names != expected)
        return Fail(QStringLiteral("controls offered: %1").arg(names.join(QLatin1Char(' '))));

    const QString ctlpack = MappedFrom("libctlpack.so");
    if (!ctlpack.startsWith(root + QLatin1Char('/')))
        return Fail(QStringLiteral("ctlpack came from %1, not from %2").arg(ctlpack, root));
    std::printf("plugin check: %s offers %s; ctlpack from %s\n", argv[1],
                names.join(QLatin1Char(' ')).toLocal8Bit().constData(), ctlpack.toLocal8Bit().constData());
    return 0;
}
