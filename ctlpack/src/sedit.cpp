#include <ctlpack/ctlpack.h>

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHideEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

// The character a key produces, as the edit control's character event sees it; 0 for keys that
// produce none. Ctrl with a letter gives its control character (Ctrl+V is 22), Delete gives none.
char16_t KeyChar(const QKeyEvent *e)
{
    const int key = e->key();
    const Qt::KeyboardModifiers mods = e->modifiers();
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Tab:
        return 9;
    default:
        break;
    }
    const bool ctrl = mods & Qt::ControlModifier;
    const bool alt = mods & Qt::AltModifier;
    if (ctrl && !alt && key >= Qt::Key_A && key <= Qt::Key_Z)
        return static_cast<char16_t>(key - Qt::Key_A + 1);
    if ((ctrl && !alt) || (mods & Qt::MetaModifier))
        return 0;
    const QString t = e->text();
    if (t.isEmpty() || t.at(0).unicode() == 127)
        return 0;
    return t.at(0).unicode();
}

bool IsControlChar(char16_t ch)
{
    return ch >= 1 && ch <= 31;
}

// The filters of the kinds, for ch typed at caret into text. Control characters are editing
// commands (Backspace, Ctrl+A, Ctrl+C) and pass every filter.

bool FileNameFits(char16_t ch)
{
    switch (ch) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
        return false;
    default:
        return true;
    }
}

bool DigitFits(char16_t ch)
{
    return IsControlChar(ch) || (ch >= u'0' && ch <= u'9');
}

bool DecimalFits(char16_t ch, const QString &text, char16_t sep)
{
    if (ch == sep)
        return !text.contains(QChar(sep));
    return DigitFits(ch);
}

// A minus only at the very start, and nothing before a minus. The caret is the character
// position, not the caret's pixel: in a scrolled box a caret in the middle of the text can sit at
// the left edge, and a minus must never land there.
template <typename UnsignedFits>
bool SignedFits(char16_t ch, const QString &text, int caret, UnsignedFits unsignedFits)
{
    if (IsControlChar(ch))
        return true;
    if (caret > 0)
        return unsignedFits(ch);
    if (text.contains(QLatin1Char('-')))
        return false;
    return ch == u'-' || unsignedFits(ch);
}

bool KindFits(TEditKind kind, char16_t ch, const QString &text, int caret, char16_t sep)
{
    const auto decimal = [&](char16_t c) { return DecimalFits(c, text, sep); };
    switch (kind) {
    case ::ekCmn:
        return true;
    case ::ekFileName:
        return FileNameFits(ch);
    case ::ekUInt:
        return DigitFits(ch);
    case ::ekInt:
        return SignedFits(ch, text, caret, DigitFits);
    case ::ekUFloat:
        return decimal(ch);
    case ::ekFloat:
        return SignedFits(ch, text, caret, decimal);
    }
    return false;
}

} // namespace

TSEdit::TSEdit(QWidget *parent) : QLineEdit(parent) {}

bool TSEdit::FNValid(char16_t ch) const
{
    return FileNameFits(ch);
}

bool TSEdit::UIValid(char16_t ch) const
{
    return DigitFits(ch);
}

bool TSEdit::UFValid(char16_t ch) const
{
    return DecimalFits(ch, text(), FDecimalSep);
}

bool TSEdit::IValid(char16_t ch)
{
    // Control characters replace nothing, so they leave the selection alone.
    if (!IsControlChar(ch) && hasSelectedText())
        del();
    return KindFits(::ekInt, ch, text(), cursorPosition(), FDecimalSep);
}

bool TSEdit::FValid(char16_t ch) const
{
    return KindFits(::ekFloat, ch, text(), cursorPosition(), FDecimalSep);
}

// Several characters at once (a key that types more than one, an input method's commit) pass
// only as typing them one after the other would: each is checked against the text the ones
// before it leave. The typed text replaces the selection, or the input method's own range.
bool TSEdit::TextAllowed(const QString &typed, int replaceStart, int replaceLength)
{
    if (FEditKind == ::ekCmn || typed.isEmpty())
        return true;
    // The signed integer box drops the selection for whatever is typed over it.
    if (FEditKind == ::ekInt && replaceLength <= 0 && hasSelectedText())
        del();
    QString t = text();
    int caret = cursorPosition();
    int from = selectionStart();
    qsizetype count = selectedText().size();
    if (replaceLength > 0) {
        from = std::clamp(caret + replaceStart, 0, static_cast<int>(t.size()));
        count = std::min<qsizetype>(replaceLength, t.size() - from);
        caret = from;
    }
    for (const QChar c : typed) {
        const char16_t ch = c.unicode();
        // Within a text a control character would be inserted as it stands, not obeyed.
        if (ch < 32 || ch == 127 || !KindFits(FEditKind, ch, t, caret, FDecimalSep))
            return false;
        if (count > 0) {
            t.remove(from, count);
            caret = from;
            count = 0;
        }
        t.insert(caret++, c);
    }
    return true;
}

bool TSEdit::ValidFileName() const
{
    for (const QChar c : text()) {
        const char16_t ch = c.unicode();
        if (ch < 32 || ch == 127 || !FileNameFits(ch))
            return false;
    }
    return true;
}

bool TSEdit::ConvertsToDouble(double *value) const
{
    QLocale loc;
    loc.setNumberOptions(loc.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    const double v = loc.toDouble(text(), &ok);
    // A number box never means infinity or NaN, even when someone pastes "inf".
    if (!ok || !std::isfinite(v))
        return false;
    if (value)
        *value = v;
    return true;
}

bool TSEdit::ValidText() const
{
    switch (FEditKind) {
    case ::ekCmn:
        return true;
    case ::ekFileName:
        return ValidFileName();
    case ::ekUInt:
    case ::ekInt:
        try {
            const int v = StrToInt(text().toStdU16String());
            return FEditKind == ::ekInt || v >= 0;
        } catch (const EConvertError &) {
            return false;
        }
    case ::ekUFloat:
    case ::ekFloat: {
        double v = 0;
        if (!ConvertsToDouble(&v))
            return false;
        return FEditKind == ::ekFloat || v >= 0;
    }
    }
    return false;
}

int TSEdit::GetAsInteger() const
{
    return StrToInt(text().toStdU16String());
}

long long TSEdit::GetAsInt64() const
{
    return StrToInt64(text().toStdU16String());
}

std::uint32_t TSEdit::GetAsUInt() const
{
    const UnicodeString t = text().toStdU16String();
    const long long v = StrToInt64(t);
    if (v < 0 || v > 4294967295LL)
        throw EConvertError(UnicodeToUtf8(t) + " is not valid unsigned integer");
    return static_cast<std::uint32_t>(v);
}

double TSEdit::GetAsDouble() const
{
    double v = 0;
    if (!ConvertsToDouble(&v))
        throw EConvertError("'" + text().toStdString() + "' is not a valid floating point value");
    return v;
}

float TSEdit::GetAsFloat() const
{
    const double v = GetAsDouble();
    // Narrowing a value beyond the single range would give infinity (or worse): report it.
    if (std::fabs(v) > static_cast<double>(FLT_MAX))
        throw EConvertError("'" + text().toStdString() + "' is not a valid floating point value");
    return static_cast<float>(v);
}

bool TSEdit::PasteChecked(bool fromSelection)
{
    const QString before = text();
    const int selStart = selectionStart();
    const int selLength = selectedText().size();
    const int caret = cursorPosition();
    if (fromSelection)
        insert(QGuiApplication::clipboard()->text(QClipboard::Selection));
    else
        paste();
    if (ValidText())
        return true;
    setText(before);
    if (selStart >= 0 && selLength > 0) {
        if (caret == selStart)
            setSelection(selStart + selLength, -selLength);
        else
            setSelection(selStart, selLength);
    } else {
        setCursorPosition(caret);
    }
    return false;
}

void TSEdit::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool shift = mods & Qt::ShiftModifier;
    const bool ctrl = mods & Qt::ControlModifier;
    const int key = event->key();

    if (key == Qt::Key_Escape) {
        if (FEscape)
            setText(FEnterText);
    } else if ((key == Qt::Key_Insert && !(ctrl && !shift)) || (key == Qt::Key_V && ctrl && !shift) ||
               event->matches(QKeySequence::Paste)) {
        // Every paste key goes through the check; the line edit's own paste would skip it.
        PasteChecked();
        event->accept();
        return;
    }

    // A key that types no character of the box's own (an editing key, Ctrl with a letter, a key
    // held with Meta, Ctrl on the keypad) reaches the line edit without its text: the line edit
    // still acts on the key, but would otherwise insert that text past the filter.
    const auto passKeyOnly = [this, event] {
        if (event->text().isEmpty()) {
            QLineEdit::keyPressEvent(event);
            return;
        }
        QKeyEvent bare(event->type(), event->key(), event->modifiers(), event->nativeScanCode(),
                       event->nativeVirtualKey(), event->nativeModifiers(), QString(), event->isAutoRepeat(),
                       event->count(), event->device());
        QLineEdit::keyPressEvent(&bare);
        event->setAccepted(bare.isAccepted());
    };

    const char16_t ch = KeyChar(event);
    if (ch == 22) {
        event->accept();
        return;
    }
    if (ch == 0 || ch == 13 || ch == 27) {
        // Enter and Esc insert nothing; the line edit passes them on to the dialog's buttons.
        passKeyOnly();
        return;
    }
    if (IsControlChar(ch)) {
        passKeyOnly();
        return;
    }
    if (!TextAllowed(event->text(), 0, 0)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TSEdit::focusInEvent(QFocusEvent *event)
{
    // Coming back from another window or a popup is not entering the box; its window opening
    // (again) with the box as its focus is.
    const Qt::FocusReason reason = event->reason();
    if (!FFocusParked || (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason))
        FEnterText = text();
    FFocusParked = false;
    QLineEdit::focusInEvent(event);
}

void TSEdit::focusOutEvent(QFocusEvent *event)
{
    const bool toOtherWindow =
        event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason;
    FFocusParked = toOtherWindow && isVisible();
    if (!toOtherWindow && FEditKind >= ::ekUInt && !text().isEmpty()) {
        const QString sep{QChar(FDecimalSep)};
        const QString t = text();
        if (t == QStringLiteral("-") || t == sep || t == QStringLiteral("-") + sep)
            clear();
    }
    QLineEdit::focusOutEvent(event);
}

void TSEdit::hideEvent(QHideEvent *event)
{
    // A closed window that opens again is entered afresh; a minimised one is only returned to.
    if (!event->spontaneous())
        FFocusParked = false;
    QLineEdit::hideEvent(event);
}

void TSEdit::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu();
    for (QAction *action : menu->actions()) {
        // Older Qt leaves the actions unnamed; the text is the line edit's own translation.
        if (action->objectName() == QStringLiteral("edit-paste") ||
            action->text().startsWith(QLineEdit::tr("&Paste"))) {
            disconnect(action, &QAction::triggered, nullptr, nullptr);
            connect(action, &QAction::triggered, this, [this] { PasteChecked(); });
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TSEdit::dropEvent(QDropEvent *event)
{
    const QString before = text();
    QLineEdit::dropEvent(event);
    if (!ValidText())
        setText(before);
}

void TSEdit::mouseReleaseEvent(QMouseEvent *event)
{
    // The middle button pastes the selection on X11: checked like any paste.
    if (event->button() == Qt::MiddleButton && !isReadOnly() &&
        QGuiApplication::clipboard()->supportsSelection()) {
        deselect();
        PasteChecked(true);
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void TSEdit::inputMethodEvent(QInputMethodEvent *event)
{
    if (!TextAllowed(event->commitString(), event->replacementStart(), event->replacementLength())) {
        event->accept();
        return;
    }
    QLineEdit::inputMethodEvent(event);
}
