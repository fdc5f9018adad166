#include <corekit/windows.h>

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

namespace {

W_Rect rect(int left, int top, int width, int height)
{
    return {left, top, left + width, top + height};
}

void expectPos(const W_Point &p, int x, int y)
{
    EXPECT_EQ(p.X, x);
    EXPECT_EQ(p.Y, y);
}

// A shown top-level widget whose outer frame has the given geometry.
void placeFrame(QWidget &w, int left, int top, int width, int height)
{
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QRect frame = w.frameGeometry();
    const QRect inner = w.geometry();
    const int extraW = frame.width() - inner.width();
    const int extraH = frame.height() - inner.height();
    w.resize(width - extraW, height - extraH);
    w.move(left, top);
    QTRY_COMPARE(w.frameGeometry(), QRect(left, top, width, height));
}

} // namespace

TEST(WCalcCreatedFormPos, CentresOverOwnerOnA1920x1080Screen)
{
    expectPos(
        W_CalcCreatedFormPos(rect(100, 50, 800, 600), rect(0, 0, 340, 147), W_Centre, W_Centre, 1920, 1080),
        100 + 230, 50 + 226);
}

TEST(WCalcCreatedFormPos, OffsetsCountFromOwnerTopLeft)
{
    expectPos(W_CalcCreatedFormPos(rect(300, 200, 800, 600), rect(5, 5, 340, 147), 20, 20, 1920, 1080), 320,
              220);
    // Only one axis centred.
    expectPos(W_CalcCreatedFormPos(rect(300, 200, 800, 600), rect(5, 5, 340, 147), 20, W_Centre, 1920, 1080),
              320, 200 + 226);
}

TEST(WCalcCreatedFormPos, CentringTruncatesTowardZero)
{
    // (101 - 340) / 2 = -119.5 -> -119, not -120.
    expectPos(
        W_CalcCreatedFormPos(rect(1000, 500, 101, 101), rect(0, 0, 340, 340), W_Centre, W_Centre, 1920, 1080),
        1000 - 119, 500 - 119);
}

TEST(WCalcCreatedFormPos, OwnerNearRightAndBottomEdgesPushesWindowBack)
{
    expectPos(W_CalcCreatedFormPos(rect(1800, 1000, 400, 300), rect(0, 0, 340, 147), 20, 20, 1920, 1080),
              1920 - 340, 1080 - 147);
    // Right edge exactly on the screen edge stays.
    expectPos(W_CalcCreatedFormPos(rect(1580, 0, 10, 10), rect(0, 0, 340, 147), 0, 0, 1920, 1080), 1580, 0);
}

TEST(WCalcCreatedFormPos, OwnerLeftOfOrAboveScreenGivesZero)
{
    expectPos(W_CalcCreatedFormPos(rect(-500, -400, 100, 100), rect(0, 0, 340, 147), 20, 20, 1920, 1080), 0,
              0);
}

TEST(WCalcCreatedFormPos, WindowLargerThanScreenStartsAtTopLeftEdge)
{
    expectPos(
        W_CalcCreatedFormPos(rect(100, 100, 800, 600), rect(0, 0, 340, 5000), W_Centre, W_Centre, 1920, 1080),
        100 + 230, 0);
    expectPos(W_CalcCreatedFormPos(rect(100, 100, 800, 600), rect(0, 0, 4000, 100), 20, 20, 1920, 1080), 0,
              120);
}

TEST(WCalcCreatedFormPos, HugeOffsetsStayInsideScreen)
{
    expectPos(W_CalcCreatedFormPos(rect(1000, 1000, 10, 10), rect(0, 0, 340, 147), INT_MAX - 1, INT_MAX - 1,
                                   1920, 1080),
              1920 - 340, 1080 - 147);
    expectPos(
        W_CalcCreatedFormPos(rect(-1000, -1000, 10, 10), rect(0, 0, 340, 147), INT_MIN, INT_MIN, 1920, 1080),
        0, 0);
}

TEST(WPosCreatedForm, CentresAndOffsetsRealWindows)
{
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QWidget owner;
    placeFrame(owner, 50, 40, 400, 300);
    QWidget box;
    placeFrame(box, 0, 0, 200, 100);

    W_PosCreatedForm(&owner, &box, W_Centre, W_Centre);
    const W_Point expected = W_CalcCreatedFormPos(rect(50, 40, 400, 300), rect(0, 0, 200, 100), W_Centre,
                                                  W_Centre, screen.width(), screen.height());
    EXPECT_EQ(box.frameGeometry(), QRect(expected.X, expected.Y, 200, 100));
    EXPECT_EQ(box.frameGeometry().topLeft(), QPoint(150, 140));

    W_PosCreatedForm(&owner, &box, 20, 20);
    EXPECT_EQ(box.frameGeometry(), QRect(70, 60, 200, 100));
}

TEST(WPosCreatedForm, KeepsWindowInsidePrimaryScreen)
{
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QWidget owner;
    placeFrame(owner, screen.width() - 100, screen.height() - 50, 90, 40);
    QWidget box;
    placeFrame(box, 0, 0, 200, 100);
    W_PosCreatedForm(&owner, &box, 20, 20);
    EXPECT_EQ(box.frameGeometry(), QRect(screen.width() - 200, screen.height() - 100, 200, 100));

    // Taller than the screen: starts at the top edge.
    QWidget tall;
    placeFrame(tall, 0, 0, 200, screen.height() + 300);
    W_PosCreatedForm(&owner, &tall, 0, W_Centre);
    EXPECT_EQ(tall.frameGeometry().top(), 0);
    EXPECT_EQ(tall.frameGeometry().height(), screen.height() + 300);
}

TEST(WPosCreatedForm, MeasuresTheFrameOfAWindowNotYetShown)
{
    QWidget owner;
    placeFrame(owner, 50, 40, 400, 300);
    QWidget box;
    box.resize(200, 100);
    W_PosCreatedForm(&owner, &box, W_Centre, W_Centre);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    const QRect frame = box.frameGeometry();
    EXPECT_EQ(frame.topLeft(), QPoint(50 + (400 - frame.width()) / 2, 40 + (300 - frame.height()) / 2));
}

TEST(WPosCreatedForm, ChildOwnerIsMeasuredOnTheScreen)
{
    // The owner may be a control inside a window: its rectangle is where it sits on the screen,
    // not its place within its parent.
    QWidget top;
    placeFrame(top, 100, 80, 500, 400);
    QWidget child(&top);
    child.setGeometry(40, 30, 200, 100);
    child.show();
    QWidget box;
    placeFrame(box, 0, 0, 100, 50);

    const QPoint childOnScreen = child.mapToGlobal(QPoint(0, 0));
    ASSERT_NE(childOnScreen, QPoint(40, 30));
    W_PosCreatedForm(&child, &box, 10, 5);
    EXPECT_EQ(box.frameGeometry().topLeft(), childOnScreen + QPoint(10, 5));
    W_PosCreatedForm(&child, &box, W_Centre, W_Centre);
    EXPECT_EQ(box.frameGeometry().topLeft(), childOnScreen + QPoint(50, 25));
}

TEST(WPosCreatedForm, NullHandlesDoNothing)
{
    QWidget box;
    placeFrame(box, 30, 30, 200, 100);
    W_PosCreatedForm(nullptr, &box, 0, 0);
    W_PosCreatedForm(&box, nullptr, 0, 0);
    EXPECT_EQ(box.frameGeometry(), QRect(30, 30, 200, 100));
}

TEST(KCheckShift, InclusiveAndExactTests)
{
    const unsigned short shiftCtrl = K_ssShift | K_ssCtrl;
    EXPECT_TRUE(K_CheckShift(shiftCtrl, "C"));
    EXPECT_FALSE(K_CheckShift(shiftCtrl, "=C"));
    EXPECT_TRUE(K_CheckShift(shiftCtrl, "=CS"));
    EXPECT_TRUE(K_CheckShift(shiftCtrl, "=SC"));
    EXPECT_FALSE(K_CheckShift(shiftCtrl, "CA"));
    EXPECT_TRUE(K_CheckShift(K_ssLeft | K_ssAlt, "LA"));
    EXPECT_TRUE(K_CheckShift(K_ssRight, "=R"));
    EXPECT_FALSE(K_CheckShift(K_ssRight, "=L"));
}

TEST(KCheckShift, RepeatedAndForeignCharactersAndHighFlags)
{
    // Lower case, blanks and other characters name no flag; a letter counts once.
    EXPECT_TRUE(K_CheckShift(K_ssShift, "=SSs x"));
    EXPECT_FALSE(K_CheckShift(K_ssShift, "=s"));
    EXPECT_TRUE(K_CheckShift(0, "x"));
    EXPECT_FALSE(K_CheckShift(K_ssShift | 0x100, "=S")); // a further flag spoils an exact test
    EXPECT_TRUE(K_CheckShift(K_ssShift | 0x100, "S"));
    EXPECT_TRUE(K_CheckShift(0, "="));
    EXPECT_FALSE(K_CheckShift(K_ssAlt, "="));
}

TEST(KCheckShift, EmptyLettersThrow)
{
    EXPECT_THROW(K_CheckShift(0, ""), std::out_of_range);
    EXPECT_THROW(K_CheckShift(0, nullptr), std::out_of_range);
}

TEST(KKeys, FollowModifierKeysPressedOnAWindow)
{
    QWidget w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QWindow *win = w.windowHandle();

    EXPECT_EQ(K_MKeyString(), u"");
    EXPECT_FALSE(K_CheckKey(0x10));

    QTest::keyPress(win, Qt::Key_Control, Qt::ControlModifier);
    QTest::keyPress(win, Qt::Key_Shift, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(K_MKeyString(), u"CS");
    EXPECT_TRUE(K_CheckKey(0x10));
    EXPECT_TRUE(K_CheckKey(0x11));
    EXPECT_TRUE(K_CheckKey(0xA2));
    EXPECT_FALSE(K_CheckKey(0x12));

    QTest::keyRelease(win, Qt::Key_Shift, Qt::ControlModifier);
    QTest::keyRelease(win, Qt::Key_Control, Qt::NoModifier);
    QTest::keyPress(win, Qt::Key_Alt, Qt::AltModifier);
    EXPECT_EQ(K_MKeyString(), u"A");
    EXPECT_TRUE(K_CheckKey(0x12));
    EXPECT_FALSE(K_CheckKey(0x11));
    EXPECT_FALSE(K_CheckKey(0x41)); // ordinary keys cannot be queried
    QTest::keyRelease(win, Qt::Key_Alt, Qt::NoModifier);
    EXPECT_EQ(K_MKeyString(), u"");
    EXPECT_FALSE(K_CheckKey(0x12));
}

TEST(KKeys, MouseButtons)
{
    QWidget w;
    w.resize(100, 100);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::mousePress(w.windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(K_CheckKey(0x01));
    EXPECT_FALSE(K_CheckKey(0x02));
    QTest::mouseRelease(w.windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_FALSE(K_CheckKey(0x01));
}
