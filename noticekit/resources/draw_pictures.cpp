// Draws the four message-box pictures (32 x 32, transparent) into the current folder.
// Run once when the pictures change; the PNGs are committed and compiled in as resources:
//   g++ -std=c++20 -fPIC -I../src draw_pictures.cpp $(pkg-config --cflags --libs Qt6Gui) -o draw_pictures
//   QT_QPA_PLATFORM=offscreen ./draw_pictures
#include "pixelfont.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <functional>

static void picture(const QString &file, const std::function<void(QPainter &)> &draw)
{
    QImage img(32, 32, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    img.save(file);
}

static void glyph(QPainter &p, const QString &text, const QColor &colour, const QRectF &box, int px)
{
    QFont f = noticekit::detail::pixelFont(QStringLiteral("DejaVu Sans"), px);
    f.setBold(true);
    p.setFont(f);
    p.setPen(colour);
    p.drawText(box, Qt::AlignCenter, text);
}

static void disc(QPainter &p, const QColor &light, const QColor &dark)
{
    QRadialGradient g(QPointF(12, 10), 20);
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    p.setPen(QPen(dark.darker(130), 1));
    p.setBrush(g);
    p.drawEllipse(QRectF(1.5, 1.5, 29, 29));
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    picture(QStringLiteral("error.png"), [](QPainter &p) {
        disc(p, QColor(255, 110, 100), QColor(200, 20, 20));
        p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10.5, 10.5), QPointF(21.5, 21.5));
        p.drawLine(QPointF(21.5, 10.5), QPointF(10.5, 21.5));
    });
    picture(QStringLiteral("exclamation.png"), [](QPainter &p) {
        QPainterPath tri;
        tri.moveTo(16, 2);
        tri.lineTo(30.5, 29);
        tri.lineTo(1.5, 29);
        tri.closeSubpath();
        QLinearGradient g(0, 2, 0, 29);
        g.setColorAt(0, QColor(255, 230, 90));
        g.setColorAt(1, QColor(235, 170, 0));
        p.setPen(QPen(QColor(150, 100, 0), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(g);
        p.drawPath(tri);
        glyph(p, QStringLiteral("!"), Qt::black, QRectF(0, 8, 32, 22), 19);
    });
    // Information and question share the blue disc and differ in their sign.
    for (const auto &[file, sign] : {std::pair{"information.png", "i"}, std::pair{"question.png", "?"}}) {
        picture(QString::fromLatin1(file), [sign = sign](QPainter &p) {
            disc(p, QColor(120, 180, 255), QColor(20, 80, 190));
            glyph(p, QString::fromLatin1(sign), Qt::white, QRectF(0, 0, 32, 32), 21);
        });
    }
    return 0;
}
