#include <ctlpack/ctlpack.h>

#include <testsupport/screenshots.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDialog>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <memory>
#include <string_view>

namespace {

// A window with the edit box and a second field to move the focus to, as in a dialog.
class SEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        win = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(win.get());
        ed = new TSEdit(win.get());
        other = new QLineEdit(win.get());
        layout->addWidget(ed);
        layout->addWidget(other);
        win->show();
        win->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(win.get()));
    }

    // Puts text into the box as the form would, then gives it the focus with the caret at pos
    // (-1: at the end).
    void Enter(TEditKind kind, const QString &text, int pos = -1)
    {
        other->setFocus(Qt::TabFocusReason);
        ed->SetEditKind(kind);
        ed->setText(text);
        ed->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return ed->hasFocus(); }));
        ed->setCursorPosition(pos < 0 ? static_cast<int>(text.size()) : pos);
    }

    void Leave()
    {
        other->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return other->hasFocus(); }));
    }

    void Type(const QString &keys) { QTest::keyClicks(ed, keys); }
    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(ed, key, mods); }

    std::unique_ptr<QWidget> win;
    TSEdit *ed = nullptr;
    QLineEdit *other = nullptr;
};

TEST_F(SEditTest, DefaultsOfANewBox)
{
    TSEdit fresh;
    EXPECT_EQ(fresh.EditKind(), ekCmn);
    EXPECT_TRUE(fresh.Escape());
    EXPECT_TRUE(fresh.IsDecimalSepDot());
    EXPECT_TRUE(fresh.IsEditEmpty());
    EXPECT_EQ(fresh.EnterText(), QString());
    // The form-file names of the properties.
    EXPECT_EQ(fresh.property("EditKind").toInt(), 0);
    EXPECT_TRUE(fresh.setProperty("EditKind", static_cast<int>(ekUFloat)));
    EXPECT_EQ(fresh.EditKind(), ekUFloat);
    EXPECT_TRUE(fresh.setProperty("DecimalPoint", false));
    EXPECT_FALSE(fresh.IsDecimalSepDot());
    EXPECT_TRUE(fresh.setProperty("Escape", false));
    EXPECT_FALSE(fresh.Escape());
}

// ---- typed characters ---------------------------------------------------------------------

TEST_F(SEditTest, UnsignedBoxTakesDigitsAndBackspaceOnly)
{
    Enter(ekUInt, QStringLiteral("12"));
    Type(QStringLiteral("3"));
    EXPECT_EQ(ed->text(), QStringLiteral("123"));
    Press(Qt::Key_Backspace);
    EXPECT_EQ(ed->text(), QStringLiteral("12"));
    Type(QStringLiteral("-.a,+ e"));
    EXPECT_EQ(ed->text(), QStringLiteral("12"));
    // Keys without a character still move the caret and delete.
    Press(Qt::Key_Home);
    Press(Qt::Key_Delete);
    EXPECT_EQ(ed->text(), QStringLiteral("2"));
}

TEST_F(SEditTest, SignedBoxTakesOneMinusAtTheStart)
{
    Enter(ekInt, QStringLiteral("5"), 0);
    Type(QStringLiteral("-"));
    EXPECT_EQ(ed->text(), QStringLiteral("-5"));

    ed->setCursorPosition(0);
    Type(QStringLiteral("-7"));
    EXPECT_EQ(ed->text(), QStringLiteral("-5")) << "minus and digit before an existing minus";

    ed->setCursorPosition(1);
    Type(QStringLiteral("3-"));
    EXPECT_EQ(ed->text(), QStringLiteral("-35")) << "digits after the minus, no second minus";

    ed->setText(QStringLiteral("12345"));
    ed->setCursorPosition(2);
    Type(QStringLiteral("-"));
    EXPECT_EQ(ed->text(), QStringLiteral("12345")) << "no minus inside the number";
}

TEST_F(SEditTest, SignedBoxDeletesTheSelectionForARejectedCharacter)
{
    Enter(ekInt, QStringLiteral("123"));
    Press(Qt::Key_A, Qt::ControlModifier);
    ASSERT_EQ(ed->selectedText(), QStringLiteral("123"));
    Type(QStringLiteral("x"));
    EXPECT_EQ(ed->text(), QString());

    // A digit replaces a selection, a minus at the start too.
    ed->setText(QStringLiteral("123"));
    ed->setSelection(1, 2);
    Type(QStringLiteral("9"));
    EXPECT_EQ(ed->text(), QStringLiteral("19"));
    ed->selectAll();
    Type(QStringLiteral("-"));
    EXPECT_EQ(ed->text(), QStringLiteral("-"));
}

TEST_F(SEditTest, EditingKeysNeitherDestroyTheSelectionNorDependOnTheCaret)
{
    Enter(ekInt, QStringLiteral("-42"));
    ed->selectAll();
    Press(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("-42")) << "copying must not cut";
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("-42"));

    // Caret before the minus: select-all still works.
    ed->setCursorPosition(0);
    Press(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(ed->selectedText(), QStringLiteral("-42"));

    // Backspace over a selection deletes the selection only.
    ed->setSelection(1, 1);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(ed->text(), QStringLiteral("-2"));
}

TEST_F(SEditTest, DecimalBoxTakesOneSeparatorOfItsOwn)
{
    Enter(ekUFloat, QString());
    Type(QStringLiteral("1.5"));
    EXPECT_EQ(ed->text(), QStringLiteral("1.5"));
    Type(QStringLiteral(".,-"));
    EXPECT_EQ(ed->text(), QStringLiteral("1.5"));

    ed->SetDotAsDecimalSep(false);
    Enter(ekUFloat, QString());
    Type(QStringLiteral("2.,7,"));
    EXPECT_EQ(ed->text(), QStringLiteral("2,7"));
}

TEST_F(SEditTest, SignedDecimalBox)
{
    Enter(ekFloat, QString());
    Type(QStringLiteral("-.5"));
    EXPECT_EQ(ed->text(), QStringLiteral("-.5"));
    ed->setCursorPosition(0);
    Type(QStringLiteral("-1"));
    EXPECT_EQ(ed->text(), QStringLiteral("-.5"));
    ed->setCursorPosition(3);
    Type(QStringLiteral("-."));
    EXPECT_EQ(ed->text(), QStringLiteral("-.5"));
}

TEST_F(SEditTest, FileNameBoxRefusesTheNineCharacters)
{
    Enter(ekFileName, QString());
    Type(QStringLiteral("a\\b/c:d*e?f\"g<h>i|j;k l.txt"));
    EXPECT_EQ(ed->text(), QStringLiteral("abcdefghij;k l.txt"));
    for (char16_t ch : std::u16string_view(u"\\/:*?\"<>|")) {
        EXPECT_FALSE(ed->FNValid(ch)) << static_cast<int>(ch);
    }
    EXPECT_TRUE(ed->FNValid(u';'));
    EXPECT_TRUE(ed->FNValid(8));
}

TEST_F(SEditTest, PlainBoxTakesEverything)
{
    Enter(ekCmn, QString());
    Type(QStringLiteral("a-1.,/:"));
    EXPECT_EQ(ed->text(), QStringLiteral("a-1.,/:"));
}

TEST_F(SEditTest, ModifiedKeysTypeNothingPastTheFilter)
{
    // Keys held with Meta, or with Ctrl on the keypad, produce no character of the box's own;
    // the line edit underneath must not insert their text unfiltered either.
    Enter(ekUInt, QStringLiteral("12"));
    Press(Qt::Key_X, Qt::MetaModifier);
    Press(Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier);
    Press(Qt::Key_Period, Qt::ControlModifier | Qt::KeypadModifier);
    Press(Qt::Key_X, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("12"));

    Enter(ekInt, QStringLiteral("-5"), 0);
    Press(Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier);
    Press(Qt::Key_7, Qt::MetaModifier | Qt::KeypadModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("-5")) << "nothing lands before the minus";

    // The keys themselves still reach the line edit.
    Press(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(ed->selectedText(), QStringLiteral("-5"));
    ed->setCursorPosition(2);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(ed->text(), QStringLiteral("-"));
}

TEST_F(SEditTest, InputMethodTextIsFilteredLikeTyping)
{
    Enter(ekUInt, QStringLiteral("1"));
    QInputMethodEvent bad;
    bad.setCommitString(QStringLiteral("2x"));
    QApplication::sendEvent(ed, &bad);
    EXPECT_EQ(ed->text(), QStringLiteral("1"));
    QInputMethodEvent good;
    good.setCommitString(QStringLiteral("23"));
    QApplication::sendEvent(ed, &good);
    EXPECT_EQ(ed->text(), QStringLiteral("123"));
}

TEST_F(SEditTest, SeveralCharactersAtOnceLandOnlyWhereTypingThemWould)
{
    enum Via { Key, InputMethod };
    struct Case {
        TEditKind kind;
        QString text;
        int caret;
        Via via;
        QString typed;
        QString after;
    } cases[] = {
        {ekUFloat, QStringLiteral("1"), -1, Key, QStringLiteral(".."), QStringLiteral("1")},
        {ekUFloat, QStringLiteral("1"), -1, Key, QStringLiteral(".5"), QStringLiteral("1.5")},
        {ekInt, QStringLiteral("5"), 0, Key, QStringLiteral("--"), QStringLiteral("5")},
        {ekInt, QStringLiteral("5"), 0, InputMethod, QStringLiteral("-4"), QStringLiteral("-45")},
        {ekUFloat, QString(), 0, InputMethod, QStringLiteral("1.2.3"), QString()},
        {ekFloat, QString(), 0, InputMethod, QStringLiteral("-1.5"), QStringLiteral("-1.5")},
        {ekFloat, QStringLiteral("2"), -1, InputMethod, QStringLiteral("3-"), QStringLiteral("2")},
        {ekUInt, QString(), 0, InputMethod, QStringLiteral("1\t2"), QString()},
        {ekFileName, QStringLiteral("a"), -1, InputMethod, QStringLiteral("b:c"), QStringLiteral("a")},
    };
    for (const Case &c : cases) {
        Enter(c.kind, c.text, c.caret);
        if (c.via == Key) {
            QTest::sendKeyEvent(QTest::Press, ed, Qt::Key_unknown, c.typed, Qt::NoModifier);
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(c.typed);
            QApplication::sendEvent(ed, &commit);
        }
        EXPECT_EQ(ed->text(), c.after) << c.typed.toStdString() << " into " << c.text.toStdString();
    }

    // An input method that replaces text before the caret: the result counts, not the commit alone.
    Enter(ekInt, QStringLiteral("12"));
    QInputMethodEvent swap;
    swap.setCommitString(QStringLiteral("-"), -1, 1);
    QApplication::sendEvent(ed, &swap);
    EXPECT_EQ(ed->text(), QStringLiteral("12"));
    swap.setCommitString(QStringLiteral("7"), -1, 1);
    QApplication::sendEvent(ed, &swap);
    EXPECT_EQ(ed->text(), QStringLiteral("17"));
}

// ---- Enter, Esc and the focus -------------------------------------------------------------

TEST_F(SEditTest, EscRestoresTheTextFromReceivingTheFocus)
{
    Enter(ekCmn, QStringLiteral("abc"));
    EXPECT_EQ(ed->EnterText(), QStringLiteral("abc"));
    Type(QStringLiteral("def"));
    ed->setText(ed->text() + QStringLiteral("!"));
    Press(Qt::Key_Escape);
    EXPECT_EQ(ed->text(), QStringLiteral("abc"));

    ed->SetEscape(false);
    Type(QStringLiteral("x"));
    Press(Qt::Key_Escape);
    EXPECT_EQ(ed->text(), QStringLiteral("abcx"));
    EXPECT_FALSE(ed->text().contains(QChar(27)));
}

TEST_F(SEditTest, EnterInsertsNothingAndReachesTheForm)
{
    Enter(ekCmn, QStringLiteral("a"));
    QSignalSpy returned(ed, &QLineEdit::returnPressed);
    Press(Qt::Key_Return);
    EXPECT_EQ(ed->text(), QStringLiteral("a"));
    EXPECT_EQ(returned.count(), 1);
}

TEST_F(SEditTest, SavedTextChangesOnlyOnReceivingTheFocus)
{
    Enter(ekCmn, QStringLiteral("one"));
    ed->setText(QStringLiteral("two"));
    EXPECT_EQ(ed->EnterText(), QStringLiteral("one"));
    Leave();
    ed->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ed->hasFocus(); }));
    EXPECT_EQ(ed->EnterText(), QStringLiteral("two"));
}

TEST_F(SEditTest, LeavingDropsALoneSignOrSeparator)
{
    struct Case {
        TEditKind kind;
        bool dot;
        QString text;
        QString after;
    } cases[] = {
        {ekFloat, true, QStringLiteral("-."), QString()},
        {ekFloat, true, QStringLiteral("-"), QString()},
        {ekUFloat, true, QStringLiteral("."), QString()},
        {ekFloat, false, QStringLiteral("-,"), QString()},
        {ekFloat, false, QStringLiteral("-."), QStringLiteral("-.")},
        {ekInt, true, QStringLiteral("-"), QString()},
        {ekFloat, true, QStringLiteral("-0"), QStringLiteral("-0")},
        {ekFloat, true, QStringLiteral("-.5"), QStringLiteral("-.5")},
        {ekCmn, true, QStringLiteral("-"), QStringLiteral("-")},
        {ekFileName, true, QStringLiteral("."), QStringLiteral(".")},
    };
    for (const Case &c : cases) {
        ed->SetDotAsDecimalSep(c.dot);
        Enter(c.kind, c.text);
        Leave();
        EXPECT_EQ(ed->text(), c.after) << c.text.toStdString() << " kind " << int(c.kind);
    }
}

// A dialog whose first field is the box: the box gets the focus because its window opens.
TEST(SEditWindowFocus, EscRestoresTheTextOfEachOpening)
{
    QDialog dlg;
    auto *layout = new QVBoxLayout(&dlg);
    auto *ed = new TSEdit(&dlg);
    layout->addWidget(ed);
    layout->addWidget(new QLineEdit(&dlg));
    ed->SetEditKind(ekUInt);
    for (const QString &opening : {QStringLiteral("52100"), QStringLiteral("8080")}) {
        ed->setText(opening);
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ed->hasFocus(); }));
        QTest::keyClicks(ed, QStringLiteral("5"));
        ASSERT_EQ(ed->text(), opening + QStringLiteral("5"));
        QTest::keyClick(ed, Qt::Key_Escape);
        EXPECT_EQ(ed->text(), opening);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.isVisible(); })) << "Esc reaches the dialog";
    }
}

TEST(SEditWindowFocus, ComingBackFromAnotherWindowIsNotEntering)
{
    QWidget win;
    auto *layout = new QVBoxLayout(&win);
    auto *ed = new TSEdit(&win);
    layout->addWidget(ed);
    ed->setText(QStringLiteral("192.168.1.10"));
    win.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ed->hasFocus(); }));
    QTest::keyClicks(ed, QStringLiteral("5"));

    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    win.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ed->hasFocus(); }));
    QTest::keyClick(ed, Qt::Key_Escape);
    EXPECT_EQ(ed->text(), QStringLiteral("192.168.1.10"));
}

// ---- pasting ------------------------------------------------------------------------------

TEST_F(SEditTest, PasteKeysAreCheckedAsAWhole)
{
    QClipboard *clip = QGuiApplication::clipboard();
    Enter(ekUInt, QStringLiteral("5"));
    clip->setText(QStringLiteral("1a"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("5"));
    Press(Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("5"));

    clip->setText(QStringLiteral("34"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("534"));
    Press(Qt::Key_Insert);
    EXPECT_EQ(ed->text(), QStringLiteral("53434"));
    Press(Qt::Key_Insert, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("5343434"));
    Press(Qt::Key_V, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("534343434"));

    // Ctrl+Insert copies; Ctrl+Shift+V is no paste key.
    ed->selectAll();
    Press(Qt::Key_Insert, Qt::ControlModifier);
    EXPECT_EQ(clip->text(), QStringLiteral("534343434"));
    clip->setText(QStringLiteral("7"));
    ed->setCursorPosition(0);
    Press(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("534343434"));
}

TEST_F(SEditTest, PasteOverTheSelectionAndUndoKeepsTheSelection)
{
    QClipboard *clip = QGuiApplication::clipboard();
    Enter(ekInt, QStringLiteral("100"));
    ed->setSelection(1, 2);
    clip->setText(QStringLiteral("-9"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("100"));
    EXPECT_EQ(ed->selectedText(), QStringLiteral("00"));
    clip->setText(QStringLiteral("23"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("123"));

    // A value beyond 32 bits is not valid text even though every character is a digit.
    clip->setText(QStringLiteral("99999999999"));
    ed->selectAll();
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("123"));
}

TEST_F(SEditTest, PasteIntoFileNameAndDecimalBoxes)
{
    // What typing lets into a file-name box, the whole-text check of a paste keeps.
    QClipboard *clip = QGuiApplication::clipboard();
    Enter(ekFileName, QString());
    Type(QStringLiteral("a;b"));
    ASSERT_EQ(ed->text(), QStringLiteral("a;b"));
    clip->setText(QStringLiteral(";c"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("a;b;c"));
    for (const QString &bad : {QStringLiteral("x:y"), QStringLiteral("line\nbreak")}) {
        clip->setText(bad);
        Press(Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(ed->text(), QStringLiteral("a;b;c"));
    }
    clip->setText(QStringLiteral("_report 2.txt"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("a;b;c_report 2.txt"));

    Enter(ekUFloat, QString());
    clip->setText(QStringLiteral("-1.5"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QString());
    clip->setText(QStringLiteral("inf"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QString());
    clip->setText(QStringLiteral("2.25"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), QStringLiteral("2.25"));
}

TEST_F(SEditTest, ContextMenuPasteIsCheckedToo)
{
    QClipboard *clip = QGuiApplication::clipboard();
    Enter(ekUInt, QStringLiteral("8"));
    clip->setText(QStringLiteral("x"));
    QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(2, 2), ed->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(ed, &menuEvent);
    QMenu *menu = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        return menu != nullptr;
    }));
    testsupport::saveScreenshot(menu, QStringLiteral("ctlpack_sedit_menu"));
    QAction *paste = nullptr;
    for (QAction *a : menu->actions())
        if (a->text().startsWith(QStringLiteral("&Paste")))
            paste = a;
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    menu->close();
    EXPECT_EQ(ed->text(), QStringLiteral("8"));
}

// Synthetic drops do not get through QApplication without a drag in progress, so the test
// hands the drop to the box directly.
struct DropTarget : TSEdit {
    using TSEdit::dropEvent;
};

TEST(SEditDrop, DroppedTextIsCheckedToo)
{
    DropTarget ed;
    ed.SetEditKind(ekUInt);
    ed.setText(QStringLiteral("4"));
    auto drop = [&](const QString &text) {
        QMimeData data;
        data.setText(text);
        QDropEvent event(QPointF(ed.width() - 2, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        ed.dropEvent(&event);
    };
    drop(QStringLiteral("2b"));
    EXPECT_EQ(ed.text(), QStringLiteral("4"));
    drop(QStringLiteral("2"));
    EXPECT_EQ(ed.text().size(), 2);
    EXPECT_TRUE(ed.text().contains(QLatin1Char('2')));

    ed.SetEditKind(ekFileName);
    ed.clear();
    QTest::keyClicks(&ed, QStringLiteral("a;b"));
    ASSERT_EQ(ed.text(), QStringLiteral("a;b"));
    drop(QStringLiteral("c"));
    EXPECT_EQ(ed.text().size(), 4);
    drop(QStringLiteral("d|e"));
    EXPECT_EQ(ed.text().size(), 4);
}

// ---- whole text and readers ----------------------------------------------------------------

TEST(SEditValue, WholeTextByKind)
{
    TSEdit ed;
    auto valid = [&](TEditKind kind, const char *text) {
        ed.SetEditKind(kind);
        ed.setText(QString::fromUtf8(text));
        return ed.ValidText();
    };
    EXPECT_TRUE(valid(ekCmn, "any thing: \\ *"));
    EXPECT_TRUE(valid(ekUInt, "2147483647"));
    EXPECT_FALSE(valid(ekUInt, "2147483648"));
    EXPECT_FALSE(valid(ekUInt, "-1"));
    EXPECT_FALSE(valid(ekUInt, ""));
    EXPECT_TRUE(valid(ekInt, "-2147483648"));
    EXPECT_FALSE(valid(ekInt, "-2147483649"));
    EXPECT_FALSE(valid(ekInt, "-"));
    EXPECT_TRUE(valid(ekUFloat, "0.5"));
    EXPECT_TRUE(valid(ekUFloat, "-0"));
    EXPECT_FALSE(valid(ekUFloat, "-0.1"));
    EXPECT_FALSE(valid(ekUFloat, "nan"));
    EXPECT_TRUE(valid(ekFloat, "-12.75"));
    EXPECT_FALSE(valid(ekFloat, "1e999"));
    EXPECT_FALSE(valid(ekFloat, "1.2.3"));
    EXPECT_TRUE(valid(ekFileName, ""));
    EXPECT_TRUE(valid(ekFileName, "notes (1).txt"));
    EXPECT_TRUE(valid(ekFileName, "a;b"));
    EXPECT_FALSE(valid(ekFileName, "dir/file"));
    EXPECT_FALSE(valid(ekFileName, "tab\there"));
}

TEST(SEditValue, UnsignedReaderRangeAndMessage)
{
    TSEdit ed;
    ed.setText(QStringLiteral("4294967295"));
    EXPECT_EQ(ed.GetAsUInt(), 4294967295u);
    ed.SetEditKind(ekUInt);
    EXPECT_FALSE(ed.ValidText());

    for (const char *text : {"4294967296", "-1"}) {
        ed.setText(QString::fromUtf8(text));
        try {
            ed.GetAsUInt();
            ADD_FAILURE() << text << " read without error";
        } catch (const EConvertError &e) {
            EXPECT_EQ(std::string(e.what()), std::string(text) + " is not valid unsigned integer");
        }
    }
    ed.setText(QStringLiteral("12x"));
    EXPECT_THROW(ed.GetAsUInt(), EConvertError);
}

TEST(SEditValue, IntegerReaders)
{
    TSEdit ed;
    ed.setText(QStringLiteral("-2147483648"));
    EXPECT_EQ(ed.GetAsInteger(), -2147483647 - 1);
    ed.setText(QStringLiteral("9000000000"));
    EXPECT_THROW(ed.GetAsInteger(), EConvertError);
    EXPECT_EQ(ed.GetAsInt64(), 9000000000LL);
    ed.setText(QString());
    EXPECT_TRUE(ed.IsEditEmpty());
    EXPECT_THROW(ed.GetAsInteger(), EConvertError);
    EXPECT_THROW(ed.GetAsInt64(), EConvertError);
    ed.setText(QStringLiteral(" 7"));
    EXPECT_FALSE(ed.IsEditEmpty());
    EXPECT_THROW(ed.GetAsInteger(), EConvertError);
}

TEST(SEditValue, DecimalReadersUseTheLocaleSeparator)
{
    // The tests run under the C locale: "." whatever the box's own separator.
    TSEdit ed;
    ed.SetDotAsDecimalSep(false);
    ed.setText(QStringLiteral("2.5"));
    EXPECT_DOUBLE_EQ(ed.GetAsDouble(), 2.5);
    EXPECT_FLOAT_EQ(ed.GetAsFloat(), 2.5f);
    ed.setText(QStringLiteral("2,5"));
    EXPECT_THROW(ed.GetAsDouble(), EConvertError);
    ed.setText(QStringLiteral("1e300"));
    EXPECT_DOUBLE_EQ(ed.GetAsDouble(), 1e300);
    EXPECT_THROW(ed.GetAsFloat(), EConvertError);
    ed.setText(QStringLiteral("-.5"));
    EXPECT_DOUBLE_EQ(ed.GetAsDouble(), -0.5);
    ed.setText(QStringLiteral("inf"));
    EXPECT_THROW(ed.GetAsDouble(), EConvertError);
}

TEST(SEditValue, DecimalReadersFollowTheProcessLocale)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    TSEdit ed;
    ed.setText(QStringLiteral("2,5"));
    EXPECT_DOUBLE_EQ(ed.GetAsDouble(), 2.5);
    ed.SetEditKind(ekUFloat);
    EXPECT_TRUE(ed.ValidText());
    // "." groups thousands there: "2.5" is no number.
    ed.setText(QStringLiteral("2.5"));
    EXPECT_THROW(ed.GetAsDouble(), EConvertError);
    EXPECT_FALSE(ed.ValidText());
    QLocale::setDefault(saved);
}

TEST_F(SEditTest, Screenshot)
{
    Enter(ekFloat, QString());
    Type(QStringLiteral("-12.5"));
    const QImage shot = testsupport::screenshot(ed, QStringLiteral("ctlpack_sedit"));
    ASSERT_EQ(shot.size(), ed->size());
    // The typed number shows at the left; the rest of the box is empty.
    auto inkIn = [&](int from, int to) {
        int ink = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = from; x < to; ++x)
                ink += qGray(shot.pixel(x, y)) < 90;
        return ink;
    };
    EXPECT_GT(inkIn(0, shot.width() / 2), 20);
    EXPECT_EQ(inkIn(shot.width() * 2 / 3, shot.width() - 4), 0);
}

} // namespace
