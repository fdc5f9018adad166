#include "support.h"

#include <noticekit/noticekit.h>

#include <QCheckBox>
#include <QGuiApplication>
#include <QLocale>
#include <QPushButton>
#include <QScreen>

using namespace noticekit::detail;

namespace {

constexpr int DesignClientWidth = 300;
constexpr int DesignClientHeight = 142;
constexpr int BtnPanelHeight = 45;
constexpr int CheckPanelHeight = 19;
constexpr int TopPadBottom = 5;
constexpr int ImgPanelWidth = 50;
constexpr int ImgPadLeft = 9;
constexpr int MesPadLeft = 6;
constexpr int MesPadTop = 16;
constexpr int MesPadRight = 10;
constexpr int BtnTop = 13;
constexpr int CheckWidth = 123;
constexpr int CheckHeight = 17;

QPushButton *makeBoxButton(QWidget *parent, const char *name, const QString &caption, int modalResult,
                           TCheckMesBox *box)
{
    QPushButton *b = makeButton(parent, name, QRect(0, BtnTop, 75, 25), modalResult, box);
    b->setText(caption);
    b->setFont(pixelFont(QStringLiteral("Segoe UI"), 11));
    return b;
}

// The language test of these boxes upper-cases the first character first.
bool russianAfterUpperCase(const UnicodeString &message)
{
    if (message.empty())
        return false;
    const QString upper = QLocale::system().toUpper(QString(QChar(message.front())));
    return upper.size() == 1 && isRussianLetter(upper.front().unicode());
}

QString messageText(const UnicodeString &message)
{
    return message.empty() ? QStringLiteral("No message passed") : toQString(message);
}

void showPicture(QLabel *picture)
{
    picture->move(ImgPadLeft, MesPadTop);
    picture->show();
}

} // namespace

TCheckMesBox::TCheckMesBox(QWidget *owner) : BoxForm(owner, QStringLiteral("OptMesBox"))
{
    setObjectName(QStringLiteral("OptMesBox"));

    p_panBtn = makePanel(this, "p_panBtn", QPalette::Button);
    p_bnOk = makeBoxButton(p_panBtn, "p_bnOk", QStringLiteral("ОК"), 1, this);
    p_bnOk->setDefault(true);
    p_bnEsc = makeBoxButton(p_panBtn, "p_bnEsc", QStringLiteral("Отмена"), 2, this);

    p_panCheck = makePanel(this, "p_panCheck", QPalette::Base);
    p_cbxHide = new QCheckBox(QStringLiteral(" Don't show this again"), p_panCheck);
    p_cbxHide->setObjectName(QStringLiteral("p_cbxHide"));
    p_cbxHide->setFont(pixelFont(QStringLiteral("Calibri"), 11));
    QPalette cbx = p_cbxHide->palette();
    cbx.setColor(QPalette::WindowText, QColor(10, 114, 156));
    cbx.setColor(QPalette::Window, QColor(168, 184, 193));
    p_cbxHide->setPalette(cbx);
    // Qt's check box fills with the button colour; the designed background is its own.
    p_cbxHide->setBackgroundRole(QPalette::Window);
    p_cbxHide->setAutoFillBackground(true);
    p_cbxHide->setGeometry(0, -1, CheckWidth, CheckHeight);

    p_panTop = makePanel(this, "p_panTop", QPalette::Base);
    p_panImg = makePanel(p_panTop, "p_panImg", QPalette::Base);
    p_imgExcl = makePicture(p_panImg, "p_imgExcl", Picture::Exclamation, 32, 32);
    p_imgQuest = makePicture(p_panImg, "p_imgQuest", Picture::Question, 32, 32);
    p_imgInfo = makePicture(p_panImg, "p_imgInfo", Picture::Information, 32, 32);
    p_panMes = makePanel(p_panTop, "p_panMes", QPalette::Base);
    auto *label = new WrapLabel(p_panMes);
    label->setObjectName(QStringLiteral("p_labMes"));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    p_labMes = label;

    setFixedSize(DesignClientWidth, DesignClientHeight);
    relayout();
}

void TCheckMesBox::SetTwoButtons(bool two)
{
    FTwoButtons = two;
    p_bnEsc->setVisible(two);
}

void TCheckMesBox::SetCheckVisible(bool visible)
{
    if (visible == !p_panCheck->isHidden())
        return;
    p_panCheck->setVisible(visible);
    setFixedSize(width(), height() + (visible ? CheckPanelHeight : -CheckPanelHeight));
    relayout();
}

void TCheckMesBox::FitText(const UnicodeString &message)
{
    const QString text = messageText(message);
    const int room = p_panMes->width() - MesPadLeft - MesPadRight;
    const int need = static_cast<int>(1.2 * fontMetrics().horizontalAdvance(text));

    int w = width();
    int h = height();
    auto *label = static_cast<WrapLabel *>(p_labMes);
    label->setMessage(text);
    if (need <= room) {
        // One line as measured: the designed height, whatever line breaks the text holds.
        h -= 22;
    } else {
        if (need <= 2 * room)
            h -= 15;
        else
            w += need / 3 - room;
        // A very long message would make the box wider than any screen: keep it on the screen
        // and let the text take more lines instead, growing the box downward as far as the
        // screen allows.
        const QMargins frame = frameMargins();
        const QScreen *screen = QGuiApplication::primaryScreen();
        const QSize maxClient = screen ? screen->geometry().size().shrunkBy(frame) : QSize(w, h);
        w = std::min(w, std::max(DesignClientWidth, maxClient.width()));
        const int checkRow = p_panCheck->isHidden() ? 0 : CheckPanelHeight;
        const int mesHeight = h - BtnPanelHeight - checkRow - TopPadBottom;
        const int wanted = MesPadTop + label->textHeight(w - ImgPanelWidth - MesPadLeft - MesPadRight);
        if (wanted > mesHeight)
            h = std::max(h, std::min(h + wanted - mesHeight, maxClient.height()));
    }

    setFixedSize(w, h);
    relayout();
}

void TCheckMesBox::relayout()
{
    const int w = width();
    int y = height() - BtnPanelHeight;
    p_panBtn->setGeometry(0, y, w, BtnPanelHeight);
    if (!p_panCheck->isHidden()) {
        y -= CheckPanelHeight;
        p_panCheck->setGeometry(0, y, w, CheckPanelHeight);
    }
    p_panTop->setGeometry(0, 0, w, y);
    const int inner = std::max(0, y - TopPadBottom);
    p_panImg->setGeometry(0, 0, ImgPanelWidth, inner);
    p_panMes->setGeometry(ImgPanelWidth, 0, std::max(0, w - ImgPanelWidth), inner);
    const int labelWidth = std::max(1, p_panMes->width() - MesPadLeft - MesPadRight);
    const int labelHeight = static_cast<WrapLabel *>(p_labMes)->textHeight(labelWidth);
    p_labMes->setGeometry(MesPadLeft, MesPadTop, labelWidth, labelHeight);
}

void TCheckMesBox::FormShow()
{
    const int top = p_panTop->width();
    if (!p_panCheck->isHidden())
        p_cbxHide->move((top - p_cbxHide->width()) / 2, p_cbxHide->y());
    int w = p_bnOk->width();
    if (FTwoButtons)
        w += p_bnEsc->width() + 10;
    p_bnOk->move((top - w) / 2, BtnTop);
    if (FTwoButtons)
        p_bnEsc->move(p_bnOk->x() + p_bnOk->width() + 10, BtnTop);
}

void TCheckMesBox::showEvent(QShowEvent *event)
{
    FormShow();
    BoxForm::showEvent(event);
}

void TCheckMesBox::resizeEvent(QResizeEvent *event)
{
    BoxForm::resizeEvent(event);
    relayout();
}

bool CMesBoxOpt(int kind, QWidget *parent, const UnicodeString &message, bool &hide, int x, int y)
{
    if (kind != mkInfo && kind != mkWarning) {
        beepSimple();
        return false;
    }
    TCheckMesBox box;
    int result = 0;
    {
        ArrowCursor arrow;
        beepWithFallback(kind == mkInfo ? 0 : 48);

        const bool russian = russianAfterUpperCase(message);
        box.SetTwoButtons(kind == mkWarning);
        if (kind == mkWarning) {
            showPicture(box.p_imgExcl);
            box.setWindowTitle(russian ? QStringLiteral("Предупреждение") : QStringLiteral("Warning"));
            box.p_bnEsc->setText(russian ? QStringLiteral("Отмена") : QStringLiteral("Cancel"));
        } else {
            showPicture(box.p_imgInfo);
            box.setWindowTitle(russian ? QStringLiteral("Уведомление") : QStringLiteral("Notification"));
        }
        box.FitText(message);
        // Placed with its final size, so that it is centred and kept on the screen as it shows.
        placeBox(parent, &box, x, y);
        result = box.exec();
    }
    hide = box.p_cbxHide->isChecked();
    return result == 1;
}

bool CMesBoxCheck(QWidget *parent, int kind, bool &check, const UnicodeString &message,
                  const UnicodeString &caption, int x, int y)
{
    TCheckMesBox box;
    ArrowCursor arrow;
    beepWithFallback(48);
    box.setWindowTitle(toQString(caption));

    box.SetTwoButtons(true);
    switch (kind) {
    case mkInfo:
        showPicture(box.p_imgInfo);
        break;
    case mkWarning:
        showPicture(box.p_imgExcl);
        break;
    case mkQuestion:
        showPicture(box.p_imgQuest);
        break;
    default:
        break;
    }
    box.p_bnEsc->setText(russianAfterUpperCase(message) ? QStringLiteral("Отмена")
                                                        : QStringLiteral("Cancel"));
    const bool withCheck = check;
    if (!withCheck)
        box.SetCheckVisible(false);
    box.FitText(message);
    placeBox(parent, &box, x, y);

    const int result = box.exec();
    if (withCheck)
        check = box.p_cbxHide->isChecked();
    return result == 1;
}
