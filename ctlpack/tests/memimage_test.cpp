#include <ctlpack/ctlpack.h>

#include <testsupport/screenshots.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// What the control shows. A grab would be a repaint of its own, from the bitmap.
QColor Shown(TMemImage &img, int x, int y)
{
    return img.GetScreen().pixelColor(x, y);
}

class MemImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        img = std::make_unique<TMemImage>();
        img->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(img.get()));
        img->Clear(kWhite);
        img->ShowMem();
        img->SetRubberBand(true);
        img->SetRBMoveColor(kBlack);
        img->SetRBDrawColor(kRed);
    }

    void Drag(QPoint from, QPoint to, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::mousePress(img.get(), Qt::LeftButton, mods, from);
        QTest::mouseMove(img.get(), to);
        QTest::mouseRelease(img.get(), Qt::LeftButton, mods, to);
    }

    // Every pixel of the screen equals the colour, apart from those the predicate names.
    ::testing::AssertionResult ScreenIs(const QColor &c, const std::function<bool(int, int)> &except = {})
    {
        const QImage shown = img->GetScreen();
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                if (!(except && except(x, y)) && shown.pixelColor(x, y) != c)
                    return ::testing::AssertionFailure() << "pixel " << x << "," << y << " is "
                                                         << shown.pixelColor(x, y).name().toStdString();
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<TMemImage> img;
};

// True for the one-pixel outline of the band (l, t, r, b), right and bottom exclusive.
bool OnOutline(int x, int y, int l, int t, int r, int b)
{
    const bool inX = x >= l && x <= r - 1;
    const bool inY = y >= t && y <= b - 1;
    return (inX && (y == t || y == b - 1)) || (inY && (x == l || x == r - 1));
}

TEST(MemImageBasics, NewControl)
{
    TMemImage img;
    EXPECT_EQ(img.size(), QSize(105, 105));
    EXPECT_EQ(img.GetMemBitmap().size(), QSize(105, 105));
    const QColor face = img.palette().color(QPalette::Button);
    EXPECT_EQ(img.GetMemBitmap().pixelColor(0, 0), face);
    EXPECT_EQ(img.GetMemBitmap().pixelColor(104, 104), face);
    EXPECT_FALSE(img.RubberBand());
    EXPECT_EQ(img.RBWidth(), 1);
    EXPECT_EQ(img.RBMoveColor(), kBlack);
    EXPECT_EQ(img.RBDrawColor(), kBlack);
    EXPECT_TRUE(img.GetRBEmpty());
    EXPECT_TRUE(img.GetMemCanvas()->isActive());
    EXPECT_TRUE(img.setProperty("RBWidth", 3));
    EXPECT_EQ(img.RBWidth(), 3);
    img.SetRBWidth(-2);
    EXPECT_EQ(img.RBWidth(), 0);
}

TEST_F(MemImageTest, ClearShowsOnlyAfterShowMem)
{
    img->Clear(kBlue);
    EXPECT_EQ(img->GetMemBitmap().pixelColor(50, 50), kBlue);
    EXPECT_TRUE(ScreenIs(kWhite));
    img->ShowMem(QRect(10, 10, 20, 20));
    EXPECT_TRUE(ScreenIs(kWhite, [](int x, int y) { return x >= 10 && x < 30 && y >= 10 && y < 30; }));
    EXPECT_EQ(Shown(*img, 29, 29), kBlue);
    img->ShowMem();
    EXPECT_TRUE(ScreenIs(kBlue));
    // The canvas brush keeps the colour.
    EXPECT_EQ(img->GetMemCanvas()->brush().color(), kBlue);
}

TEST_F(MemImageTest, ApplicationDrawsOnTheCanvas)
{
    QPainter *canvas = img->GetMemCanvas();
    canvas->fillRect(QRect(0, 0, 5, 5), kRed);
    EXPECT_EQ(img->GetMemBitmap().pixelColor(4, 4), kRed);
    EXPECT_EQ(Shown(*img, 4, 4), kWhite);
    img->Repaint();
    EXPECT_EQ(Shown(*img, 4, 4), kRed);
    EXPECT_EQ(Shown(*img, 5, 5), kWhite);
}

TEST_F(MemImageTest, CopyToMemTakesWhatTheScreenShows)
{
    Drag(QPoint(10, 10), QPoint(50, 40));
    img->Clear(kBlue);
    img->CopyToMem(QRect(0, 0, 30, 30));
    const QImage bmp = img->GetMemBitmap();
    EXPECT_EQ(bmp.pixelColor(10, 10), kRed);
    EXPECT_EQ(bmp.pixelColor(20, 20), kWhite);
    EXPECT_EQ(bmp.pixelColor(30, 30), kBlue);
    img->CopyToMem();
    EXPECT_EQ(img->GetMemBitmap().pixelColor(49, 39), kRed);
}

TEST_F(MemImageTest, ResizeKeepsThePictureAndSizesTheBitmap)
{
    img->GetMemCanvas()->fillRect(QRect(0, 0, 10, 10), kRed);
    img->Clear(kWhite);
    img->GetMemCanvas()->fillRect(QRect(100, 100, 5, 5), kRed);
    img->resize(200, 150);
    ASSERT_TRUE(QTest::qWaitFor([&] { return img->GetMemBitmap().size() == QSize(200, 150); }));
    const QImage bmp = img->GetMemBitmap();
    EXPECT_EQ(bmp.pixelColor(104, 104), kRed);
    EXPECT_EQ(bmp.pixelColor(199, 149), kWhite);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(*img, 104, 104) == kRed; })) << "a resize repaints";
    EXPECT_TRUE(img->GetMemCanvas()->isActive());
    img->GetMemCanvas()->fillRect(QRect(190, 140, 10, 10), kBlue);
    EXPECT_EQ(img->GetMemBitmap().pixelColor(199, 149), kBlue);
    img->resize(20, 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return img->GetMemBitmap().size() == QSize(20, 20); }));
}

TEST(MemImageBounds, BitmapFollowsTheBoundsOfAControlNotYetShown)
{
    // The usual order: build the form, draw, show.
    QWidget form;
    form.resize(400, 300);
    auto *img = new TMemImage(&form);
    img->setGeometry(20, 30, 300, 200);
    EXPECT_EQ(img->GetMemBitmap().size(), QSize(300, 200));
    img->Clear(kWhite);
    img->GetMemCanvas()->fillRect(QRect(250, 150, 50, 50), kRed);
    img->resize(320, 210);
    img->GetMemCanvas()->fillRect(QRect(300, 200, 20, 10), kBlue);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QImage shown = form.grab().toImage();
    EXPECT_EQ(shown.pixelColor(20 + 299, 30 + 199), kRed);
    EXPECT_EQ(shown.pixelColor(20 + 319, 30 + 209), kBlue);
    EXPECT_EQ(shown.pixelColor(20 + 10, 30 + 10), kWhite);
}

TEST_F(MemImageTest, UpdateAndRepaintShowTheBitmap)
{
    img->GetMemCanvas()->fillRect(QRect(0, 0, 5, 5), kRed);
    img->update();
    EXPECT_TRUE(QTest::qWaitFor([&] { return img->GetScreen().pixelColor(4, 4) == kRed; }));
    img->GetMemCanvas()->fillRect(QRect(50, 50, 5, 5), kBlue);
    img->repaint(QRect(50, 50, 5, 5));
    EXPECT_EQ(img->GetScreen().pixelColor(52, 52), kBlue);
    EXPECT_EQ(img->GetScreen().pixelColor(4, 4), kRed);
}

// ---- the rubber band -----------------------------------------------------------------------

TEST_F(MemImageTest, DraggedBandIsInvertedThenDrawnInItsColour)
{
    QTest::mousePress(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseMove(img.get(), QPoint(30, 25));
    EXPECT_TRUE(ScreenIs(kWhite, [](int x, int y) { return OnOutline(x, y, 10, 10, 30, 25); }));
    EXPECT_EQ(Shown(*img, 10, 10), kBlack);
    EXPECT_EQ(Shown(*img, 29, 24), kBlack);

    QTest::mouseMove(img.get(), QPoint(50, 40));
    EXPECT_TRUE(ScreenIs(kWhite, [](int x, int y) { return OnOutline(x, y, 10, 10, 50, 40); }));
    EXPECT_EQ(Shown(*img, 49, 39), kBlack);

    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(50, 40));
    EXPECT_FALSE(img->GetRBEmpty());
    EXPECT_EQ(img->GetRBRect(), QRect(10, 10, 40, 30));
    EXPECT_TRUE(ScreenIs(kWhite, [](int x, int y) { return OnOutline(x, y, 10, 10, 50, 40); }));
    EXPECT_EQ(Shown(*img, 10, 10), kRed);
    EXPECT_EQ(Shown(*img, 49, 39), kRed);
    EXPECT_EQ(Shown(*img, 30, 39), kRed);
    // The bitmap never sees the band.
    EXPECT_EQ(img->GetMemBitmap().pixelColor(10, 10), kWhite);
    testsupport::saveScreenshot(img.get(), QStringLiteral("ctlpack_memimage_band"));

    // ShowMem paints over it; a repaint draws it again.
    img->ShowMem();
    EXPECT_TRUE(ScreenIs(kWhite));
    img->Repaint();
    EXPECT_EQ(Shown(*img, 10, 10), kRed);
    EXPECT_EQ(Shown(*img, 30, 25), kWhite);
}

TEST_F(MemImageTest, InvertingTwiceRestoresAPicture)
{
    QPainter *canvas = img->GetMemCanvas();
    for (int x = 0; x < 105; x += 3)
        canvas->fillRect(QRect(x, 0, 2, 105), QColor(x * 2, 255 - x, 90));
    img->ShowMem();
    const QImage before = img->GetScreen();
    img->SetRBWidth(3);
    QTest::mousePress(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    for (int i = 0; i < 8; ++i)
        QTest::mouseMove(img.get(), QPoint(30 + i * 9, 28 + i * 7));
    QTest::mouseMove(img.get(), QPoint(22, 21));
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_EQ(img->GetScreen(), before);
    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(22, 21));
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_EQ(img->GetScreen(), before);
}

TEST_F(MemImageTest, ShortDragLeavesNoBand)
{
    Drag(QPoint(40, 40), QPoint(44, 36));
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_TRUE(ScreenIs(kWhite));
}

TEST_F(MemImageTest, CornerIsClampedToTheControl)
{
    Drag(QPoint(60, 60), QPoint(300, -40));
    EXPECT_EQ(img->GetRBRect(), QRect(60, 0, 45, 60));
    EXPECT_EQ(Shown(*img, 104, 0), kRed);
    EXPECT_EQ(Shown(*img, 60, 59), kRed);
    Drag(QPoint(20, 20), QPoint(-5, 500));
    EXPECT_EQ(img->GetRBRect(), QRect(0, 20, 20, 85));
}

TEST_F(MemImageTest, NewBandRestoresAroundTheOldOneWithThePenMargin)
{
    img->SetRBWidth(3);
    Drag(QPoint(30, 30), QPoint(60, 50));
    EXPECT_EQ(Shown(*img, 29, 29), kRed) << "a 3-pixel pen straddles the outline";
    EXPECT_EQ(Shown(*img, 31, 31), kRed);
    EXPECT_EQ(Shown(*img, 32, 32), kWhite);
    // Make the bitmap differ from the screen, so that the restored area shows.
    img->Clear(kBlue);
    QTest::mousePress(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(80, 80));
    EXPECT_TRUE(img->GetRBEmpty());
    auto restored = [](int x, int y) { return x >= 27 && x < 63 && y >= 27 && y < 53; };
    EXPECT_TRUE(ScreenIs(kWhite, restored));
    EXPECT_EQ(Shown(*img, 27, 27), kBlue);
    EXPECT_EQ(Shown(*img, 62, 52), kBlue);
    EXPECT_EQ(Shown(*img, 45, 40), kBlue);
    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(80, 80));
}

TEST_F(MemImageTest, RBDestroyWithoutRestoreLeavesTheScreen)
{
    Drag(QPoint(10, 10), QPoint(50, 40));
    img->Clear(kBlue);
    img->RBDestroy(false);
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_EQ(img->GetRBRect().top(), 10) << "emptying keeps top and bottom";
    EXPECT_EQ(Shown(*img, 10, 10), kRed);
    img->RBDestroy(true);
    EXPECT_EQ(Shown(*img, 10, 10), kRed) << "an empty band has nothing to restore";
}

TEST_F(MemImageTest, OnlyTheLeftButtonAloneStartsABand)
{
    QSignalSpy downs(img.get(), &TMemImage::mouseDown);
    QSignalSpy ups(img.get(), &TMemImage::mouseUp);
    Drag(QPoint(10, 10), QPoint(60, 60), Qt::ControlModifier);
    Drag(QPoint(10, 10), QPoint(60, 60), Qt::ShiftModifier);
    QTest::mousePress(img.get(), Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseMove(img.get(), QPoint(60, 60));
    QTest::mouseRelease(img.get(), Qt::RightButton, Qt::NoModifier, QPoint(60, 60));
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_TRUE(ScreenIs(kWhite));

    QSignalSpy doubles(img.get(), &TMemImage::dblClick);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(10, 10), img->mapToGlobal(QPointF(10, 10)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(img.get(), &dbl);
    QTest::mouseMove(img.get(), QPoint(60, 60));
    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(60, 60));
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_TRUE(ScreenIs(kWhite));
    EXPECT_EQ(doubles.count(), 1);
    EXPECT_EQ(downs.count(), 4);
    EXPECT_EQ(ups.count(), 4);
}

TEST_F(MemImageTest, WithoutRubberBandTheMouseOnlyRaisesEvents)
{
    img->SetRubberBand(false);
    QSignalSpy downs(img.get(), &TMemImage::mouseDown);
    QSignalSpy moves(img.get(), &TMemImage::mouseMove);
    Drag(QPoint(10, 10), QPoint(60, 60));
    EXPECT_EQ(downs.count(), 1);
    EXPECT_GE(moves.count(), 1);
    EXPECT_EQ(downs.at(0).at(2).toInt(), 10);
    EXPECT_TRUE(img->GetRBEmpty());
    EXPECT_TRUE(ScreenIs(kWhite));
}

TEST_F(MemImageTest, MoveColourMixesByNotXor)
{
    img->Clear(kRed);
    img->ShowMem();
    img->SetRBDrawColor(kBlue);
    // Black inverts: red turns cyan.
    QTest::mousePress(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseMove(img.get(), QPoint(50, 40));
    EXPECT_EQ(Shown(*img, 10, 10), QColor(0, 255, 255));
    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(50, 40));
    EXPECT_EQ(Shown(*img, 10, 10), kBlue);

    // A white pen under not-xor leaves every pixel as it is.
    img->SetRBMoveColor(kWhite);
    QTest::mousePress(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mouseMove(img.get(), QPoint(70, 60));
    EXPECT_TRUE(ScreenIs(kRed));
    QTest::mouseRelease(img.get(), Qt::LeftButton, Qt::NoModifier, QPoint(70, 60));
    EXPECT_EQ(Shown(*img, 20, 20), kBlue);
}

TEST(MemImageDesign, DesignerShowsADashedOutlineOnly)
{
    QWidget form;
    form.setAutoFillBackground(true);
    QPalette pal = form.palette();
    pal.setColor(QPalette::Window, kBlue);
    form.setPalette(pal);
    form.resize(200, 200);
    auto *img = new TMemImage(&form);
    img->move(10, 10);
    img->Clear(kRed);
    img->SetDesigning(true);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QImage shot = form.grab().toImage();
    EXPECT_EQ(shot.pixelColor(60, 60), kBlue) << "no picture at design time";
    EXPECT_EQ(shot.pixelColor(10, 10), kBlack);
    testsupport::saveScreenshot(&form, QStringLiteral("ctlpack_memimage_design"));
}

TEST_F(MemImageTest, Screenshot)
{
    QPainter *canvas = img->GetMemCanvas();
    canvas->fillRect(QRect(0, 0, 105, 105), QColor(230, 240, 255));
    canvas->setPen(QPen(kBlue, 2));
    canvas->drawEllipse(QRect(15, 15, 75, 75));
    img->ShowMem();
    Drag(QPoint(20, 30), QPoint(80, 70));
    const QImage shot = testsupport::screenshot(img.get(), QStringLiteral("ctlpack_memimage"));
    ASSERT_EQ(shot.size(), QSize(105, 105));
    EXPECT_EQ(shot.pixelColor(3, 100), QColor(230, 240, 255)) << "the picture's background";
    EXPECT_EQ(shot.pixelColor(52, 52), kWhite) << "the circle filled with the canvas brush";
    EXPECT_EQ(shot.pixelColor(52, 15), kBlue) << "the top of the circle";
    EXPECT_EQ(shot.pixelColor(20, 30), kRed) << "the finished band";
    EXPECT_EQ(shot.pixelColor(79, 69), kRed);
}

} // namespace
