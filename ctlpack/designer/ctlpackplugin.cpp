// Puts TSEdit, TMSpinEdit and TMemImage on the designer's "Samples" page.
#include <ctlpack/ctlpack.h>

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include <QIcon>
#include <QObject>

#include <functional>

namespace {

class ControlEntry : public QDesignerCustomWidgetInterface {
public:
    using Factory = std::function<QWidget *(QWidget *)>;

    ControlEntry(QString name, QString objectName, QString toolTip, Factory factory)
        : FName(std::move(name)), FObjectName(std::move(objectName)), FToolTip(std::move(toolTip)),
          FFactory(std::move(factory))
    {
    }

    QString name() const override { return FName; }
    QString group() const override { return QStringLiteral("Samples"); }
    QString toolTip() const override { return FToolTip; }
    QString whatsThis() const override { return FToolTip; }
    QString includeFile() const override { return QStringLiteral("ctlpack/ctlpack.h"); }
    QIcon icon() const override { return {}; }
    bool isContainer() const override { return false; }
    QWidget *createWidget(QWidget *parent) override { return FFactory(parent); }
    bool isInitialized() const override { return FInitialized; }
    void initialize(QDesignerFormEditorInterface *) override { FInitialized = true; }
    QString domXml() const override
    {
        return QStringLiteral("<ui language=\"c++\"><widget class=\"%1\" name=\"%2\"/></ui>")
            .arg(FName, FObjectName);
    }

private:
    QString FName;
    QString FObjectName;
    QString FToolTip;
    Factory FFactory;
    bool FInitialized = false;
};

} // namespace

class CtlpackDesignerPlugin : public QObject, public QDesignerCustomWidgetCollectionInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetCollectionInterface")
    Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)

public:
    explicit CtlpackDesignerPlugin(QObject *parent = nullptr) : QObject(parent)
    {
        FEntries.append(
            new ControlEntry(QStringLiteral("TMemImage"), QStringLiteral("p_imgMem"),
                             QStringLiteral("Picture backed by an off-screen bitmap, with a rubber band"),
                             [](QWidget *parent) {
                                 auto *img = new TMemImage(parent);
                                 img->SetDesigning(true);
                                 return img;
                             }));
        FEntries.append(new ControlEntry(QStringLiteral("TMSpinEdit"), QStringLiteral("p_edSpin"),
                                         QStringLiteral("Integer spin box that snaps to its step"),
                                         [](QWidget *parent) { return new TMSpinEdit(parent); }));
        FEntries.append(new ControlEntry(QStringLiteral("TSEdit"), QStringLiteral("p_edText"),
                                         QStringLiteral("Edit box that accepts only what fits its kind"),
                                         [](QWidget *parent) { return new TSEdit(parent); }));
    }

    ~CtlpackDesignerPlugin() override { qDeleteAll(FEntries); }

    QList<QDesignerCustomWidgetInterface *> customWidgets() const override { return FEntries; }

private:
    QList<QDesignerCustomWidgetInterface *> FEntries;
};

#include "ctlpackplugin.moc"
