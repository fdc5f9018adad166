#include <ctlpack/ctlpack.h>

#include <QMetaProperty>
#include <QPluginLoader>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include "designer_form.h"
#include "ui_designer_form.h"

namespace {

TEST(DesignerPlugin, PutsTheThreeControlsOnTheSamplesPage)
{
    QPluginLoader loader(QStringLiteral(CTLPACK_DESIGNER_PLUGIN));
    QObject *instance = loader.instance();
    ASSERT_NE(instance, nullptr) << loader.errorString().toStdString();
    auto *collection = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(instance);
    ASSERT_NE(collection, nullptr);

    QStringList names;
    QWidget form;
    for (QDesignerCustomWidgetInterface *w : collection->customWidgets()) {
        names << w->name();
        EXPECT_EQ(w->group(), QStringLiteral("Samples"));
        EXPECT_EQ(w->includeFile(), QStringLiteral("ctlpack/ctlpack.h"));
        EXPECT_FALSE(w->isContainer());
        EXPECT_TRUE(w->domXml().contains(QStringLiteral("class=\"%1\"").arg(w->name())));
        std::unique_ptr<QWidget> made(w->createWidget(&form));
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->parentWidget(), &form);
        EXPECT_EQ(QString::fromLatin1(made->metaObject()->className()), w->name());
        if (w->name() == QStringLiteral("TSEdit")) {
            EXPECT_NE(qobject_cast<TSEdit *>(made.get()), nullptr);
        } else if (w->name() == QStringLiteral("TMSpinEdit")) {
            EXPECT_NE(qobject_cast<TMSpinEdit *>(made.get()), nullptr);
        } else {
            auto *img = qobject_cast<TMemImage *>(made.get());
            ASSERT_NE(img, nullptr);
            EXPECT_TRUE(img->Designing());
        }
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("TMSpinEdit"), QStringLiteral("TMemImage"),
                                  QStringLiteral("TSEdit")}));
}

TEST(DesignerPlugin, PublishedPropertiesAreVisibleToTheDesigner)
{
    TSEdit ed;
    const QMetaObject *mo = ed.metaObject();
    const int kind = mo->indexOfProperty("EditKind");
    ASSERT_GE(kind, 0);
    EXPECT_TRUE(mo->property(kind).isEnumType());
    EXPECT_STREQ(mo->property(kind).enumerator().valueToKey(ekUFloat), "ekUFloat");
    EXPECT_GE(mo->indexOfProperty("Escape"), 0);
    EXPECT_GE(mo->indexOfProperty("DecimalPoint"), 0);
    TMSpinEdit spin;
    EXPECT_GE(spin.metaObject()->indexOfProperty("EditorInc"), 0);
    TMemImage img;
    for (const char *p : {"RubberBand", "RBMoveColor", "RBDrawColor", "RBWidth"})
        EXPECT_GE(img.metaObject()->indexOfProperty(p), 0) << p;
}

std::unique_ptr<QWidget> FreshControl(std::string_view className)
{
    if (className == "TSEdit")
        return std::make_unique<TSEdit>();
    if (className == "TMSpinEdit")
        return std::make_unique<TMSpinEdit>();
    return std::make_unique<TMemImage>();
}

bool SameValue(const QVariant &a, const QVariant &b)
{
    // Enumerations come back as their own type; the form sets them by number.
    return b.typeId() == QMetaType::Int ? a.toInt() == b.toInt() : a == b;
}

// The form was saved by the designer's own classes at build time and compiled by uic here.
TEST(DesignerPlugin, EveryPublishedPropertySurvivesSaveUicAndBuild)
{
    QWidget form;
    Ui::DesignerForm ui;
    ui.setupUi(&form);
    const QList<designerform::Published> values = designerform::Values();
    for (const designerform::Control &c : designerform::Controls) {
        auto *control = form.findChild<QWidget *>(QLatin1String(c.objectName));
        ASSERT_NE(control, nullptr) << c.objectName;
        ASSERT_STREQ(control->metaObject()->className(), c.className);
        const std::unique_ptr<QWidget> fresh = FreshControl(c.className);
        const QMetaObject *mo = control->metaObject();
        for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i) {
            const char *name = mo->property(i).name();
            const auto set =
                std::find_if(values.begin(), values.end(), [&](const designerform::Published &p) {
                    return qstrcmp(p.objectName, c.objectName) == 0 && qstrcmp(p.property, name) == 0;
                });
            ASSERT_NE(set, values.end()) << c.className << "::" << name << " is not set in the saved form";
            ASSERT_FALSE(SameValue(fresh->property(name), set->value)) << name << " is set to its default";
            EXPECT_TRUE(SameValue(control->property(name), set->value)) << c.className << "::" << name;
        }
    }
}

} // namespace
