#include <common/gui/formkit.h>

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>

QFont PixelFont(const char *family, int px, QFont::Weight weight)
{
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    if (weight != QFont::Normal)
        f.setWeight(weight);
    return f;
}

void SetColour(QWidget *w, const QColor &colour, QPalette::ColorRole role)
{
    QPalette p = w->palette();
    p.setColor(role, colour);
    w->setPalette(p);
}

void SetupForm(QWidget *form, const char *name, const char *title, int fontPx)
{
    form->setObjectName(QString::fromLatin1(name));
    form->setWindowTitle(QString::fromLatin1(title));
    form->setFont(PixelFont("Segoe UI", fontPx));
    form->setContextMenuPolicy(Qt::PreventContextMenu);
}

QVBoxLayout *StackLayout(QWidget *w, const QMargins &margins)
{
    auto *lay = new QVBoxLayout(w);
    lay->setContentsMargins(margins);
    lay->setSpacing(0);
    return lay;
}

QFrame *MakeBand(QWidget *parent, const char *name, int height)
{
    auto *band = new QFrame(parent);
    band->setObjectName(QString::fromLatin1(name));
    band->setFixedHeight(height);
    return band;
}

QLabel *MakeLamp(QWidget *parent, const QRect &geometry)
{
    // A glyph of a font that surely has it, rather than a picture.
    auto *lamp = new QLabel(QString(QChar(0x25CF)), parent);
    lamp->setObjectName(QStringLiteral("p_labLed"));
    lamp->setGeometry(geometry);
    lamp->setAlignment(Qt::AlignCenter);
    lamp->setFont(PixelFont("DejaVu Sans", 16));
    SetColour(lamp, QColor(240, 0, 0));
    QPalette p = lamp->palette();
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(160, 160, 160));
    lamp->setPalette(p);
    lamp->setEnabled(false);
    return lamp;
}

QToolButton *MakeFlatButton(QWidget *parent, const QString &text, const QFont &font)
{
    auto *b = new QToolButton(parent);
    b->setText(text);
    b->setAutoRaise(true);
    b->setFont(font);
    SetColour(b, QColor(159, 159, 159), QPalette::ButtonText);
    return b;
}

void SetupTagButton(QAbstractButton *button, const char *name, int tag, const QRect &geometry)
{
    button->setObjectName(QString::fromLatin1(name));
    button->setProperty("Tag", tag);
    button->setGeometry(geometry);
}

QPoint PlaceFromScreenEnd(int screenWidth, int screenHeight, int windowWidth, int windowHeight,
                          int widthTenths, int heightTenths)
{
    // Integer tenths keep the truncation exact: 1.5 x 398 is 597, not 596.99...
    const long long left = (10LL * screenWidth - static_cast<long long>(widthTenths) * windowWidth) / 10;
    const long long top = (10LL * screenHeight - static_cast<long long>(heightTenths) * windowHeight) / 10;
    return {static_cast<int>(left), static_cast<int>(top)};
}

void MoveOnScreen(QWidget *window,
                  QPoint (*place)(int screenWidth, int screenHeight, int windowWidth, int windowHeight))
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect frame = window->frameGeometry();
    window->move(
        place(screen->geometry().width(), screen->geometry().height(), frame.width(), frame.height()));
}

TFormShot::TFormShot(QWidget *form, QString file) : FForm(form), FFile(std::move(file)) {}

void TFormShot::Schedule()
{
    if (FFile.isEmpty() || FPending)
        return;
    FPending = true;
    QTimer::singleShot(100, FForm, [this] {
        FPending = false;
        FForm->grab().save(FFile, "PNG");
    });
}
