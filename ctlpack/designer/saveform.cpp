// Saves designerform's form as a user of the designer would: the controls come from the
// package's plugin, every property is set through the form window's cursor (what the property
// editor does) and the form is written by the designer's own form classes.
//
//   ctlpack_designer_saveform <folder holding designer/> <output .ui>
#include "designer_form.h"

#include <QApplication>
#include <QFile>
#include <QtDesigner/QDesignerComponents>
#include <QtDesigner/QDesignerFormEditorInterface>
#include <QtDesigner/QDesignerFormWindowCursorInterface>
#include <QtDesigner/QDesignerFormWindowInterface>
#include <QtDesigner/QDesignerFormWindowManagerInterface>
#include <QtDesigner/QDesignerIntegration>

#include <cstdio>

int main(int argc, char **argv)
{
    // The designer warns of what an offscreen session lacks (OpenGL, a property editor); the
    // tool's own failures go to stderr below.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <plugin folder> <output.ui>\n", argv[0]);
        return 2;
    }
    // The designer looks for plugins in designer/ below every library path.
    QCoreApplication::addLibraryPath(QString::fromLocal8Bit(argv[1]));
    QDesignerFormEditorInterface *core = QDesignerComponents::createFormEditor(&app);
    QDesignerComponents::initializeResources();
    QDesignerComponents::initializePlugins(core);
    new QDesignerIntegration(core, &app);

    QString xml = QStringLiteral("<ui version=\"4.0\"><class>DesignerForm</class>"
                                 "<widget class=\"QWidget\" name=\"DesignerForm\">");
    for (const designerform::Control &c : designerform::Controls)
        xml += QStringLiteral("<widget class=\"%1\" name=\"%2\"/>")
                   .arg(QLatin1String(c.className), QLatin1String(c.objectName));
    xml += QStringLiteral("</widget></ui>");

    QDesignerFormWindowInterface *form = core->formWindowManager()->createFormWindow();
    if (!form->setContents(xml)) {
        std::fprintf(stderr, "the designer cannot load the form\n");
        return 1;
    }
    for (const designerform::Published &p : designerform::Values()) {
        auto *control = form->mainContainer()->findChild<QWidget *>(QLatin1String(p.objectName));
        if (!control || control->metaObject()->indexOfProperty(p.property) < 0) {
            std::fprintf(stderr, "%s has no property %s: is the plugin missing?\n", p.objectName, p.property);
            return 1;
        }
        form->cursor()->setWidgetProperty(control, QLatin1String(p.property), p.value);
    }

    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(form->contents().toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
