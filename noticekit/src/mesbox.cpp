#include "support.h"

#include <noticekit/noticekit.h>

#include <QPushButton>

using namespace noticekit::detail;

namespace {

constexpr int BoxOuterWidth = 340;
constexpr int ImgPanelWidth = 50;
constexpr int MesPadLeft = 6;
constexpr int MesPadTop = 10;
constexpr int MesPadRight = 10;
constexpr int ErrImgHeight = 33;
constexpr int BtnPanelHeight = 42;
constexpr int BtnWidth = 75;
constexpr int BtnHeight = 25;
constexpr int BtnTop = 10;

struct KindTexts {
    const char16_t *titleEn;
    const char16_t *titleRu;
    Picture picture;
    unsigned beep;
};

constexpr KindTexts Kinds[6] = {
    {u"Error", u"Ошибка", Picture::Error, 16},
    {u"Notification", u"Сообщение", Picture::Information, 0},
    {u"Confirm", u"Подтверждение", Picture::Exclamation, 48},
    {u"Confirm", u"Подтверждение", Picture::Question, 48},
    {u"Warning", u"Предупреждение", Picture::Exclamation, 48},
    {u"Confirm", u"Подтверждение", Picture::Question, 48},
};

bool validKind(int kind)
{
    return static_cast<unsigned>(kind) <= 5u;
}

QPushButton *makeHiddenButton(QWidget *parent, const char *name, int modalResult, TCustMesBox *box)
{
    QPushButton *b = makeButton(parent, name, QRect(0, BtnTop, BtnWidth, BtnHeight), modalResult, box);
    b->hide();
    return b;
}

} // namespace

TCustMesBox::TCustMesBox(QWidget *owner, const UnicodeString &message)
    : BoxForm(owner, QStringLiteral("CustMesBox"))
{
    setObjectName(QStringLiteral("CustMesBox"));
    mp_panImg = makePanel(this, "mp_panImg", QPalette::Base);
    mp_imgErr = makePicture(mp_panImg, "mp_imgErr", Picture::Error, 36, 33);
    mp_imgExcl = makePicture(mp_panImg, "mp_imgExcl", Picture::Exclamation, 36, 33);
    mp_imgInfo = makePicture(mp_panImg, "mp_imgInfo", Picture::Information, 36, 33);
    mp_imgQuest = makePicture(mp_panImg, "mp_imgQuest", Picture::Question, 36, 41);

    mp_panMes = makePanel(this, "mp_panMes", QPalette::Base);
    auto *label = new WrapLabel(mp_panMes);
    label->setObjectName(QStringLiteral("mp_labMes"));
    mp_labMes = label;

    mp_panBtn = makePanel(this, "mp_panBtn", QPalette::Button);
    mp_bnOk = makeHiddenButton(mp_panBtn, "mp_bnOk", 1, this);
    mp_bnNo = makeHiddenButton(mp_panBtn, "mp_bnNo", 7, this);
    mp_bnEsc = makeHiddenButton(mp_panBtn, "mp_bnEsc", 2, this);
    mp_bnOk->setDefault(true);

    // The outer width is fixed; the client area is what the frame leaves of it.
    const QMargins frame = frameMargins();
    const int clientWidth = BoxOuterWidth - frame.left() - frame.right();
    const int mesWidth = BoxOuterWidth - ImgPanelWidth; // runs under the right frame

    const QString text = message.empty() ? QStringLiteral("No message passed") : toQString(message);
    label->setMessage(text);
    const int labelWidth = mesWidth - MesPadLeft - MesPadRight;
    int labelHeight = label->textHeight(labelWidth);
    if (labelHeight <= ErrImgHeight) {
        labelHeight = ErrImgHeight;
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    } else {
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    label->setGeometry(MesPadLeft, MesPadTop, labelWidth, labelHeight);

    const int mesHeight = labelHeight + 30;
    mp_panMes->setGeometry(ImgPanelWidth, 0, mesWidth, mesHeight);
    mp_panImg->setGeometry(0, 0, ImgPanelWidth, mesHeight);
    mp_panBtn->setGeometry(0, mesHeight + 1, clientWidth, BtnPanelHeight);
    setFixedSize(clientWidth, mesHeight + BtnPanelHeight);

    FRussian = !message.empty() && isRussianLetter(message.front());
}

void TCustMesBox::SetupKind(int kind, bool defaultTitle)
{
    if (!validKind(kind))
        return;
    const KindTexts &k = Kinds[kind];
    if (defaultTitle)
        setWindowTitle(QString::fromUtf16(FRussian ? k.titleRu : k.titleEn));

    QLabel *const pictures[] = {mp_imgErr, mp_imgExcl, mp_imgInfo, mp_imgQuest};
    for (QLabel *p : pictures)
        p->hide();
    QLabel *picture = pictures[static_cast<int>(k.picture)];
    picture->move(MesPadTop, MesPadTop);
    picture->show();

    const QString yes = FRussian ? QStringLiteral("Да") : QStringLiteral("Yes");
    const QString no = FRussian ? QStringLiteral("Нет") : QStringLiteral("No");
    const QString cancel = FRussian ? QStringLiteral("Отмена") : QStringLiteral("Cancel");
    std::vector<std::pair<QPushButton *, QString>> buttons;
    switch (kind) {
    case mkError:
    case mkInfo:
        buttons = {{mp_bnOk, QStringLiteral("OK")}};
        break;
    case mkConfirm:
    case mkQuestion:
        buttons = {{mp_bnOk, yes}, {mp_bnEsc, no}};
        break;
    case mkWarning:
        buttons = {{mp_bnOk, QStringLiteral("OK")}, {mp_bnEsc, cancel}};
        break;
    default:
        buttons = {{mp_bnOk, yes}, {mp_bnNo, no}, {mp_bnEsc, cancel}};
        break;
    }

    const int panel = mp_panBtn->width();
    int left = 0;
    switch (buttons.size()) {
    case 1:
        left = (panel - BtnWidth) / 2;
        break;
    case 2:
        left = (panel - 5 - 2 * BtnWidth) / 2;
        break;
    default:
        left = (panel - 3 * BtnWidth - 10) / 2;
        break;
    }
    for (auto &[button, caption] : buttons) {
        button->move(left, BtnTop);
        button->setText(caption);
        button->show();
        left += BtnWidth + 5;
    }
}

int MesBoxC(int kind, QWidget *parent, const UnicodeString &message, const UnicodeString &caption, int x,
            int y)
{
    TCustMesBox box(nullptr, message);
    placeBox(parent, &box, x, y);
    if (!caption.empty())
        box.setWindowTitle(toQString(caption));
    if (!validKind(kind))
        return 0;
    box.SetupKind(kind, caption.empty());

    int result = 0;
    {
        ArrowCursor arrow;
        beepWithFallback(Kinds[kind].beep);
        result = box.exec();
    }
    switch (kind) {
    case mkConfirm:
    case mkQuestion:
    case mkWarning:
        return result == 1 ? 1 : 0;
    default:
        return result;
    }
}

QPoint GetMesBoxCSize(int, const UnicodeString &message)
{
    TCustMesBox box(nullptr, message);
    const QMargins frame = box.frameMargins();
    return {box.width() + frame.left() + frame.right(), box.height() + frame.top() + frame.bottom()};
}
