// Draws the program's pictures and icon into a folder (assets/ by default):
//   picture1.png  200 x 181  the main window's picture
//   about.png     386 x 350  the about window's background, with lettering
//   icon.png       32 x 32   the window icon
//   icons/orvane-N.png, icons/orvane.svg
//                            the same icon at the menu's sizes, and scalable
// A rendered head, half skin and half green wire frame, inside a metallic
// ring and wire-frame orbits, on a dark blue ground. Run by hand; the output
// is committed.

#include <QConicalGradient>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QSvgGenerator>
#include <QTextStream>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Half-width of the head at height y (head spans y -0.5 .. 0.5).
double headHalfWidth(double y) {
    if (y <= -0.05) {
        const double t = (y + 0.05) / 0.45;
        return 0.34 * std::sqrt(std::max(0.0, 1.0 - t * t));
    }
    const double t = std::min(1.0, (y + 0.05) / 0.55);
    return 0.34 - 0.21 * std::pow(t, 1.7);
}

QPainterPath headPath() {
    QPainterPath path;
    const int n = 80;
    path.moveTo(0, -0.5);
    for (int i = 0; i <= n; ++i) {
        const double y = -0.5 + i * (1.0 / n);
        path.lineTo(headHalfWidth(y), y);
    }
    path.quadTo(0.06, 0.56, 0, 0.56);
    path.quadTo(-0.06, 0.56, -headHalfWidth(0.5), 0.5);
    for (int i = n; i >= 0; --i) {
        const double y = -0.5 + i * (1.0 / n);
        path.lineTo(-headHalfWidth(y), y);
    }
    path.closeSubpath();
    return path;
}

QPainterPath neckPath() {
    QPainterPath path;
    path.moveTo(-0.15, 0.30);
    path.cubicTo(-0.15, 0.55, -0.2, 0.65, -0.42, 0.78);
    path.lineTo(0.42, 0.78);
    path.cubicTo(0.2, 0.65, 0.15, 0.55, 0.15, 0.30);
    path.closeSubpath();
    return path;
}

void drawBackground(QPainter& p, const QSize& size) {
    QRadialGradient ground(size.width() * 0.5, size.height() * 0.45,
                           std::max(size.width(), size.height()) * 0.75);
    ground.setColorAt(0.0, QColor(38, 52, 110));
    ground.setColorAt(0.55, QColor(20, 26, 62));
    ground.setColorAt(1.0, QColor(14, 17, 36));
    p.fillRect(QRect(QPoint(0, 0), size), ground);

    // Faint stars, the same every run.
    QRandomGenerator rng(20000);
    const int stars = size.width() * size.height() / 600;
    for (int i = 0; i < stars; ++i) {
        const QPointF at(rng.bounded(size.width()), rng.bounded(size.height()));
        const int a = 40 + int(rng.bounded(120));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(170, 190, 255, a));
        p.drawEllipse(at, 0.6, 0.6);
    }
}

void glowLine(QPainter& p, const QPainterPath& path, double width) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(40, 255, 90, 60), width * 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
    p.setPen(QPen(QColor(90, 255, 120, 230), width, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
}

void drawMetalRing(QPainter& p, double radius, double thickness, const QString& lettering) {
    QConicalGradient metal(0, 0, 30);
    metal.setColorAt(0.00, QColor(235, 238, 245));
    metal.setColorAt(0.15, QColor(120, 128, 145));
    metal.setColorAt(0.32, QColor(210, 215, 228));
    metal.setColorAt(0.50, QColor(80, 86, 102));
    metal.setColorAt(0.68, QColor(225, 230, 240));
    metal.setColorAt(0.85, QColor(105, 112, 130));
    metal.setColorAt(1.00, QColor(235, 238, 245));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(metal), thickness));
    p.drawEllipse(QPointF(0, 0), radius, radius);
    // Bevel edges.
    p.setPen(QPen(QColor(255, 255, 255, 110), thickness * 0.08));
    p.drawEllipse(QPointF(0, 0), radius + thickness / 2, radius + thickness / 2);
    p.setPen(QPen(QColor(10, 12, 30, 160), thickness * 0.08));
    p.drawEllipse(QPointF(0, 0), radius - thickness / 2, radius - thickness / 2);

    if (lettering.isEmpty()) return;
    // Letters engraved along the ring, reading clockwise from the top left.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(64);
    const double scale = thickness * 0.62 / 64.0;
    const QFontMetricsF metrics(font);
    const double total = 2 * kPi * radius;
    double angle = -kPi * 0.5 - 0.5 * (metrics.horizontalAdvance(lettering) * scale) / radius;
    for (const QChar c : lettering) {
        const double advance = metrics.horizontalAdvance(c) * scale;
        const double mid = angle + 0.5 * advance / radius;
        p.save();
        p.rotate(mid * 180.0 / kPi + 90.0);
        p.translate(0, -radius);
        p.scale(scale, scale);
        QPainterPath glyph;
        glyph.addText(-metrics.horizontalAdvance(c) / 2, metrics.ascent() * 0.36, font, QString(c));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 120));
        p.drawPath(glyph.translated(0, 2));
        p.setBrush(QColor(28, 34, 60, 230));
        p.drawPath(glyph);
        p.restore();
        angle += advance / radius;
        if (angle > -kPi * 0.5 + 2 * kPi * (total - 1) / total) break;
    }
}

void drawOrbit(QPainter& p, QPointF centre, double rx, double ry, double tilt, bool front,
               double unit) {
    p.save();
    p.translate(centre);
    p.rotate(tilt);
    if (front)
        p.setClipRect(QRectF(-rx * 2, 0, rx * 4, ry * 2));
    else
        p.setClipRect(QRectF(-rx * 2, -ry * 2, rx * 4, ry * 2));
    QPainterPath ring;
    ring.addEllipse(QPointF(0, 0), rx, ry);
    glowLine(p, ring, unit * 1.1);
    // Tick marks around the orbit.
    QPainterPath ticks;
    for (int i = 0; i < 48; ++i) {
        const double a = i * 2 * kPi / 48;
        const double len = (i % 4 == 0) ? 0.06 : 0.03;
        ticks.moveTo(rx * std::cos(a), ry * std::sin(a));
        ticks.lineTo((rx + len) * std::cos(a), (ry + len * ry / rx) * std::sin(a));
    }
    glowLine(p, ticks, unit * 0.7);
    p.restore();
}

void drawSkinHalf(QPainter& p, const QPainterPath& head, const QPainterPath& neck) {
    p.save();
    p.setClipRect(QRectF(-2, -2, 2, 4));
    QRadialGradient skin(-0.16, -0.18, 0.75);
    skin.setColorAt(0.0, QColor(255, 222, 196));
    skin.setColorAt(0.45, QColor(226, 168, 132));
    skin.setColorAt(1.0, QColor(120, 70, 52));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 96, 72));
    p.drawPath(neck);
    p.setBrush(skin);
    p.drawPath(head);
    // Ear.
    p.setBrush(QColor(200, 138, 108));
    p.drawEllipse(QPointF(-0.345, 0.0), 0.045, 0.09);
    // Eyebrow, eye, iris.
    p.setBrush(QColor(92, 58, 40));
    QPainterPath brow;
    brow.moveTo(-0.23, -0.09);
    brow.quadTo(-0.14, -0.14, -0.05, -0.1);
    brow.quadTo(-0.14, -0.115, -0.23, -0.08);
    p.drawPath(brow);
    p.setBrush(QColor(250, 248, 244));
    p.drawEllipse(QPointF(-0.14, -0.03), 0.07, 0.032);
    p.setBrush(QColor(60, 110, 150));
    p.drawEllipse(QPointF(-0.13, -0.03), 0.028, 0.028);
    p.setBrush(QColor(10, 10, 20));
    p.drawEllipse(QPointF(-0.13, -0.03), 0.012, 0.012);
    // Nose side and lips.
    p.setBrush(QColor(150, 92, 70, 150));
    QPainterPath nose;
    nose.moveTo(-0.01, -0.02);
    nose.quadTo(-0.06, 0.1, -0.07, 0.14);
    nose.quadTo(-0.03, 0.17, 0.0, 0.16);
    nose.closeSubpath();
    p.drawPath(nose);
    p.setBrush(QColor(170, 80, 75));
    QPainterPath lips;
    lips.moveTo(0.0, 0.26);
    lips.quadTo(-0.06, 0.235, -0.11, 0.26);
    lips.quadTo(-0.06, 0.30, 0.0, 0.295);
    lips.closeSubpath();
    p.drawPath(lips);
    p.restore();
}

void drawWireHalf(QPainter& p, const QPainterPath& head, const QPainterPath& neck, double unit) {
    p.save();
    p.setClipRect(QRectF(0, -2, 2, 4));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 40, 14, 150));
    p.drawPath(neck);
    p.drawPath(head);

    QPainterPath wire;
    // Latitudes, bowed as seen from a little above.
    for (double y0 = -0.46; y0 < 0.52; y0 += 0.065) {
        const double w = headHalfWidth(y0);
        for (int i = 0; i <= 20; ++i) {
            const double x = w * i / 20.0;
            const double y = y0 + 0.025 * std::sqrt(std::max(0.0, 1 - (x / w) * (x / w)));
            if (i == 0)
                wire.moveTo(x, y);
            else
                wire.lineTo(x, y);
        }
    }
    // Longitudes.
    for (double k = 0.0; k <= 1.001; k += 0.2) {
        for (int i = 0; i <= 60; ++i) {
            const double y = -0.5 + i / 60.0;
            const QPointF at(k * headHalfWidth(y), y);
            if (i == 0)
                wire.moveTo(at);
            else
                wire.lineTo(at);
        }
    }
    // Neck rings.
    for (double y = 0.36; y < 0.78; y += 0.08) {
        const double w = 0.15 + std::pow((y - 0.3) / 0.48, 2.2) * 0.27;
        wire.moveTo(0, y + 0.02);
        wire.quadTo(w * 0.7, y + 0.02, w, y);
    }
    // Eye socket and ear outlines.
    wire.addEllipse(QPointF(0.14, -0.03), 0.07, 0.032);
    wire.addEllipse(QPointF(0.13, -0.03), 0.028, 0.028);
    wire.addEllipse(QPointF(0.345, 0.0), 0.045, 0.09);
    glowLine(p, wire, unit * 0.55);
    glowLine(p, head, unit * 0.9);
    p.restore();
}

void drawScene(QPainter& p, const QSize& size, QPointF centre, double scale,
               const QString& lettering) {
    p.setRenderHint(QPainter::Antialiasing);
    drawBackground(p, size);
    p.save();
    p.translate(centre);
    p.scale(scale, scale);
    const double unit = 1.0 / scale;  // one pixel in scene units

    const QPainterPath head = headPath();
    const QPainterPath neck = neckPath();

    // One orbit wholly behind the head, one around the neck.
    drawOrbit(p, QPointF(0, -0.08), 0.76, 0.15, 22, false, unit);
    drawOrbit(p, QPointF(0, -0.08), 0.76, 0.15, 22, true, unit);
    drawOrbit(p, QPointF(0, 0.4), 0.8, 0.13, -7, false, unit);
    drawMetalRing(p, 0.62, 0.09, lettering);
    // A soft halo behind the head.
    QRadialGradient halo(0, 0, 0.6);
    halo.setColorAt(0, QColor(80, 200, 255, 70));
    halo.setColorAt(1, QColor(80, 200, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(QPointF(0, 0), 0.6, 0.6);

    drawSkinHalf(p, head, neck);
    drawWireHalf(p, head, neck, unit);
    drawOrbit(p, QPointF(0, 0.4), 0.8, 0.13, -7, true, unit);
    p.restore();
}

QImage picture(int w, int h, QPointF centre, double scale, const QString& lettering) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    drawScene(p, image.size(), centre, scale, lettering);
    return image;
}

// A brushed-metal plate, where the about window sets its small texts.
void drawPlate(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient metal(r.topLeft(), r.bottomLeft());
    metal.setColorAt(0.0, QColor(236, 239, 246));
    metal.setColorAt(0.5, QColor(200, 206, 218));
    metal.setColorAt(1.0, QColor(160, 168, 184));
    p.setPen(QPen(QColor(90, 98, 120), 1));
    p.setBrush(metal);
    p.drawRoundedRect(r, 5, 5);
    QRandomGenerator rng(7);
    for (int i = 0; i < int(r.width()) * 2; ++i) {
        const double y = r.top() + 2 + rng.bounded(r.height() - 4);
        const double x = r.left() + 3 + rng.bounded(r.width() - 10);
        p.setPen(QPen(QColor(255, 255, 255, 40 + int(rng.bounded(50))), 0.6));
        p.drawLine(QPointF(x, y), QPointF(x + 4 + rng.bounded(10.0), y));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(110, 116, 134));
    for (const QPointF& at : {r.topLeft() + QPointF(5, 5), r.topRight() + QPointF(-5, 5),
                              r.bottomLeft() + QPointF(5, -5), r.bottomRight() + QPointF(-5, -5)})
        p.drawEllipse(at, 1.6, 1.6);
    p.restore();
}

// A dark inset in a plate, for a text that must read in a light colour.
void drawSmokedGlass(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient glass(r.topLeft(), r.bottomLeft());
    glass.setColorAt(0.0, QColor(4, 5, 9));
    glass.setColorAt(1.0, QColor(10, 11, 17));
    p.setPen(QPen(QColor(70, 76, 96), 1));
    p.setBrush(glass);
    p.drawRoundedRect(r, 4, 4);
    // A faint highlight along the lower edge, as a bevel catches the light.
    p.setPen(QPen(QColor(255, 255, 255, 90), 1));
    p.drawLine(QPointF(r.left() + 4, r.bottom() + 1), QPointF(r.right() - 4, r.bottom() + 1));
    p.restore();
}

// A contact book: a teal cover with a silver spine, a card with a head.
// Drawn on a 32-unit square, scaled to whatever `p` paints on.
void drawIcon(QPainter& p, double size) {
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    QLinearGradient cover(0, 0, 32, 32);
    cover.setColorAt(0, QColor(40, 160, 170));
    cover.setColorAt(1, QColor(16, 80, 100));
    p.setPen(QPen(QColor(8, 40, 52), 1));
    p.setBrush(cover);
    p.drawRoundedRect(QRectF(5.5, 2.5, 24, 27), 3, 3);
    p.setBrush(QColor(200, 206, 220));
    p.setPen(QPen(QColor(70, 76, 96), 0.8));
    for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(2.5, 5.5 + i * 6.2, 6, 3), 1.4, 1.4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(245, 246, 236));
    p.drawRoundedRect(QRectF(11.5, 7, 15, 18), 2, 2);
    p.setBrush(QColor(30, 170, 70));
    p.drawEllipse(QPointF(19, 13), 3.2, 3.6);
    QPainterPath shoulders;
    shoulders.moveTo(13.5, 23.5);
    shoulders.quadTo(14, 17.5, 19, 17.5);
    shoulders.quadTo(24, 17.5, 24.5, 23.5);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
}

QImage icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    drawIcon(p, size);
    return image;
}

bool iconSvg(const QString& file) {
    QSvgGenerator svg;
    svg.setFileName(file);
    svg.setSize(QSize(128, 128));
    svg.setViewBox(QRectF(0, 0, 128, 128));
    svg.setTitle(QStringLiteral("Orvane"));
    QPainter p;
    if (!p.begin(&svg)) return false;
    drawIcon(p, 128);
    return p.end();
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("assets");
    QDir().mkpath(out);
    QTextStream err(stderr);
    bool ok = true;
    ok &= picture(200, 181, QPointF(100, 92), 118, QString()).save(out + "/picture1.png");
    QImage about = picture(386, 350, QPointF(193, 190), 168,
                           QStringLiteral("AGENDA \u00b7 CONTACTOS \u00b7 DIRECCIONES \u00b7 "
                                          "TEL\u00c9FONOS \u00b7 CUMPLEA\u00d1OS \u00b7"));
    {
        // Light plates under the version and the credit lines, so their
        // blue and red read on the dark picture.
        QPainter p(&about);
        drawPlate(p, QRectF(224.5, 50.5, 152, 34));
        drawPlate(p, QRectF(8.5, 306.5, 369, 38));
        // The credit lines are pure red, which no light metal lets read
        // (4:1 at best on white): they sit in a smoked-glass window of the
        // plate, dark enough for 4.5:1 (red on it reads at about 5:1).
        drawSmokedGlass(p, QRectF(12.5, 309.5, 162, 32));
    }
    ok &= about.save(out + "/about.png");
    ok &= icon(32).save(out + "/icon.png");
    // The sizes the desktop's menus and launchers ask for.
    QDir().mkpath(out + "/icons");
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        ok &= icon(size).save(out + QStringLiteral("/icons/orvane-%1.png").arg(size));
    ok &= iconSvg(out + "/icons/orvane.svg");
    if (!ok) {
        err << "orvane-drawassets: could not write to " << out << "\n";
        return 1;
    }
    err << "orvane-drawassets: wrote picture1.png, about.png, icon.png and icons/ in " << out
        << "\n";
    return 0;
}
