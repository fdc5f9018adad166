#include <ctlpack/ctlpack.h>

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>

#include <algorithm>

TMSpinEdit::TMSpinEdit(QWidget *parent) : QSpinBox(parent) {}

bool TMSpinEdit::EditorEnabled() const
{
    return !lineEdit()->isReadOnly();
}

void TMSpinEdit::SetEditorEnabled(bool on)
{
    // Only typing is switched off; the buttons and arrow keys keep stepping the value.
    lineEdit()->setReadOnly(!on);
}

int TMSpinEdit::Snap(int v) const
{
    const long long inc = Increment();
    if (inc < 1)
        return v;
    const long long min = MinValue();
    // 64-bit: v - MinValue overflows an int for bounds near the ends of the range.
    return static_cast<int>(min + inc * ((static_cast<long long>(v) - min) / inc));
}

bool TMSpinEdit::SnapsTyping() const
{
    return FEditorInc && EditorEnabled() && Increment() >= 2;
}

// The number in the box's text, when it is one within the bounds.
bool TMSpinEdit::TypedNumber(const QString &input, int *value) const
{
    QString digits = input;
    if (!prefix().isEmpty() && digits.startsWith(prefix()))
        digits.remove(0, prefix().size());
    if (!suffix().isEmpty() && digits.endsWith(suffix()))
        digits.chop(suffix().size());
    bool ok = false;
    const int v = locale().toInt(digits.trimmed(), &ok);
    if (!ok || v < MinValue() || v > MaxValue())
        return false;
    *value = v;
    return true;
}

QValidator::State TMSpinEdit::validate(QString &input, int &pos) const
{
    // Snapping every keystroke would turn the 1 of 12 into 0 before the 2 comes: a value off
    // the grid stays in the box as typed and is snapped by fixup once the box takes it.
    const QValidator::State state = QSpinBox::validate(input, pos);
    int v = 0;
    if (state == QValidator::Acceptable && SnapsTyping() && TypedNumber(input, &v) && Snap(v) != v)
        return QValidator::Intermediate;
    return state;
}

void TMSpinEdit::fixup(QString &input) const
{
    QSpinBox::fixup(input);
    int v = 0;
    if (SnapsTyping() && TypedNumber(input, &v))
        input = prefix() + textFromValue(Snap(v)) + suffix();
}

void TMSpinEdit::stepBy(int steps)
{
    if (!SnapsTyping()) {
        QSpinBox::stepBy(steps);
        return;
    }
    int from = value();
    TypedNumber(lineEdit()->displayText(), &from);
    const long long min = MinValue();
    const long long max = MaxValue();
    long long to = from + static_cast<long long>(steps) * Increment();
    if (wrapping() && (to < min || to > max))
        to = to > max ? min : max;
    setValue(Snap(static_cast<int>(std::clamp(to, min, max))));
    if (style()->styleHint(QStyle::SH_SpinBox_SelectOnStep, nullptr, this))
        selectAll();
}

void TMSpinEdit::keyPressEvent(QKeyEvent *event)
{
    const QString t = event->text();
    if (!t.isEmpty() && !(event->modifiers() & Qt::ControlModifier)) {
        const QChar c = t.at(0);
        if (c == QLatin1Char('.') || c == QLatin1Char(',') || c == QLatin1Char('+') ||
            (c == QLatin1Char('-') && MinValue() >= 0)) {
            QApplication::beep();
            event->accept();
            return;
        }
    }
    QSpinBox::keyPressEvent(event);
}

void TMSpinEdit::focusOutEvent(QFocusEvent *event)
{
    QSpinBox::focusOutEvent(event);
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
        return;
    if (EditorEnabled())
        setValue(Snap(value()));
}
