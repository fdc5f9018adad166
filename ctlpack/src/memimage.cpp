#include <ctlpack/ctlpack.h>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cstdlib>

// Qt lets a widget draw only inside its paint event, while this control draws on its surface
// at any moment (ShowMem, the band's inverted outlines). FScreen is that surface: every drawing
// goes to it and marks the spot dirty, and the paint event copies it to the window. Any other
// paint (showing, resizing, update() or repaint() of the program, a window above moving away)
// is a repaint of the control: the bitmap and the finished band, for what that paint covers.

namespace {

// A plain pixel copy of r (clipped to both images) at the same place, with nothing of the
// painter's state in the way.
void Blit(QPainter &p, const QImage &from, const QRect &r)
{
    p.save();
    p.resetTransform();
    p.setClipping(false);
    p.setOpacity(1.0);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(r.topLeft(), from, r);
    p.restore();
}

} // namespace

TMemImage::TMemImage(QWidget *parent) : QWidget(parent), FMemCanvas(std::make_unique<QPainter>())
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    FMemBrush = palette().color(QPalette::Button);
    resize(105, 105);
    FitBitmap();
}

QPainter *TMemImage::GetMemCanvas() const
{
    FitBitmap();
    return FMemCanvas.get();
}

QImage TMemImage::GetMemBitmap() const
{
    FitBitmap();
    return FMemBmp.copy();
}

QImage TMemImage::GetScreen() const
{
    FitBitmap();
    return FScreen.copy();
}

TMemImage::~TMemImage()
{
    if (FMemCanvas->isActive())
        FMemCanvas->end();
}

void TMemImage::FitBitmap() const
{
    const QSize sz = size();
    if (FMemBmp.size() == sz && FScreen.size() == sz)
        return;
    QPen pen;
    QBrush brush(Qt::white);
    QFont font = this->font();
    if (FMemCanvas->isActive()) {
        pen = FMemCanvas->pen();
        brush = FMemCanvas->brush();
        font = FMemCanvas->font();
        FMemCanvas->end();
    }
    // The picture stays at the top left; what the growth uncovers gets the last Clear colour.
    auto grown = [&](const QImage &old) {
        if (sz.isEmpty())
            return QImage();
        QImage img(sz, QImage::Format_RGB32);
        img.fill(FMemBrush);
        if (!old.isNull()) {
            QPainter p(&img);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(0, 0, old);
        }
        return img;
    };
    FMemBmp = grown(FMemBmp);
    FScreen = grown(FScreen);
    if (!FMemBmp.isNull() && FMemCanvas->begin(&FMemBmp)) {
        FMemCanvas->setPen(pen);
        FMemCanvas->setBrush(brush);
        FMemCanvas->setFont(font);
    }
}

void TMemImage::Clear(const QColor &color)
{
    FitBitmap();
    FMemBrush = color;
    if (!FMemCanvas->isActive())
        return;
    FMemCanvas->save();
    FMemCanvas->resetTransform();
    FMemCanvas->setClipping(false);
    FMemCanvas->setOpacity(1.0);
    FMemCanvas->setCompositionMode(QPainter::CompositionMode_Source);
    FMemCanvas->fillRect(FMemBmp.rect(), color);
    FMemCanvas->restore();
    FMemCanvas->setBrush(QBrush(color));
}

void TMemImage::ShowDrawn(const QRegion &r)
{
    // Painted at once, so that the paint does not merge with one the program asks for.
    FOwnDrawn += r;
    repaint(r);
}

void TMemImage::BlitToScreen(const QRect &r)
{
    FitBitmap();
    const QRect part = r & FScreen.rect();
    if (part.isEmpty())
        return;
    QPainter p(&FScreen);
    Blit(p, FMemBmp, part);
    ShowDrawn(part);
}

void TMemImage::ShowMem()
{
    ShowMem(rect());
}

void TMemImage::ShowMem(const QRect &r)
{
    FShowing = true;
    BlitToScreen(r);
    FShowing = false;
}

void TMemImage::CopyToMem()
{
    CopyToMem(rect());
}

void TMemImage::CopyToMem(const QRect &r)
{
    FitBitmap();
    const QRect part = r & FMemBmp.rect();
    if (part.isEmpty() || !FMemCanvas->isActive())
        return;
    Blit(*FMemCanvas, FScreen, part);
}

void TMemImage::Paint(const QRegion &clip)
{
    FitBitmap();
    if (FScreen.isNull())
        return;
    FShowing = true;
    {
        QPainter p(&FScreen);
        p.setClipRegion(clip);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(0, 0, FMemBmp);
    }
    FShowing = false;
    if (!GetRBEmpty() && FRBFinal)
        DrawBandOutline(false, FRBDrawColor, clip);
}

void TMemImage::Repaint()
{
    Paint(rect());
    ShowDrawn(rect());
}

void TMemImage::SetDesigning(bool on)
{
    FDesigning = on;
    setAttribute(Qt::WA_OpaquePaintEvent, !on);
    FOwnDrawn = QRegion();
    update();
}

void TMemImage::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    if (FDesigning) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::black, 1, Qt::DashLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
        return;
    }
    const QRegion fresh = event->region() - FOwnDrawn;
    FOwnDrawn -= event->region();
    if (!fresh.isEmpty())
        Paint(fresh);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(event->rect(), FScreen, event->rect());
}

void TMemImage::resizeEvent(QResizeEvent *event)
{
    FitBitmap();
    FOwnDrawn = QRegion();
    QWidget::resizeEvent(event);
    emit resized();
}

void TMemImage::showEvent(QShowEvent *event)
{
    FOwnDrawn = QRegion();
    QWidget::showEvent(event);
}

QRect TMemImage::GetRBRect() const
{
    return QRect(FRBRect.left, FRBRect.top, FRBRect.right - FRBRect.left, FRBRect.bottom - FRBRect.top);
}

QRegion TMemImage::DrawBandOutline(bool invert, const QColor &color, const QRegion &clip)
{
    FitBitmap();
    if (FScreen.isNull())
        return {};
    // A frame FRBPenWidth pixels thick centred on the one-pixel outline through left, top,
    // right - 1 and bottom - 1. Each pixel is drawn once, so inverting twice restores it.
    const int w = FRBPenWidth;
    const int before = (w - 1) / 2;
    const int after = w / 2;
    const QRect outer(QPoint(FRBRect.left - before, FRBRect.top - before),
                      QPoint(FRBRect.right - 1 + after, FRBRect.bottom - 1 + after));
    const QRect inner = outer.adjusted(w, w, -w, -w);
    QRegion frame(outer);
    if (inner.isValid())
        frame -= QRegion(inner);
    frame &= clip & QRegion(FScreen.rect());
    if (frame.isEmpty())
        return {};
    QPainter p(&FScreen);
    p.setCompositionMode(invert ? QPainter::RasterOp_NotSourceXorDestination
                                : QPainter::CompositionMode_Source);
    const QColor opaque(color.red(), color.green(), color.blue());
    for (const QRect &r : frame)
        p.fillRect(r, opaque);
    return frame;
}

void TMemImage::RBDrawTo(int x, int y)
{
    const bool moved = std::abs(FRBOrigin.x() - x) > 4 || std::abs(FRBOrigin.y() - y) > 4;
    if (!moved && GetRBEmpty())
        return;
    x = std::clamp(x, 0, width());
    y = std::clamp(y, 0, height());
    if (!GetRBEmpty())
        ShowDrawn(DrawBandOutline(true, FRBMoveColor, rect()));
    if (moved) {
        FRBRect.left = std::min(FRBOrigin.x(), x);
        FRBRect.right = std::max(FRBOrigin.x(), x);
        FRBRect.top = std::min(FRBOrigin.y(), y);
        FRBRect.bottom = std::max(FRBOrigin.y(), y);
        ShowDrawn(DrawBandOutline(true, FRBMoveColor, rect()));
    } else {
        // Back within reach of the origin: the erased band is gone, as if never dragged, so the
        // next move cannot show a stale rectangle and a release draws nothing.
        FRBRect.left = FRBRect.right = 0;
    }
}

void TMemImage::RBDrawFinally()
{
    if (GetRBEmpty())
        return;
    ShowDrawn(DrawBandOutline(false, FRBDrawColor, rect()));
    FRBFinal = true;
}

void TMemImage::RBDestroy(bool restore)
{
    if (GetRBEmpty())
        return;
    if (restore) {
        const int w = FRBPenWidth;
        BlitToScreen(QRect(FRBRect.left - w, FRBRect.top - w, FRBRect.right - FRBRect.left + 2 * w,
                           FRBRect.bottom - FRBRect.top + 2 * w));
    }
    FRBRect.left = FRBRect.right = 0;
}

void TMemImage::mousePressEvent(QMouseEvent *event)
{
    const QPoint pt = event->position().toPoint();
    emit mouseDown(event->button(), event->modifiers(), pt.x(), pt.y());
    const bool leftAlone =
        event->button() == Qt::LeftButton && event->buttons() == Qt::LeftButton &&
        !(event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier));
    if (!leftAlone || !FRubberBand || FShowing)
        return;
    if (!GetRBEmpty())
        RBDestroy(true);
    FRBDragging = true;
    FRBFinal = false;
    FRBOrigin = pt;
    FRBRect = {pt.x(), pt.y(), pt.x(), pt.y()};
    FRBPenWidth = std::max(1, FRBWidth);
}

void TMemImage::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint pt = event->position().toPoint();
    if (FRBDragging && !FShowing)
        RBDrawTo(pt.x(), pt.y());
    emit mouseMove(event->buttons(), event->modifiers(), pt.x(), pt.y());
}

void TMemImage::mouseReleaseEvent(QMouseEvent *event)
{
    if (FRubberBand) {
        RBDrawFinally();
        FRBDragging = false;
    }
    const QPoint pt = event->position().toPoint();
    emit mouseUp(event->button(), event->modifiers(), pt.x(), pt.y());
}

void TMemImage::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second press of a double click raises the user's events but starts no band.
    const QPoint pt = event->position().toPoint();
    emit mouseDown(event->button(), event->modifiers(), pt.x(), pt.y());
    emit dblClick();
}

void TMemImage::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    emit mouseEnter();
}

void TMemImage::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    emit mouseLeave();
}
