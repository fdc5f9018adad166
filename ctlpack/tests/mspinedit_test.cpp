#include <ctlpack/ctlpack.h>

#include <testsupport/screenshots.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <climits>
#include <memory>

namespace {

class SpinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        win = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(win.get());
        spin = new TMSpinEdit(win.get());
        other = new QLineEdit(win.get());
        layout->addWidget(spin);
        layout->addWidget(other);
        spin->SetMinValue(0);
        spin->SetMaxValue(100);
        spin->SetIncrement(5);
        win->show();
        win->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(win.get()));
    }

    // The user clicks into the box, selects its text and types over it.
    void TypeOver(const QString &keys)
    {
        spin->setFocus(Qt::MouseFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return spin->hasFocus(); }));
        QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(spin, keys);
    }

    void Leave()
    {
        other->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return other->hasFocus(); }));
    }

    std::unique_ptr<QWidget> win;
    TMSpinEdit *spin = nullptr;
    QLineEdit *other = nullptr;
};

TEST(SpinSnap, GridFromTheLowerBound)
{
    TMSpinEdit s;
    s.SetMinValue(0);
    s.SetMaxValue(100);
    s.SetIncrement(5);
    EXPECT_EQ(s.Snap(7), 5);
    EXPECT_EQ(s.Snap(10), 10);
    EXPECT_EQ(s.Snap(4), 0);
    s.SetMinValue(-10);
    EXPECT_EQ(s.Snap(-7), -10);
    EXPECT_EQ(s.Snap(3), 0);
    EXPECT_EQ(s.Snap(-1), -5);
    s.SetMinValue(3);
    EXPECT_EQ(s.Snap(12), 8);
    EXPECT_EQ(s.Snap(-4), -2) << "below the bound: the grid value toward the bound";
    s.SetIncrement(1);
    EXPECT_EQ(s.Snap(12), 12);
    s.SetIncrement(0);
    EXPECT_EQ(s.Snap(12), 12) << "no grid without a step";
}

TEST(SpinSnap, WholeIntRangeDoesNotOverflow)
{
    TMSpinEdit s;
    s.SetMinValue(INT_MIN);
    s.SetMaxValue(INT_MAX);
    s.SetIncrement(2);
    EXPECT_EQ(s.Snap(INT_MAX), INT_MAX - 1);
    EXPECT_EQ(s.Snap(INT_MIN), INT_MIN);
    s.SetIncrement(INT_MAX);
    EXPECT_EQ(s.Snap(INT_MAX), INT_MAX - 1);
}

TEST(SpinProps, DefaultsAndNames)
{
    TMSpinEdit s;
    EXPECT_FALSE(s.EditorInc());
    EXPECT_TRUE(s.EditorEnabled());
    EXPECT_TRUE(s.setProperty("EditorInc", true));
    EXPECT_TRUE(s.EditorInc());
    EXPECT_TRUE(s.setProperty("MaxValue", 50));
    EXPECT_TRUE(s.setProperty("Increment", 10));
    EXPECT_TRUE(s.setProperty("Value", 30));
    EXPECT_EQ(s.maximum(), 50);
    EXPECT_EQ(s.singleStep(), 10);
    EXPECT_EQ(s.value(), 30);
    EXPECT_TRUE(s.setProperty("EditorEnabled", false));
    EXPECT_FALSE(s.EditorEnabled());
}

TEST_F(SpinTest, TypedValueSnapsWhenTakenWithEditorInc)
{
    spin->SetEditorInc(true);
    spin->SetMaxValue(200);
    enum Taken { Enter, Leaving, StepUp, StepDown };
    struct Case {
        QString keys;
        Taken taken;
        int value;
    } cases[] = {
        {QStringLiteral("12"), Enter, 10},    {QStringLiteral("100"), Enter, 100},
        {QStringLiteral("64"), Enter, 60},    {QStringLiteral("7"), Leaving, 5},
        {QStringLiteral("7"), StepUp, 10},    {QStringLiteral("13"), StepDown, 5},
        {QStringLiteral("199"), StepUp, 200}, {QStringLiteral("3"), StepDown, 0},
    };
    for (const Case &c : cases) {
        spin->setValue(50);
        QSignalSpy values(spin, &QSpinBox::valueChanged);
        TypeOver(c.keys);
        EXPECT_EQ(spin->text(), c.keys) << "typed as it stands";
        switch (c.taken) {
        case Enter:
            QTest::keyClick(spin, Qt::Key_Return);
            break;
        case Leaving:
            Leave();
            break;
        case StepUp:
            QTest::keyClick(spin, Qt::Key_Up);
            break;
        case StepDown:
            QTest::keyClick(spin, Qt::Key_Down);
            break;
        }
        EXPECT_EQ(spin->value(), c.value) << c.keys.toStdString();
        EXPECT_EQ(spin->text(), QString::number(c.value));
        for (const QList<QVariant> &args : values)
            EXPECT_EQ(args.at(0).toInt() % 5, 0) << "an off-grid value was announced";
    }

    // A value the program set off the grid is stepped onto it.
    spin->setValue(7);
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->value(), 10);
    EXPECT_EQ(testsupport::screenshot(spin, QStringLiteral("ctlpack_mspinedit")).size(), spin->size());
    EXPECT_EQ(spin->text(), QStringLiteral("10"));
}

TEST_F(SpinTest, WithoutEditorIncTheValueSnapsOnLeaving)
{
    TypeOver(QStringLiteral("7"));
    EXPECT_EQ(spin->value(), 7);
    Leave();
    EXPECT_EQ(spin->value(), 5);

    // Leaving snaps whatever the step's size rule says for typing.
    spin->setValue(13);
    spin->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return spin->hasFocus(); }));
    Leave();
    EXPECT_EQ(spin->value(), 10);
}

TEST_F(SpinTest, StepOfOneNeverSnaps)
{
    spin->SetIncrement(1);
    spin->SetEditorInc(true);
    TypeOver(QStringLiteral("7"));
    EXPECT_EQ(spin->value(), 7);
    Leave();
    EXPECT_EQ(spin->value(), 7);
}

TEST_F(SpinTest, RefusedCharacters)
{
    spin->SetMinValue(-10);
    spin->SetMaxValue(1000);
    TypeOver(QStringLiteral("-3"));
    EXPECT_EQ(spin->value(), -3) << "minus reaches the box when negative values are possible";
    TypeOver(QStringLiteral("+4.5,6"));
    EXPECT_EQ(spin->text(), QStringLiteral("456"));

    spin->SetMinValue(0);
    TypeOver(QStringLiteral("-8"));
    EXPECT_EQ(spin->text(), QStringLiteral("8"));
}

TEST_F(SpinTest, ReadOnlyEditorKeepsItsValueButSteps)
{
    spin->setValue(7);
    spin->SetEditorEnabled(false);
    spin->SetEditorInc(true);
    TypeOver(QStringLiteral("42"));
    EXPECT_EQ(spin->value(), 7);
    Leave();
    EXPECT_EQ(spin->value(), 7);
    spin->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return spin->hasFocus(); }));
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->value(), 12);
}

TEST_F(SpinTest, ValueAboveTheMaximumNeverGetsIn)
{
    spin->SetMaxValue(98);
    spin->SetEditorInc(true);
    TypeOver(QStringLiteral("99"));
    EXPECT_EQ(spin->text(), QStringLiteral("9")) << "the second 9 would pass the maximum";
    Leave();
    EXPECT_EQ(spin->value(), 5);
}

TEST_F(SpinTest, NegativeRangeSnapsTowardTheLowerBound)
{
    spin->SetMinValue(-10);
    spin->SetEditorInc(true);
    TypeOver(QStringLiteral("-7"));
    EXPECT_EQ(spin->text(), QStringLiteral("-7"));
    Leave();
    EXPECT_EQ(spin->value(), -10);
}

} // namespace
