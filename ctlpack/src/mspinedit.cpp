#include <ctlpack/ctlpack.h>

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>

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

QValidator::State TMSpinEdit::validate(QString &input, int &pos) const
{
    const QValidator::State state = QSpinBox::validate(input, pos);
    if (state != QValidator::Acceptable || !EditorEnabled() || Increment() < 2 || !FEditorInc)
        return state;
    // The typed text is snapped before the box takes it as its value, so every change
    // notification already carries the value on the grid.
    QString digits = input;
    if (!prefix().isEmpty() && digits.startsWith(prefix()))
        digits.remove(0, prefix().size());
    if (!suffix().isEmpty() && digits.endsWith(suffix()))
        digits.chop(suffix().size());
    bool ok = false;
    const int v = locale().toInt(digits.trimmed(), &ok);
    if (!ok || v < MinValue() || v > MaxValue())
        return state;
    const int snapped = Snap(v);
    if (snapped != v) {
        input = prefix() + textFromValue(snapped) + suffix();
        pos = qMin(pos, static_cast<int>(input.size()));
    }
    return state;
}

void TMSpinEdit::keyPressEvent(QKeyEvent *event)
{
    const QString t = event->text();
    if (!t.isEmpty() && !(event->modifiers() & Qt::ControlModifier)) {
        const QChar c = t.at(0);
        if (c == QLatin1Char('.') || c == QLatin1Char(',') || c == QLatin1Char('+')
            || (c == QLatin1Char('-') && MinValue() >= 0)) {
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
