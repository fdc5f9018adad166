// What the boxes of this library share beyond their form: the language test, the pictures,
// the beep, the mouse cursor, the wrapping message label and placement.
#pragma once

#include <corekit/corekit.h>

#include "pixelfont.h"

#include <QLabel>
#include <QPalette>
#include <QString>

class QDialog;
class QPushButton;
class QWidget;

namespace noticekit::detail {

/// The 28-letter literal of the language test; letters missing from it do not count.
bool isRussianLetter(char16_t c);

QString toQString(const UnicodeString &s);

/// A panel of the forms: a plain widget filled with the colour of its palette role.
QWidget *makePanel(QWidget *parent, const char *name, QPalette::ColorRole background);

/// A button of the forms, placed at geometry, that ends box with modalResult when clicked.
QPushButton *makeButton(QWidget *parent, const char *name, const QRect &geometry, int modalResult,
                        QDialog *box);

enum class Picture { Error, Exclamation, Information, Question };
/// A hidden picture label of the given size, drawn transparently at its top-left corner.
QLabel *makePicture(QWidget *parent, const char *name, Picture picture, int width, int height);

/// Sounds the typed beep; when the platform cannot, the plain beep instead.
void beepWithFallback(unsigned soundType);
/// Sounds the typed beep without a fallback.
void beepTyped(unsigned soundType);
/// The plain beep.
void beepSimple();

/// Shows the default arrow while alive when the application shows another cursor, and puts
/// that cursor back at the end.
class ArrowCursor {
public:
    ArrowCursor();
    ~ArrowCursor();
    ArrowCursor(const ArrowCursor &) = delete;
    ArrowCursor &operator=(const ArrowCursor &) = delete;

private:
    bool FPushed = false;
};

/// Places box over parent with W_PosCreatedForm, or centres it on the primary screen (kept
/// inside it the same way) when parent is null.
void placeBox(QWidget *parent, QWidget *box, int x, int y);

/// The modal loop hook of the tests, if one is set.
void runShowHook(QDialog *box);

/// A plain-text label that wraps at blanks and, where a word is longer than a line, inside the
/// word, so that no text runs out of the box sideways. Line breaks in the text are kept.
class WrapLabel : public QLabel {
public:
    explicit WrapLabel(QWidget *parent);
    void setMessage(const QString &text);
    /// Height of the wrapped text at the given width.
    int textHeight(int width) const;
    int heightForWidth(int width) const override;
    bool hasHeightForWidth() const override { return true; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace noticekit::detail
