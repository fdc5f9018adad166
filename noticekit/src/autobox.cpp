#include "support.h"

#include <noticekit/noticekit.h>

#include <QEvent>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <climits>

using namespace noticekit::detail;

TAMesBoxDlg::TAMesBoxDlg(QWidget *owner) : BoxForm(owner, QStringLiteral("AMesBoxDlg"))
{
    setObjectName(QStringLiteral("AMesBoxDlg"));
    constexpr int clientWidth = 332;
    constexpr int clientHeight = 116;
    constexpr int btnPanelHeight = 42;
    constexpr int imgPanelWidth = 53;
    constexpr int top = clientHeight - btnPanelHeight;

    mp_panBtn = makePanel(this, "mp_panBtn", QPalette::Button);
    mp_panBtn->setGeometry(0, top, clientWidth, btnPanelHeight);
    mp_bnOk = makeButton(mp_panBtn, "mp_bnOk", QRect(129, 10, 75, 25), 1, this);
    mp_bnOk->setText(QStringLiteral("ОК"));
    mp_bnOk->setDefault(true);

    mp_panImg = makePanel(this, "mp_panImg", QPalette::Base);
    mp_panImg->setGeometry(0, 0, imgPanelWidth, top);
    p_imgErr = makePicture(mp_panImg, "p_imgErr", Picture::Error, 36, 33);
    p_imgErr->move(14, 19);
    p_imgErr->show();
    p_imgInfo = makePicture(mp_panImg, "p_imgInfo", Picture::Information, 36, 33);
    p_imgInfo->move(13, 26);

    // The label fills the padded panel less its margins and never grows: longer text is cut.
    mp_panMes = makePanel(this, "mp_panMes", QPalette::Base);
    mp_panMes->setGeometry(imgPanelWidth, 0, clientWidth - imgPanelWidth, top);
    auto *label = new WrapLabel(mp_panMes);
    label->setObjectName(QStringLiteral("mp_labMes"));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int padLeft = 6, padTop = 10, padRight = 10;
    label->setGeometry(padLeft + 3, padTop + 5, mp_panMes->width() - padLeft - padRight - 6,
                       top - padTop - 10);
    mp_labMes = label;

    p_tmClose = new QTimer(this);
    p_tmClose->setObjectName(QStringLiteral("p_tmClose"));
    // A coarse timer may fire up to 5 % early; the box must never close before its time.
    p_tmClose->setTimerType(Qt::PreciseTimer);
    connect(p_tmClose, &QTimer::timeout, this, &TAMesBoxDlg::p_tmCloseTimer);

    setFixedSize(clientWidth, clientHeight);
    move(0, 0);
}

void TAMesBoxDlg::FormActivate()
{
    // A zero interval means the timer does not run at all.
    if (p_tmClose->interval() > 0 && !p_tmClose->isActive())
        p_tmClose->start();
}

void TAMesBoxDlg::p_tmCloseTimer()
{
    p_tmClose->stop();
    close();
}

bool TAMesBoxDlg::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        FormActivate();
    return BoxForm::event(event);
}

void CMesBoxAuto(QWidget *parent, int seconds, const UnicodeString &message, const UnicodeString &caption,
                 bool error, int x, int y)
{
    TAMesBoxDlg box;
    placeBox(parent, &box, x, y);
    if (error)
        beepTyped(16);
    else
        beepSimple();
    box.setWindowTitle(toQString(caption));
    box.p_imgInfo->move(box.p_imgInfo->x(), box.p_imgErr->y());
    box.p_imgErr->setVisible(error);
    box.p_imgInfo->setVisible(!error);
    // Negative seconds count as none; very large ones are capped rather than overflowing.
    const long long ms = std::clamp<long long>(static_cast<long long>(seconds) * 1000, 0, INT_MAX);
    box.p_tmClose->setInterval(static_cast<int>(ms));
    static_cast<WrapLabel *>(box.mp_labMes)->setMessage(toQString(message));
    box.exec();
}
