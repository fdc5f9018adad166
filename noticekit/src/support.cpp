#include "support.h"

#include <noticekit/noticekit.h>

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>

#include <cmath>

namespace noticekit {
namespace {

std::function<void(QDialog *)> &showHook()
{
    static std::function<void(QDialog *)> hook;
    return hook;
}

std::function<bool(unsigned)> &beepHook()
{
    static std::function<bool(unsigned)> hook;
    return hook;
}

// The desktop's sound theme plays the typed sounds; without a player the beep has failed and
// the caller falls back to the plain beep.
bool platformBeep(unsigned soundType)
{
    const char *id = nullptr;
    switch (soundType) {
    case SimpleBeep:
    case 0:
        QApplication::beep();
        return true;
    case 16:
        id = "dialog-error";
        break;
    case 32:
        id = "dialog-question";
        break;
    case 48:
        id = "dialog-warning";
        break;
    case 64:
        id = "dialog-information";
        break;
    default:
        return false;
    }
    return QProcess::startDetached(QStringLiteral("canberra-gtk-play"),
                                   {QStringLiteral("-i"), QString::fromLatin1(id)});
}

bool soundBeep(unsigned soundType)
{
    const auto hook = beepHook();
    return hook ? hook(soundType) : platformBeep(soundType);
}

} // namespace

void setShowHook(std::function<void(QDialog *box)> hook)
{
    showHook() = std::move(hook);
}

void setBeepHook(std::function<bool(unsigned soundType)> hook)
{
    beepHook() = std::move(hook);
}

namespace detail {

bool isRussianLetter(char16_t c)
{
    static constexpr char16_t literal[] = u"АВВГДЕЖЗИКЛМНОПРСТУФХЦЧШЩЭЮЯ";
    for (char16_t l : literal)
        if (l && l == c)
            return true;
    return false;
}

QString toQString(const UnicodeString &s)
{
    return QString(reinterpret_cast<const QChar *>(s.data()), static_cast<qsizetype>(s.size()));
}

QWidget *makePanel(QWidget *parent, const char *name, QPalette::ColorRole background)
{
    auto *p = new QWidget(parent);
    p->setObjectName(QString::fromLatin1(name));
    p->setAutoFillBackground(true);
    p->setBackgroundRole(background);
    return p;
}

QPushButton *makeButton(QWidget *parent, const char *name, const QRect &geometry, int modalResult,
                        QDialog *box)
{
    auto *b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    QObject::connect(b, &QPushButton::clicked, box, [box, modalResult] { box->done(modalResult); });
    return b;
}

QLabel *makePicture(QWidget *parent, const char *name, Picture picture, int width, int height)
{
    static const char *const files[] = {":/noticekit/error.png", ":/noticekit/exclamation.png",
                                        ":/noticekit/information.png", ":/noticekit/question.png"};
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setPixmap(QPixmap(QString::fromLatin1(files[static_cast<int>(picture)])));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setGeometry(0, 0, width, height);
    label->hide();
    return label;
}

void beepWithFallback(unsigned soundType)
{
    if (!soundBeep(soundType))
        soundBeep(SimpleBeep);
}

void beepTyped(unsigned soundType)
{
    soundBeep(soundType);
}

void beepSimple()
{
    soundBeep(SimpleBeep);
}

ArrowCursor::ArrowCursor()
{
    const QCursor *current = QGuiApplication::overrideCursor();
    if (current && current->shape() != Qt::ArrowCursor) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
        FPushed = true;
    }
}

ArrowCursor::~ArrowCursor()
{
    if (FPushed)
        QGuiApplication::restoreOverrideCursor();
}

void placeBox(QWidget *parent, QWidget *box, int x, int y)
{
    if (parent) {
        W_PosCreatedForm(parent, box, x, y);
        return;
    }
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect s = screen->geometry();
    box->winId(); // the frame is known once the platform window exists
    const QRect f = box->frameGeometry();
    const W_Point p = W_CalcCreatedFormPos({s.left(), s.top(), s.left() + s.width(), s.top() + s.height()},
                                           {f.left(), f.top(), f.left() + f.width(), f.top() + f.height()},
                                           W_Centre, W_Centre, s.width(), s.height());
    box->move(p.X, p.Y);
}

void runShowHook(QDialog *box)
{
    if (!showHook())
        return;
    // Runs once the modal loop has started, so the hook can answer the box.
    QTimer::singleShot(0, box, [box] {
        const auto hook = showHook();
        if (hook && box->isVisible())
            hook(box);
    });
}

namespace {

QString layoutText(const QString &text)
{
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QString(QChar::LineSeparator));
    t.replace(QLatin1Char('\r'), QChar::LineSeparator);
    t.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return t;
}

qreal doLayout(QTextLayout &layout, int width)
{
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

} // namespace

WrapLabel::WrapLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
}

void WrapLabel::setMessage(const QString &text)
{
    setText(text);
}

int WrapLabel::textHeight(int width) const
{
    QTextLayout layout(layoutText(text()), font());
    return static_cast<int>(std::ceil(doLayout(layout, width)));
}

int WrapLabel::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    return textHeight(width - m.left() - m.right()) + m.top() + m.bottom();
}

QSize WrapLabel::sizeHint() const
{
    return {width(), heightForWidth(width())};
}

void WrapLabel::paintEvent(QPaintEvent *)
{
    const QRect r = contentsRect();
    QTextLayout layout(layoutText(text()), font());
    const qreal h = doLayout(layout, r.width());
    qreal top = r.top();
    if (alignment() & Qt::AlignVCenter)
        top += (r.height() - h) / 2;
    QPainter p(this);
    p.setClipRect(r);
    p.setPen(palette().color(foregroundRole()));
    layout.draw(&p, QPointF(r.left(), top));
}

// The form behaviour shared by the three boxes.

BoxForm::BoxForm(QWidget *owner, const QString &designTitle)
    : QDialog(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::WindowStaysOnTopHint)
{
    setFont(pixelFont(QStringLiteral("Segoe UI"), 12));
    setWindowTitle(designTitle);
    setContextMenuPolicy(Qt::PreventContextMenu);
}

QMargins BoxForm::frameMargins()
{
    winId(); // the platform knows the frame only once the window exists
    const QWindow *w = windowHandle();
    return w ? w->frameMargins() : QMargins();
}

void BoxForm::reject()
{
    done(2);
}

void BoxForm::keyPressEvent(QKeyEvent *event)
{
    // No button is the cancel button: Esc leaves the box open.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void BoxForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    runShowHook(this);
}

} // namespace detail
} // namespace noticekit
