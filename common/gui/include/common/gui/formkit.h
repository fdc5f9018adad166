#pragma once
// The pieces the programs' windows are built from: pixel-sized fonts, palette colours, the
// connection lamp, the buttons that share one click handler through their "Tag", the flat
// glyph buttons and the headless screenshot. The master, the client agent and the about box
// build them here, so that they look and behave alike.

#include <QAbstractButton>
#include <QFont>
#include <QMargins>
#include <QPalette>
#include <QPoint>
#include <QRect>
#include <QString>

class QColor;
class QFrame;
class QLabel;
class QToolButton;
class QVBoxLayout;
class QWidget;

/// A font of family at px pixels; any weight but Normal is set explicitly, Normal is left
/// unset so that the font still takes its weight from the parent's.
QFont PixelFont(const char *family, int px, QFont::Weight weight = QFont::Normal);

/// Sets one colour role of w's palette in every colour group.
void SetColour(QWidget *w, const QColor &colour, QPalette::ColorRole role = QPalette::WindowText);

/// Names a form and titles it, gives it the forms' font (Segoe UI at fontPx pixels) and keeps
/// the context menu off it.
void SetupForm(QWidget *form, const char *name, const char *title, int fontPx);

/// A vertical layout of w whose rows stand edge to edge inside margins.
QVBoxLayout *StackLayout(QWidget *w, const QMargins &margins = {});

/// A named band of a stacked form: a plain frame of a fixed height.
QFrame *MakeBand(QWidget *parent, const char *name, int height);

/// The connection lamp "p_labLed": a round glyph, red while enabled and grey while disabled.
/// It starts disabled.
QLabel *MakeLamp(QWidget *parent, const QRect &geometry);

/// A flat (auto-raised) button showing text in font, drawn in the grey of the "?" and "i"
/// buttons.
QToolButton *MakeFlatButton(QWidget *parent, const QString &text, const QFont &font);

/// Names a button, keeps tag as its "Tag" property and places it.
void SetupTagButton(QAbstractButton *button, const char *name, int tag, const QRect &geometry);

/// As above, and sends the button's clicks to the form's shared handler, which switches on the
/// clicked button's "Tag".
template <class Form>
void SetupTagButton(QAbstractButton *button, const char *name, int tag, const QRect &geometry, Form *form,
                    void (Form::*handler)(QObject *))
{
    SetupTagButton(button, name, tag, geometry);
    QObject::connect(button, &QAbstractButton::clicked, form,
                     [form, handler, button] { (form->*handler)(button); });
}

/// A window's place near the bottom-right of the screen: left = screen width - widthTenths / 10
/// x window width, top = screen height - heightTenths / 10 x window height, each truncated
/// toward zero.
QPoint PlaceFromScreenEnd(int screenWidth, int screenHeight, int windowWidth, int windowHeight,
                          int widthTenths, int heightTenths);

/// Moves window to where place puts it, given the primary screen's size and the window's outer
/// size; does nothing when there is no screen.
void MoveOnScreen(QWidget *window,
                  QPoint (*place)(int screenWidth, int screenHeight, int windowWidth, int windowHeight));

/// Saves a PNG of a form to file a moment after its content changed (headless runs look at
/// the window that way); does nothing when file is empty. Changes that come close together
/// give one picture.
class TFormShot {
public:
    TFormShot(QWidget *form, QString file);
    TFormShot(const TFormShot &) = delete;
    TFormShot &operator=(const TFormShot &) = delete;

    void Schedule();

private:
    QWidget *FForm;
    QString FFile;
    bool FPending = false;
};
