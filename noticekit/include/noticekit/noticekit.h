// noticekit: the suite's modal message boxes.
//
// MesBoxC shows a box of one of six kinds with English or Russian texts; CMesBoxOpt and
// CMesBoxCheck add a " Don't show this again" check box; CMesBoxAuto closes by itself. Every
// call creates its own box, shows it modally on the GUI thread and destroys it before it
// returns. Window handles are QWidget pointers; a null parent centres the box on the screen.
#pragma once

#include <corekit/corekit.h>
#include <corekit/windows.h>

#include <QDialog>
#include <QPoint>
#include <QString>

#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;

/// Box kinds of MesBoxC.
inline constexpr int mkError = 0;
inline constexpr int mkInfo = 1;
inline constexpr int mkConfirm = 2;
inline constexpr int mkQuestion = 3;
inline constexpr int mkWarning = 4;
inline constexpr int mkYesNoCancel = 5;

/// Shows a box of the given kind and waits until it is closed. The message's first character
/// picks Russian or English titles and buttons; an empty caption keeps the kind's title. With a
/// parent, x and y offset the box from the parent's top-left corner (W_Centre centres it on
/// that axis); without one the box is centred on the screen. Returns, by kind: 0, 1 and 5 the
/// modal result (1 OK or Yes, 7 No, 2 Cancel or closed from the title bar); 2, 3 and 4 1 for
/// Yes or OK, 0 otherwise. A kind outside 0 to 5 shows nothing and returns 0.
int MesBoxC(int kind, QWidget *parent, const UnicodeString &message, const UnicodeString &caption, int x,
            int y);

/// Outer size of the box MesBoxC shows for message: x = width (always 340), y = height. The
/// kind does not change it.
QPoint GetMesBoxCSize(int kind, const UnicodeString &message);

/// Notification (kind 1) or warning (kind 4, with Cancel) with the " Don't show this again"
/// check box; hide receives its state however the box was closed. Returns true for OK. Any
/// other kind gives the simple beep and false, shows nothing and leaves hide alone.
bool CMesBoxOpt(int kind, QWidget *parent, const UnicodeString &message, bool &hide, int x, int y);

/// OK/Cancel box titled caption, with the picture of kind (1 information, 3 question,
/// 4 exclamation, any other none). With check true on entry the check box is shown and check
/// receives its state; with false there is none and check stays false. Returns true for OK.
bool CMesBoxCheck(QWidget *parent, int kind, bool &check, const UnicodeString &message,
                  const UnicodeString &caption, int x, int y);

/// Box with one OK button that closes by itself seconds after it first became active (0 or
/// less: only OK or the close box end it). Text beyond the box's fixed size is cut off.
void CMesBoxAuto(QWidget *parent, int seconds, const UnicodeString &message, const UnicodeString &caption,
                 bool error, int x, int y);

namespace noticekit {

/// Sound type of the plain beep, as opposed to the typed sounds 0, 16 and 48.
inline constexpr unsigned SimpleBeep = 0xFFFFFFFFu;

/// Test-only. Called with every box of this library once it is shown and its modal loop runs,
/// so that tests (also the programs' tests) can answer it with clicks, keys or close() instead
/// of blocking. An empty function removes the hook. Not for production code.
void setShowHook(std::function<void(QDialog *box)> hook);

/// Test-only. Replaces the platform beep: receives every sound type (SimpleBeep for the plain
/// beep) and returns whether it sounded. An empty function restores the platform beep.
void setBeepHook(std::function<bool(unsigned soundType)> hook);

namespace detail {

/// What the three box forms share: the tool-window frame with only the close box, always on
/// top, the box font, Esc doing nothing, the close box giving modal result 2, and the show hook.
class BoxForm : public QDialog {
    Q_OBJECT
public:
    BoxForm(QWidget *owner, const QString &designTitle);

    /// Frame widths around the client area as the platform reports them.
    QMargins frameMargins();

public slots:
    /// Closing from the title bar ends the box with modal result 2.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
};

} // namespace detail
} // namespace noticekit

/// The box of MesBoxC and GetMesBoxCSize, laid out for its message when created.
class TCustMesBox : public noticekit::detail::BoxForm {
    Q_OBJECT
public:
    TCustMesBox(QWidget *owner, const UnicodeString &message);

    /// Title (when defaultTitle), picture, buttons and their captions for kind 0 to 5.
    void SetupKind(int kind, bool defaultTitle);
    bool Russian() const { return FRussian; }

    QWidget *mp_panImg;
    QLabel *mp_imgErr;
    QLabel *mp_imgExcl;
    QLabel *mp_imgInfo;
    QLabel *mp_imgQuest;
    QWidget *mp_panMes;
    QLabel *mp_labMes;
    QWidget *mp_panBtn;
    QPushButton *mp_bnOk;
    QPushButton *mp_bnNo;
    QPushButton *mp_bnEsc;

private:
    bool FRussian = false;
};

/// The box of CMesBoxOpt and CMesBoxCheck.
class TCheckMesBox : public noticekit::detail::BoxForm {
    Q_OBJECT
public:
    explicit TCheckMesBox(QWidget *owner = nullptr);

    /// One button (OK) or two (OK and Cancel).
    void SetTwoButtons(bool two);
    bool TwoButtons() const { return FTwoButtons; }
    /// Shows the check box row or hides it, making the window lower or higher by its height.
    void SetCheckVisible(bool visible);
    /// Sizes the window for message and gives it to the label.
    void FitText(const UnicodeString &message);

    QWidget *p_panBtn;
    QPushButton *p_bnOk;
    QPushButton *p_bnEsc;
    QWidget *p_panCheck;
    QCheckBox *p_cbxHide;
    QWidget *p_panTop;
    QWidget *p_panImg;
    QLabel *p_imgExcl;
    QLabel *p_imgQuest;
    QLabel *p_imgInfo;
    QWidget *p_panMes;
    QLabel *p_labMes;

public slots:
    /// Centres the check box and the buttons; runs whenever the box is shown.
    void FormShow();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void relayout();
    bool FTwoButtons = true;
};

/// The self-closing box of CMesBoxAuto.
class TAMesBoxDlg : public noticekit::detail::BoxForm {
    Q_OBJECT
public:
    explicit TAMesBoxDlg(QWidget *owner = nullptr);

    QWidget *mp_panBtn;
    QPushButton *mp_bnOk;
    QWidget *mp_panImg;
    QLabel *p_imgErr;
    QLabel *p_imgInfo;
    QWidget *mp_panMes;
    QLabel *mp_labMes;
    QTimer *p_tmClose;

public slots:
    /// Starts the closing timer unless it runs already, so the time counts from the first
    /// activation.
    void FormActivate();
    /// Stops the timer and closes the box as its close box would.
    void p_tmCloseTimer();

protected:
    bool event(QEvent *event) override;
};
