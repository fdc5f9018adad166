#include <common/gui/formkit.h>

#include <testsupport/screenshots.h>

#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

// A form with the pieces as the programs' windows use them; the shared handler records the
// "Tag" of each button clicked.
class Form : public QWidget {
public:
    Form()
    {
        SetupForm(this, "TestForm", " Korvel - Test", 12);
        setFixedSize(200, 60);
        lamp = MakeLamp(this, QRect(16, 20, 15, 21));
        exit = new QPushButton(QStringLiteral("Exit"), this);
        SetupTagButton(exit, "p_bnEsc", 1, QRect(40, 18, 75, 26), this, &Form::Click);
        help = MakeFlatButton(this, QStringLiteral("?"), PixelFont("Roboto Bk", 15, QFont::Bold));
        SetupTagButton(help, "p_bnHelp", 2, QRect(150, 18, 21, 25), this, &Form::Click);
    }
    void Click(QObject *button) { tags << button->property("Tag").toInt(); }

    QLabel *lamp;
    QPushButton *exit;
    QToolButton *help;
    QList<int> tags;
};

QColor LampCentre(QLabel *lamp)
{
    const QImage image = lamp->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

TEST(FormKit, FontsAreSizedInPixelsAndANormalWeightIsLeftToTheParent)
{
    const QFont plain = PixelFont("Segoe UI", 12);
    EXPECT_EQ(plain.pixelSize(), 12);
    EXPECT_EQ(plain.family(), QStringLiteral("Segoe UI"));
    EXPECT_FALSE(plain.resolveMask() & QFont::WeightResolved);
    const QFont semi = PixelFont("Segoe UI Semibold", 12, QFont::DemiBold);
    EXPECT_EQ(semi.weight(), QFont::DemiBold);
    EXPECT_EQ(PixelFont("Roboto Bk", 16, QFont::Bold).weight(), QFont::Bold);
}

TEST(FormKit, TheLampIsRedWhenOnAndGreyWhenOff)
{
    Form form;
    EXPECT_EQ(form.objectName(), QStringLiteral("TestForm"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral(" Korvel - Test"));
    EXPECT_EQ(form.font().pixelSize(), 12);
    EXPECT_EQ(form.contextMenuPolicy(), Qt::PreventContextMenu);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    EXPECT_EQ(form.lamp->objectName(), QStringLiteral("p_labLed"));
    EXPECT_EQ(form.lamp->text(), QString(QChar(0x25CF)));
    EXPECT_EQ(form.lamp->geometry(), QRect(16, 20, 15, 21));
    EXPECT_FALSE(form.lamp->isEnabled()) << "off at start";
    testsupport::saveScreenshot(&form, QStringLiteral("formkit_lamp_off"));
    EXPECT_EQ(LampCentre(form.lamp), QColor(160, 160, 160));

    form.lamp->setEnabled(true);
    testsupport::saveScreenshot(&form, QStringLiteral("formkit_lamp_on"));
    EXPECT_EQ(LampCentre(form.lamp), QColor(240, 0, 0));
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive})
        EXPECT_EQ(form.lamp->palette().color(g, QPalette::WindowText), QColor(240, 0, 0)) << g;
}

TEST(FormKit, TagButtonsReachTheSharedHandlerWithTheirTag)
{
    Form form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.exit->objectName(), QStringLiteral("p_bnEsc"));
    EXPECT_EQ(form.help->geometry(), QRect(150, 18, 21, 25));
    EXPECT_TRUE(form.help->autoRaise());
    EXPECT_EQ(form.help->text(), QStringLiteral("?"));
    EXPECT_EQ(form.help->palette().color(QPalette::ButtonText), QColor(159, 159, 159));
    EXPECT_TRUE(form.help->font().bold());

    QTest::mouseClick(form.help, Qt::LeftButton);
    QTest::mouseClick(form.exit, Qt::LeftButton);
    QTest::mouseClick(form.help, Qt::LeftButton);
    EXPECT_EQ(form.tags, (QList<int>{2, 1, 2}));
}

TEST(FormKit, PlacesCountFromTheScreensEndInWholeTenths)
{
    struct Case {
        int sw, sh, ww, wh, wTenths, hTenths;
        QPoint place;
    };
    const Case cases[] = {
        {1920, 1080, 398, 325, 15, 16, {1323, 560}}, // 1.5 x 398 is 597 exactly
        {1920, 1080, 366, 238, 13, 16, {1444, 699}}, // 475.8 and 380.8 truncate
        {100, 100, 101, 101, 15, 16, {-51, -61}},    // toward zero, also below zero
    };
    for (const Case &c : cases)
        EXPECT_EQ(PlaceFromScreenEnd(c.sw, c.sh, c.ww, c.wh, c.wTenths, c.hTenths), c.place) << c.ww;
}

TEST(FormKit, TheHeadlessScreenshotShowsTheFormAfterItChanged)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("form.png"));

    Form form;
    TFormShot shot(&form, file);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.lamp->setEnabled(true);
    shot.Schedule();
    shot.Schedule();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(file); }, 5000));
    const QImage image(file);
    EXPECT_EQ(image.size(), form.size());
    const QRect lamp = form.lamp->geometry();
    EXPECT_EQ(image.pixelColor(lamp.center().x(), lamp.center().y()), QColor(240, 0, 0))
        << "the lamp shows on";
}
