#include "boxdriver.h"

#include <QElapsedTimer>
#include <QScreen>
#include <QTimer>
#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

// Starts its clock when a self-closing box first becomes active, before the box sees it.
class FirstActivation : public QObject {
public:
    FirstActivation() { qApp->installEventFilter(this); }
    ~FirstActivation() override { qApp->removeEventFilter(this); }
    QElapsedTimer clock;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::WindowActivate && !clock.isValid() &&
            qobject_cast<TAMesBoxDlg *>(watched))
            clock.start();
        return false;
    }
};

TEST(CMesBoxAuto, ClosesByItselfAfterTheGivenSecondsNeverBefore)
{
    // A coarse timer fires early for some start times only; the precise one never does, so
    // the box must use that one rather than rounds of real seconds hoping to catch it.
    int interval = -1;
    Qt::TimerType type = Qt::CoarseTimer;
    BoxDriver driver(
        [&](QDialog *box) {
            const auto *timer = box->findChild<QTimer *>(u"p_tmClose"_s);
            interval = timer->interval();
            type = timer->timerType();
        },
        u"autobox_info"_s);
    FirstActivation activated;
    CMesBoxAuto(nullptr, 1, u"Connection to the master restored.", u"Korvel", false, W_Centre, W_Centre);
    ASSERT_TRUE(activated.clock.isValid());
    EXPECT_GE(activated.clock.elapsed(), 1000) << "closed early";
    EXPECT_EQ(interval, 1000);
    EXPECT_EQ(type, Qt::PreciseTimer);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, u"Korvel"_s);
    EXPECT_EQ(driver.seen[0].buttons, QStringList{u"mp_bnOk=ОК"_s});
    EXPECT_EQ(driver.seen[0].pictures, QStringList{u"p_imgInfo"_s});
    EXPECT_EQ(driver.seen[0].client, QSize(332, 116));
    EXPECT_EQ(driver.beeps, std::vector<unsigned>{noticekit::SimpleBeep});
}

TEST(CMesBoxAuto, ErrorBoxShowsTheErrorPictureAndBeepsWithoutFallback)
{
    BoxDriver driver(click("mp_bnOk"), u"autobox_error"_s);
    driver.failing = {16};
    CMesBoxAuto(nullptr, 30, u"Master is not reachable.", u"", true, W_Centre, W_Centre);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].pictures, QStringList{u"p_imgErr"_s});
    EXPECT_EQ(driver.seen[0].title, QString());
    EXPECT_EQ(driver.beeps, std::vector<unsigned>{16});
}

TEST(CMesBoxAuto, TimeCountsFromTheFirstActivation)
{
    TAMesBoxDlg box;
    box.p_tmClose->setInterval(60000);
    EXPECT_FALSE(box.p_tmClose->isActive());
    box.FormActivate();
    ASSERT_TRUE(box.p_tmClose->isActive());
    const int left = box.p_tmClose->remainingTime();
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.p_tmClose->remainingTime() < left; }, 10000));
    const int lessLeft = box.p_tmClose->remainingTime();
    box.FormActivate(); // a later activation does not restart the count
    EXPECT_LE(box.p_tmClose->remainingTime(), lessLeft);

    box.p_tmCloseTimer();
    EXPECT_FALSE(box.p_tmClose->isActive());
}

TEST(CMesBoxAuto, ZeroOrNegativeSecondsWaitForTheUser)
{
    for (int seconds : {0, -5}) {
        bool timerRan = true;
        bool open = false;
        BoxDriver driver([&](QDialog *box) {
            // The timer starts, if at all, on the box's activation.
            EXPECT_TRUE(QTest::qWaitForWindowActive(box, 10000)) << seconds;
            timerRan = box->findChild<QTimer *>(u"p_tmClose"_s)->isActive();
            press(Qt::Key_Escape)(box);
            open = box->isVisible();
            box->close();
        });
        CMesBoxAuto(nullptr, seconds, u"Waiting.", u"", false, W_Centre, W_Centre);
        EXPECT_FALSE(timerRan) << seconds;
        EXPECT_TRUE(open) << seconds;
    }
}

TEST(CMesBoxAuto, LongTextIsCutAtTheLabelAndTheBoxKeepsItsSize)
{
    QString tenThousand;
    while (tenThousand.size() < 10000)
        tenThousand += u"word "_s;
    tenThousand.truncate(10000);
    const QRect s = QGuiApplication::primaryScreen()->geometry();
    for (const QString &m : {QString(), tenThousand, QString(5000, QLatin1Char('x')), u"שלום עולם، مرحبا"_s,
                             u"bad "_s + QChar(0xDC00)}) {
        BoxDriver driver([](QDialog *box) {
            auto *label = box->findChild<QLabel *>(u"mp_labMes"_s);
            EXPECT_EQ(label->geometry(), QRect(9, 15, 257, 54));
            box->close();
        });
        CMesBoxAuto(nullptr, 5, UnicodeString(reinterpret_cast<const char16_t *>(m.utf16()), m.size()), u"",
                    false, W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].client, QSize(332, 116));
        EXPECT_TRUE(s.contains(driver.seen[0].frame));
        EXPECT_EQ(driver.seen[0].message, m);
    }
}

TEST(CMesBoxAuto, PlacedOverTheParent)
{
    QWidget parent;
    parent.setGeometry(50, 60, 700, 500);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    const QRect p = parent.frameGeometry();
    BoxDriver driver(click("mp_bnOk"));
    CMesBoxAuto(&parent, 10, u"Saved.", u"", false, 20, W_Centre);
    const QRect f = driver.seen.at(0).frame;
    EXPECT_EQ(f.topLeft(), QPoint(p.left() + 20, p.top() + (p.height() - f.height()) / 2));
}
