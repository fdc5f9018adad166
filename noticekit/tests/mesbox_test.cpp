#include "boxdriver.h"

#include <QScreen>
#include <QWidget>
#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const UnicodeString OneLine = u"File saved.";
const UnicodeString LongText =
    U("The master station did not answer. Check that the master service runs, that its address and port "
      "are the ones configured here, and that no firewall between the two machines drops the connection.");

QMargins frameOf(QWidget &w)
{
    const QRect f = w.frameGeometry();
    const QRect g = w.geometry();
    return {g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom()};
}

QRect screenRect()
{
    return QGuiApplication::primaryScreen()->geometry();
}

// A shown parent window with the given outer geometry.
void showParent(QWidget &w, const QRect &frame)
{
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QMargins m = frameOf(w);
    w.resize(frame.width() - m.left() - m.right(), frame.height() - m.top() - m.bottom());
    w.move(frame.topLeft());
    QTRY_COMPARE(w.frameGeometry(), frame);
}

} // namespace

TEST(TCustMesBoxLayout, OneLineMessageUsesPictureHeight)
{
    TCustMesBox box(nullptr, OneLine);
    const QMargins frame = box.frameMargins();
    EXPECT_EQ(box.mp_labMes->height(), 33);
    EXPECT_TRUE(box.mp_labMes->alignment() & Qt::AlignVCenter);
    EXPECT_EQ(box.mp_panMes->height(), 63);
    EXPECT_EQ(box.mp_panImg->height(), 63);
    EXPECT_EQ(box.height(), 105);
    EXPECT_EQ(box.width() + frame.left() + frame.right(), 340);
    EXPECT_EQ(box.mp_panMes->geometry(), QRect(50, 0, 290, 63));
    EXPECT_EQ(box.mp_labMes->geometry(), QRect(6, 10, 274, 33));
    EXPECT_EQ(box.mp_panBtn->geometry(), QRect(0, 64, box.width(), 42));
    EXPECT_EQ(box.mp_labMes->text(), QStringLiteral("File saved."));
    EXPECT_EQ(GetMesBoxCSize(mkInfo, OneLine), QPoint(340, 105 + frame.top() + frame.bottom()));
}

TEST(TCustMesBoxLayout, LongMessageGrowsPanelsWithTheWrappedText)
{
    TCustMesBox box(nullptr, LongText);
    const int label = box.mp_labMes->height();
    EXPECT_GT(label, 33);
    EXPECT_EQ(box.mp_labMes->width(), 274);
    EXPECT_EQ(label, box.mp_labMes->heightForWidth(274));
    EXPECT_TRUE(box.mp_labMes->alignment() & Qt::AlignTop);
    EXPECT_EQ(box.mp_panMes->height(), label + 30);
    EXPECT_EQ(box.mp_panImg->height(), label + 30);
    EXPECT_EQ(box.mp_panBtn->y(), label + 31);
    EXPECT_EQ(box.height(), label + 30 + 42);

    // More text, more lines: the wrapped height really follows the text.
    TCustMesBox longer(nullptr, LongText + u' ' + LongText);
    EXPECT_GT(longer.mp_labMes->height(), label);
}

TEST(TCustMesBoxLayout, SizeIsTheSameForEveryKindAndMatchesTheShownBox)
{
    const QPoint size = GetMesBoxCSize(0, LongText);
    for (int kind : {1, 2, 3, 4, 5, 6, -1})
        EXPECT_EQ(GetMesBoxCSize(kind, LongText), size) << kind;
    EXPECT_EQ(size.x(), 340);

    BoxDriver driver(click("mp_bnOk"));
    MesBoxC(mkQuestion, nullptr, LongText, u"", W_Centre, W_Centre);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].frame.size(), QSize(size.x(), size.y()));
}

TEST(TCustMesBoxLayout, EmptyMessageShowsPlaceholderInEnglish)
{
    TCustMesBox box(nullptr, u"");
    EXPECT_EQ(box.mp_labMes->text(), QStringLiteral("No message passed"));
    EXPECT_FALSE(box.Russian());
    EXPECT_EQ(box.mp_labMes->height(), 33);

    BoxDriver driver(click("mp_bnOk"));
    EXPECT_EQ(MesBoxC(mkError, nullptr, u"", u"", W_Centre, W_Centre), 1);
    EXPECT_EQ(driver.seen.at(0).title, QStringLiteral("Error"));
}

TEST(TCustMesBoxLayout, ButtonsAreCentredInTheirPanel)
{
    TCustMesBox one(nullptr, OneLine);
    one.SetupKind(mkInfo, true);
    const int p = one.mp_panBtn->width();
    EXPECT_EQ(one.mp_bnOk->geometry(), QRect((p - 75) / 2, 10, 75, 25));

    TCustMesBox two(nullptr, OneLine);
    two.SetupKind(mkWarning, true);
    EXPECT_EQ(two.mp_bnOk->x(), (p - 5 - 150) / 2);
    EXPECT_EQ(two.mp_bnEsc->x(), (p - 5 - 150) / 2 + 80);
    EXPECT_TRUE(two.mp_bnNo->isHidden());

    TCustMesBox three(nullptr, OneLine);
    three.SetupKind(mkYesNoCancel, true);
    EXPECT_EQ(three.mp_bnOk->x(), (p - 225 - 10) / 2);
    EXPECT_EQ(three.mp_bnNo->x(), (p - 225 - 10) / 2 + 80);
    EXPECT_EQ(three.mp_bnEsc->x(), (p - 225 - 10) / 2 + 160);
    EXPECT_EQ(three.mp_bnOk->y(), 10);
}

struct KindCase {
    int kind;
    const char *titleEn;
    const char *titleRu;
    const char *picture;
    QStringList buttonsEn;
    QStringList buttonsRu;
    unsigned beep;
};

class MesBoxCKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(MesBoxCKinds, TitlesButtonsPictureAndBeepInBothLanguages)
{
    const KindCase &c = GetParam();
    const char *tag = c.kind == 0   ? "error"
                      : c.kind == 1 ? "info"
                      : c.kind == 2 ? "confirm"
                      : c.kind == 3 ? "question"
                      : c.kind == 4 ? "warning"
                                    : "yesnocancel";
    {
        BoxDriver driver(closeBox(), QStringLiteral("mesbox_%1_en").arg(QLatin1String(tag)));
        MesBoxC(c.kind, nullptr, u"Save the changes to the settings?", u"", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, QString::fromUtf8(c.titleEn));
        EXPECT_EQ(driver.seen[0].buttons, c.buttonsEn);
        EXPECT_EQ(driver.seen[0].pictures, QStringList{QString::fromLatin1(c.picture)});
        EXPECT_EQ(driver.beeps, std::vector<unsigned>{c.beep});
    }
    {
        BoxDriver driver(closeBox(), QStringLiteral("mesbox_%1_ru").arg(QLatin1String(tag)));
        MesBoxC(c.kind, nullptr, u"Сохранить изменения настроек?", u"", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, QString::fromUtf8(c.titleRu));
        EXPECT_EQ(driver.seen[0].buttons, c.buttonsRu);
        EXPECT_EQ(driver.seen[0].message, QStringLiteral("Сохранить изменения настроек?"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, MesBoxCKinds,
    ::testing::Values(
        KindCase{0, "Error", "Ошибка", "mp_imgErr", {u"mp_bnOk=OK"_s}, {u"mp_bnOk=OK"_s}, 16},
        KindCase{1, "Notification", "Сообщение", "mp_imgInfo", {u"mp_bnOk=OK"_s}, {u"mp_bnOk=OK"_s}, 0},
        KindCase{2,
                 "Confirm",
                 "Подтверждение",
                 "mp_imgExcl",
                 {u"mp_bnOk=Yes"_s, u"mp_bnEsc=No"_s},
                 {u"mp_bnOk=Да"_s, u"mp_bnEsc=Нет"_s},
                 48},
        KindCase{3,
                 "Confirm",
                 "Подтверждение",
                 "mp_imgQuest",
                 {u"mp_bnOk=Yes"_s, u"mp_bnEsc=No"_s},
                 {u"mp_bnOk=Да"_s, u"mp_bnEsc=Нет"_s},
                 48},
        KindCase{4,
                 "Warning",
                 "Предупреждение",
                 "mp_imgExcl",
                 {u"mp_bnOk=OK"_s, u"mp_bnEsc=Cancel"_s},
                 {u"mp_bnOk=OK"_s, u"mp_bnEsc=Отмена"_s},
                 48},
        KindCase{5,
                 "Confirm",
                 "Подтверждение",
                 "mp_imgQuest",
                 {u"mp_bnOk=Yes"_s, u"mp_bnNo=No"_s, u"mp_bnEsc=Cancel"_s},
                 {u"mp_bnOk=Да"_s, u"mp_bnNo=Нет"_s, u"mp_bnEsc=Отмена"_s},
                 48}));

struct AnswerCase {
    int kind;
    const char *how; // button name, "close", "enter"
    int expected;
};

class MesBoxCAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(MesBoxCAnswers, ReturnValueFollowsTheButtonUsed)
{
    const AnswerCase &c = GetParam();
    const QString how = QString::fromLatin1(c.how);
    BoxDriver::Action action = how == QLatin1String("close")   ? closeBox()
                               : how == QLatin1String("enter") ? press(Qt::Key_Return)
                                                               : click(c.how);
    BoxDriver driver(action);
    EXPECT_EQ(MesBoxC(c.kind, nullptr, u"Proceed?", u"", W_Centre, W_Centre), c.expected);
    EXPECT_EQ(driver.seen.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryButton, MesBoxCAnswers,
    ::testing::Values(AnswerCase{0, "mp_bnOk", 1}, AnswerCase{0, "close", 2}, AnswerCase{0, "enter", 1},
                      AnswerCase{1, "mp_bnOk", 1}, AnswerCase{1, "close", 2}, AnswerCase{2, "mp_bnOk", 1},
                      AnswerCase{2, "mp_bnEsc", 0}, AnswerCase{2, "close", 0}, AnswerCase{2, "enter", 1},
                      AnswerCase{3, "mp_bnOk", 1}, AnswerCase{3, "mp_bnEsc", 0}, AnswerCase{3, "close", 0},
                      AnswerCase{4, "mp_bnOk", 1}, AnswerCase{4, "mp_bnEsc", 0}, AnswerCase{4, "close", 0},
                      AnswerCase{5, "mp_bnOk", 1}, AnswerCase{5, "mp_bnNo", 7}, AnswerCase{5, "mp_bnEsc", 2},
                      AnswerCase{5, "close", 2}, AnswerCase{5, "enter", 1}));

TEST(MesBoxC, EscapeLeavesTheBoxOpen)
{
    bool stillOpen = false;
    BoxDriver driver([&](QDialog *box) {
        press(Qt::Key_Escape)(box);
        stillOpen = box->isVisible();
        QTest::mouseClick(button(box, "mp_bnEsc"), Qt::LeftButton);
    });
    EXPECT_EQ(MesBoxC(mkYesNoCancel, nullptr, u"Proceed?", u"", W_Centre, W_Centre), 2);
    EXPECT_TRUE(stillOpen);
}

TEST(MesBoxC, EnterPressesTheFocusedButton)
{
    BoxDriver driver([](QDialog *box) {
        button(box, "mp_bnNo")->setFocus();
        press(Qt::Key_Return)(box);
    });
    EXPECT_EQ(MesBoxC(mkYesNoCancel, nullptr, u"Proceed?", u"", W_Centre, W_Centre), 7);
}

TEST(MesBoxC, LanguageComesFromTheLiteralOnly)
{
    struct Case {
        const char16_t *message;
        const char *title;
    };
    for (const Case &c : {Case{u"Внимание", "Предупреждение"}, Case{u"Ядро", "Предупреждение"},
                          Case{u"Бланк", "Warning"}, // Б is not in the literal
                          Case{u"Йод", "Warning"}, Case{u"внимание", "Warning"}, Case{u"1 Ошибка", "Warning"},
                          Case{u"Ёж", "Warning"}}) {
        BoxDriver driver(closeBox());
        MesBoxC(mkWarning, nullptr, c.message, u"", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, QString::fromUtf8(c.title))
            << QString::fromUtf16(c.message).toStdString();
    }
}

TEST(MesBoxC, CaptionReplacesTheTitleInEveryKind)
{
    for (int kind = 0; kind <= 5; ++kind) {
        BoxDriver driver(closeBox());
        MesBoxC(kind, nullptr, u"Внимание", u"Korvel", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, QStringLiteral("Korvel"));
        EXPECT_EQ(driver.seen[0].buttons.first(), kind == 0 || kind == 1 || kind == 4
                                                      ? QStringLiteral("mp_bnOk=OK")
                                                      : QStringLiteral("mp_bnOk=Да"));
    }
}

TEST(MesBoxC, KindsOutsideTheRangeShowNothing)
{
    BoxDriver driver(click("mp_bnOk"));
    for (int kind : {6, -1, 100, INT_MIN})
        EXPECT_EQ(MesBoxC(kind, nullptr, u"Proceed?", u"", W_Centre, W_Centre), 0);
    EXPECT_TRUE(driver.seen.empty());
    EXPECT_TRUE(driver.beeps.empty());
}

TEST(MesBoxC, FailedBeepFallsBackToThePlainBeep)
{
    BoxDriver driver(click("mp_bnOk"));
    driver.failing = {48};
    MesBoxC(mkWarning, nullptr, u"Proceed?", u"", W_Centre, W_Centre);
    EXPECT_EQ(driver.beeps, (std::vector<unsigned>{48, noticekit::SimpleBeep}));
}

TEST(MesBoxC, ShowsTheArrowAndPutsTheBusyCursorBack)
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    {
        BoxDriver driver(click("mp_bnOk"));
        MesBoxC(mkInfo, nullptr, u"Done.", u"", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].cursor, Qt::ArrowCursor);
    }
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    QGuiApplication::restoreOverrideCursor();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    BoxDriver driver(click("mp_bnOk"));
    MesBoxC(mkInfo, nullptr, u"Done.", u"", W_Centre, W_Centre);
    EXPECT_FALSE(driver.seen.at(0).hasOverrideCursor); // nothing to switch, nothing pushed
}

TEST(MesBoxCPlacement, CentredOverTheParentOrTheScreen)
{
    QWidget parent;
    showParent(parent, QRect(100, 80, 500, 400));
    const QPoint size = GetMesBoxCSize(mkInfo, OneLine);
    {
        BoxDriver driver(click("mp_bnOk"));
        MesBoxC(mkInfo, &parent, OneLine, u"", W_Centre, W_Centre);
        EXPECT_EQ(driver.seen.at(0).frame.topLeft(),
                  QPoint(100 + (500 - size.x()) / 2, 80 + (400 - size.y()) / 2));
    }
    {
        BoxDriver driver(click("mp_bnOk"));
        MesBoxC(mkInfo, &parent, OneLine, u"", 20, 20);
        EXPECT_EQ(driver.seen.at(0).frame.topLeft(), QPoint(120, 100));
    }
    {
        // Without a parent the offsets do not count.
        BoxDriver driver(click("mp_bnOk"));
        MesBoxC(mkInfo, nullptr, OneLine, u"", 20, 20);
        const QRect s = screenRect();
        EXPECT_EQ(driver.seen.at(0).frame.topLeft(),
                  QPoint((s.width() - size.x()) / 2, (s.height() - size.y()) / 2));
    }
}

TEST(MesBoxCBadInput, AnyMessageGivesABoxInsideTheScreen)
{
    const UnicodeString tenThousand = [] {
        UnicodeString s;
        while (s.size() < 10000)
            s += u"word ";
        return s.substr(0, 10000);
    }();
    const UnicodeString noBlank(5000, u'x');
    const UnicodeString rtl = u"שלום עולם، مرحبا بالعالم";
    const UnicodeString loneSurrogate =
        UnicodeString(u"bad ") + char16_t(0xD800) + u" text" + char16_t(0xDC00);

    QWidget parent;
    showParent(parent, QRect(200, 150, 300, 200));
    const QRect s = screenRect();
    for (const UnicodeString &m : {UnicodeString(), tenThousand, noBlank, rtl, loneSurrogate}) {
        for (QWidget *p : {static_cast<QWidget *>(nullptr), &parent}) {
            BoxDriver driver(closeBox());
            EXPECT_EQ(MesBoxC(mkError, p, m, u"", W_Centre, W_Centre), 2);
            ASSERT_EQ(driver.seen.size(), 1u);
            const QRect f = driver.seen[0].frame;
            EXPECT_EQ(f.width(), 340);
            EXPECT_GE(f.left(), 0);
            EXPECT_LE(f.right(), s.right());
            if (f.height() > s.height())
                EXPECT_EQ(f.top(), 0); // taller than the screen: starts at its top edge
            else
                EXPECT_TRUE(s.contains(f));
        }
    }
    // The unbroken line is wrapped inside the box, not run out of it sideways.
    TCustMesBox box(nullptr, noBlank);
    EXPECT_GT(box.mp_labMes->height(), 300);
    TCustMesBox huge(nullptr, tenThousand);
    EXPECT_GT(huge.frameGeometry().height(), s.height());
}

TEST(MesBoxCBadInput, MarkupIsShownAsText)
{
    BoxDriver driver(click("mp_bnOk"), QStringLiteral("mesbox_markup"));
    MesBoxC(mkInfo, nullptr, u"<b>bold</b> & <i>more</i>", u"", W_Centre, W_Centre);
    EXPECT_EQ(driver.seen.at(0).message, QStringLiteral("<b>bold</b> & <i>more</i>"));
    TCustMesBox box(nullptr, u"<b>bold</b>");
    EXPECT_EQ(box.mp_labMes->textFormat(), Qt::PlainText);
}
