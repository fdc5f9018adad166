// ctlpack: the suite's visual controls.
//
//   TSEdit      a line edit that only lets through what fits its kind
//   TMSpinEdit  an integer spin box that refuses impossible characters and snaps to its step
//   TMemImage   a picture control backed by an off-screen bitmap, with a rubber band
//
// The published properties are Qt properties, so forms and the designer set them by name.
#pragma once

#include <corekit/types.h>

#include <QColor>
#include <QImage>
#include <QLineEdit>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QSpinBox>
#include <QWidget>

#include <cstdint>
#include <memory>

class QPainter;

#if defined(CTLPACK_BUILDING)
#define CTLPACK_EXPORT Q_DECL_EXPORT
#else
#define CTLPACK_EXPORT Q_DECL_IMPORT
#endif

/// What a TSEdit accepts. Stored as a byte in form files.
enum TEditKind : std::uint8_t { ekCmn = 0, ekFileName, ekUInt, ekInt, ekUFloat, ekFloat };

/// Single-line edit box that filters typed characters by its kind, checks pasted text as a
/// whole, restores the text it had on receiving the focus when Esc is pressed, drops a lone sign
/// or separator when the focus leaves, and reads its text as a number.
class CTLPACK_EXPORT TSEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(EditKindProp EditKind READ EditKindValue WRITE SetEditKindValue)
    Q_PROPERTY(bool Escape READ Escape WRITE SetEscape)
    Q_PROPERTY(bool DecimalPoint READ IsDecimalSepDot WRITE SetDotAsDecimalSep)

public:
    /// TEditKind as Qt sees it, so the designer offers the kinds by name.
    enum EditKindProp {
        ekCmn = ::ekCmn,
        ekFileName = ::ekFileName,
        ekUInt = ::ekUInt,
        ekInt = ::ekInt,
        ekUFloat = ::ekUFloat,
        ekFloat = ::ekFloat
    };
    Q_ENUM(EditKindProp)

    explicit TSEdit(QWidget *parent = nullptr);

    TEditKind EditKind() const { return FEditKind; }
    void SetEditKind(TEditKind kind) { FEditKind = kind; }
    bool Escape() const { return FEscape; }
    void SetEscape(bool on) { FEscape = on; }

    /// The separator typed into the box is "." (true) or "," (false).
    bool IsDecimalSepDot() const { return FDecimalSep == u'.'; }
    void SetDotAsDecimalSep(bool dot) { FDecimalSep = dot ? u'.' : u','; }

    /// The whole text is valid for the kind.
    bool ValidText() const;
    /// Whole-text check of the file-name kind: none of \ / : * ? " < > | and no control
    /// characters, the rule typing follows too. The empty text is valid.
    bool ValidFileName() const;

    /// Character filters of the kinds. IValid may delete the selection (a typed character
    /// replaces it), so it is not const.
    bool FNValid(char16_t ch) const;
    bool UIValid(char16_t ch) const;
    bool UFValid(char16_t ch) const;
    bool IValid(char16_t ch);
    bool FValid(char16_t ch) const;

    /// Readers. Integers use the string layer's conversion, decimals the locale's separator.
    /// Text that does not convert throws EConvertError.
    int GetAsInteger() const;
    std::uint32_t GetAsUInt() const;
    long long GetAsInt64() const;
    float GetAsFloat() const;
    double GetAsDouble() const;
    bool IsEditEmpty() const { return text().isEmpty(); }

    /// The text saved when the box last received the focus.
    QString EnterText() const { return FEnterText; }

    EditKindProp EditKindValue() const { return static_cast<EditKindProp>(FEditKind); }
    void SetEditKindValue(EditKindProp kind) { FEditKind = static_cast<TEditKind>(kind); }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    bool TextAllowed(const QString &typed, int replaceStart, int replaceLength);
    bool PasteChecked(bool fromSelection = false);
    bool ConvertsToDouble(double *value) const;

    TEditKind FEditKind = ::ekCmn;
    bool FEscape = true;
    char16_t FDecimalSep = u'.';
    QString FEnterText;
    bool FFocusParked = false; // the focus left with its window, so its return is no entering
};

/// Integer spin box that refuses ".", ",", "+" (and "-" when negative values are impossible),
/// and snaps a typed value to the grid of its step. With EditorInc the value is snapped when the
/// box takes what was typed (Enter, the focus leaving, a step), not at every keystroke, so that
/// values of several digits can be typed and no value off the grid is ever announced.
class CTLPACK_EXPORT TMSpinEdit : public QSpinBox {
    Q_OBJECT
    Q_PROPERTY(bool EditorInc READ EditorInc WRITE SetEditorInc)
    Q_PROPERTY(bool EditorEnabled READ EditorEnabled WRITE SetEditorEnabled)
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Increment READ Increment WRITE SetIncrement)
    Q_PROPERTY(int Value READ Value WRITE SetValue)

public:
    explicit TMSpinEdit(QWidget *parent = nullptr);

    bool EditorInc() const { return FEditorInc; }
    void SetEditorInc(bool on) { FEditorInc = on; }
    /// The user may type into the box; the buttons and arrow keys work either way.
    bool EditorEnabled() const;
    void SetEditorEnabled(bool on);

    int MinValue() const { return minimum(); }
    void SetMinValue(int v) { setMinimum(v); }
    int MaxValue() const { return maximum(); }
    void SetMaxValue(int v) { setMaximum(v); }
    int Increment() const { return singleStep(); }
    void SetIncrement(int v) { setSingleStep(v); }
    int Value() const { return value(); }
    void SetValue(int v) { setValue(v); }

    /// The largest grid value MinValue + k * Increment not above v (toward MinValue below it).
    /// With an Increment below 1 there is no grid and v is returned.
    int Snap(int v) const;

    /// Steps from the typed value, or the value, and lands on the grid with EditorInc.
    void stepBy(int steps) override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    /// With EditorInc, typed text off the step grid is kept but not taken until fixup snaps it.
    QValidator::State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;

private:
    bool SnapsTyping() const;
    bool TypedNumber(const QString &input, int *value) const;

    bool FEditorInc = false;
};

/// Picture control that keeps its content in an off-screen bitmap of its own size. The
/// application draws on the bitmap through GetMemCanvas() and shows it with ShowMem(); repaints
/// come from the bitmap. With RubberBand on, the left button drags a rectangle, drawn by
/// inversion while dragging and in RBDrawColor once released.
class CTLPACK_EXPORT TMemImage : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool RubberBand READ RubberBand WRITE SetRubberBand)
    Q_PROPERTY(QColor RBMoveColor READ RBMoveColor WRITE SetRBMoveColor)
    Q_PROPERTY(QColor RBDrawColor READ RBDrawColor WRITE SetRBDrawColor)
    Q_PROPERTY(int RBWidth READ RBWidth WRITE SetRBWidth)

public:
    explicit TMemImage(QWidget *parent = nullptr);
    ~TMemImage() override;

    bool RubberBand() const { return FRubberBand; }
    void SetRubberBand(bool on) { FRubberBand = on; }
    QColor RBMoveColor() const { return FRBMoveColor; }
    void SetRBMoveColor(const QColor &c) { FRBMoveColor = c; }
    QColor RBDrawColor() const { return FRBDrawColor; }
    void SetRBDrawColor(const QColor &c) { FRBDrawColor = c; }
    int RBWidth() const { return FRBWidth; }
    void SetRBWidth(int w) { FRBWidth = w < 0 ? 0 : w; }

    /// The painter of the bitmap, which has the control's size. It stays active for the control's
    /// life (across resizes, with its pen, brush and font), so drawing needs no begin or end. A
    /// hidden control learns of new bounds only here and in the other methods: take the canvas
    /// again after changing its size.
    QPainter *GetMemCanvas() const;
    /// A copy of the bitmap, for reading.
    QImage GetMemBitmap() const;
    /// A copy of what the control shows.
    QImage GetScreen() const;

    /// Fills the whole bitmap with the colour, which the canvas brush keeps; the screen is untouched.
    void Clear(const QColor &color);
    /// Copies the bitmap (or its part r) to the same place on the screen.
    void ShowMem();
    void ShowMem(const QRect &r);
    /// Copies what the control shows (or its part r) into the bitmap.
    void CopyToMem();
    void CopyToMem(const QRect &r);

    /// Moves the dragged band's free corner to (x, y).
    void RBDrawTo(int x, int y);
    /// Draws the band for good in RBDrawColor.
    void RBDrawFinally();
    /// Removes the band; with restore the screen under its outline comes back from the bitmap.
    void RBDestroy(bool restore);
    bool GetRBEmpty() const { return FRBRect.right == FRBRect.left; }
    /// The band as left, top, right, bottom in control pixels (right and bottom exclusive).
    QRect GetRBRect() const;

    /// Redraws the control from the bitmap and the finished band, now. Qt's own update() and
    /// repaint() do the same for what they cover.
    void Repaint();

    /// Designer forms show the control as a dashed outline only.
    void SetDesigning(bool on);
    bool Designing() const { return FDesigning; }

Q_SIGNALS:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void mouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);
    void mouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void dblClick();
    void mouseEnter();
    void mouseLeave();
    void resized();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    struct TRect {
        int left = 0, top = 0, right = 0, bottom = 0;
    };

    void Paint(const QRegion &clip);
    void FitBitmap() const;
    QRegion DrawBandOutline(bool invert, const QColor &color, const QRegion &clip);
    void BlitToScreen(const QRect &r);
    void ShowDrawn(const QRegion &r);

    bool FRubberBand = false;
    QColor FRBMoveColor{Qt::black};
    QColor FRBDrawColor{Qt::black};
    int FRBWidth = 1;

    // Both images follow the control's size when they are next used: Qt tells a hidden widget
    // nothing of its new bounds until it is shown.
    mutable QImage FMemBmp; // declared before its painter, which ends first
    std::unique_ptr<QPainter> FMemCanvas;
    mutable QImage FScreen; // the control's surface between repaints
    QRegion FOwnDrawn;      // drawn on the surface by the control, not yet painted
    QColor FMemBrush;       // fills what a growing bitmap uncovers
    bool FShowing = false;
    bool FRBDragging = false;
    bool FRBFinal = false;
    bool FDesigning = false;
    QPoint FRBOrigin;
    TRect FRBRect;
    int FRBPenWidth = 1; // the band's pen, fixed when the band starts
};
