#include "export/prism_drawing.h"

#include "export/prism_dimensions.h"
#include "fit/prism_frame.h"
#include "fit/prism_interface.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>
#include <functional>
#include <tuple>

namespace {

QString mm(double value) { return QString::number(value, 'f', 3); }

constexpr int envelopeSamples = 160;

// The silhouette of the solid seen along one axis: the highest entrance and
// lowest exit height over the other axis, at `samples` + 1 positions.
struct Silhouette {
    std::vector<double> along;  // x (front view) or y (side view)
    std::vector<double> top;
    std::vector<double> bottom;
};

Silhouette silhouette(const PrismFit& fit, const ClearAperture& a, bool alongX)
{
    Silhouette s;
    const double reach = alongX ? a.halfWidthX : a.halfWidthY;
    const double across = alongX ? a.halfWidthY : a.halfWidthX;
    for (int k = 0; k <= envelopeSamples; ++k) {
        const double p = reach * (2.0 * k / envelopeSamples - 1.0);
        double top = -1e300, bottom = 1e300;
        for (int l = 0; l <= envelopeSamples; ++l) {
            const double q = across * (2.0 * l / envelopeSamples - 1.0);
            const double x = alongX ? p : q, y = alongX ? q : p;
            top = std::max(top, fit.entrance.surface.height(x, y));
            bottom = std::min(bottom, fit.exit.surface.height(x, y));
        }
        s.along.push_back(p);
        s.top.push_back(top);
        s.bottom.push_back(bottom);
    }
    return s;
}

// The interface's section in a view: along x at y = 0 (front view) or along
// y at x = `at` (side view).
std::vector<QPointF> interfaceSection(const PrismFit& fit, const ClearAperture& a, bool alongX, double at)
{
    std::vector<QPointF> points;
    const PrismSurface& between = fit.interface.fit.surface;
    const double reach = alongX ? a.halfWidthX : a.halfWidthY;
    for (int k = 0; k <= envelopeSamples; ++k) {
        const double p = reach * (2.0 * k / envelopeSamples - 1.0);
        points.emplace_back(p, alongX ? between.height(p, 0.0) : between.height(at, p));
    }
    return points;
}

class Sheet {
public:
    Sheet(QPainter* painter, double dotsPerMm) : p_(painter), k_(dotsPerMm) {}
    // Sheet millimetres to device points.
    QPointF at(double x, double y) const { return {x * k_, y * k_}; }
    double dots(double millimetres) const { return millimetres * k_; }
    void pen(double widthMm, Qt::PenStyle style = Qt::SolidLine, const QColor& colour = Qt::black)
    {
        QPen pen(colour, dots(widthMm), style);
        pen.setCapStyle(Qt::FlatCap);
        p_->setPen(pen);
        p_->setBrush(Qt::NoBrush);
    }
    void line(double x0, double y0, double x1, double y1) { p_->drawLine(at(x0, y0), at(x1, y1)); }
    void text(double x, double y, const QString& t, double sizeMm = 2.5, bool bold = false)
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(std::max(1, static_cast<int>(std::lround(dots(sizeMm)))));
        font.setBold(bold);
        p_->setFont(font);
        p_->drawText(at(x, y), t);
    }
    double textWidth(const QString& t, double sizeMm = 2.5)
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(std::max(1, static_cast<int>(std::lround(dots(sizeMm)))));
        return QFontMetricsF(font, p_->device()).horizontalAdvance(t) / k_;
    }
    // A dimension line from (x0, y0) to (x1, y1) with arrows and its value.
    void dimension(double x0, double y0, double x1, double y1, const QString& value)
    {
        pen(0.18);
        line(x0, y0, x1, y1);
        const double len = std::hypot(x1 - x0, y1 - y0);
        if (len <= 0.0)
            return;
        const double ux = (x1 - x0) / len, uy = (y1 - y0) / len;
        const auto arrow = [&](double x, double y, double dx, double dy) {
            line(x, y, x + 2.0 * dx - 0.7 * dy, y + 2.0 * dy + 0.7 * dx);
            line(x, y, x + 2.0 * dx + 0.7 * dy, y + 2.0 * dy - 0.7 * dx);
        };
        arrow(x0, y0, ux, uy);
        arrow(x1, y1, -ux, -uy);
        const double w = textWidth(value);
        if (std::abs(uy) < 0.5) {
            text(0.5 * (x0 + x1) - 0.5 * w, 0.5 * (y0 + y1) - 1.0, value);
        } else {
            p_->save();
            p_->translate(at(0.5 * (x0 + x1) - 1.0, 0.5 * (y0 + y1) + 0.5 * w));
            p_->rotate(-90.0);
            QFont font(QStringLiteral("DejaVu Sans"));
            font.setPixelSize(std::max(1, static_cast<int>(std::lround(dots(2.5)))));
            p_->setFont(font);
            p_->drawText(QPointF(0, 0), value);
            p_->restore();
        }
    }
    void polyline(const std::vector<QPointF>& sheetPoints)
    {
        QPainterPath path;
        for (std::size_t k = 0; k < sheetPoints.size(); ++k) {
            const QPointF d = at(sheetPoints[k].x(), sheetPoints[k].y());
            if (k == 0)
                path.moveTo(d);
            else
                path.lineTo(d);
        }
        p_->drawPath(path);
    }
    void rect(double x, double y, double w, double h) { p_->drawRect(QRectF(at(x, y), at(x + w, y + h))); }

private:
    QPainter* p_;
    double k_;
};

// One view: model coordinates (a, b) -> sheet (cx + s a, cy - s b).
struct View {
    double cx, cy, scale;
    double x(double a) const { return cx + scale * a; }
    double y(double b) const { return cy - scale * b; }
};

void drawSilhouette(Sheet& sheet, const View& v, const Silhouette& s, double reach)
{
    sheet.pen(0.35);
    std::vector<QPointF> outline;
    for (std::size_t k = 0; k < s.along.size(); ++k)
        outline.emplace_back(v.x(s.along[k]), v.y(s.top[k]));
    for (std::size_t k = s.along.size(); k-- > 0;)
        outline.emplace_back(v.x(s.along[k]), v.y(s.bottom[k]));
    outline.push_back(outline.front());
    sheet.polyline(outline);
    (void)reach;
}

}  // namespace

QStringList prismDrawingLines(const PrismFileContent& content)
{
    const PrismDimensions d = prismDimensions(content.fit);
    const PrismFrame frame = prismFrameOf(content.panel, content.fit);
    const auto& c = d.cornerThickness;
    QStringList lines;
    lines << QStringLiteral("overall x * y * z: %1 * %2 * %3 mm").arg(mm(d.width()), mm(d.depth()), mm(d.height()))
          << QStringLiteral("extent: x %1 .. %2, y %3 .. %4, z %5 .. %6 mm")
                 .arg(mm(-d.solid.halfWidthX), mm(d.solid.halfWidthX), mm(-d.solid.halfWidthY),
                      mm(d.solid.halfWidthY), mm(d.zMin), mm(d.zMax))
          << QStringLiteral("thickness at the centre (x = 0, y = 0): %1 mm").arg(mm(d.centreThickness))
          << QStringLiteral("thickness at the corner (-X, -Y): %1 mm").arg(mm(c[0]))
          << QStringLiteral("thickness at the corner (X, -Y): %1 mm").arg(mm(c[1]))
          << QStringLiteral("thickness at the corner (X, Y): %1 mm").arg(mm(c[2]))
          << QStringLiteral("thickness at the corner (-X, Y): %1 mm").arg(mm(c[3]))
          << QStringLiteral("smallest thickness: %1 mm").arg(mm(d.minThickness))
          << QStringLiteral("clear aperture, entrance: |x| <= %1, |y| <= %2 mm")
                 .arg(mm(d.entrance.halfWidthX), mm(d.entrance.halfWidthY))
          << QStringLiteral("clear aperture, exit: |x| <= %1, |y| <= %2 mm").arg(mm(d.exit.halfWidthX), mm(d.exit.halfWidthY))
          << QStringLiteral("datum A: side face y = -Y; datum B: side face x = -X; datum C: base plane z = 0");
    const PrismInterface& cemented = content.fit.interface;
    if (!cemented.present) {
        lines << QStringLiteral("material: custom, refractive index n = %1 (as designed)")
                     .arg(QString::number(static_cast<double>(content.panel.refractiveIndex), 'g', 6));
    } else {
        // Each glass's thickness along z over the footprint; the halves are
        // mirror images, so the left half's figures hold for both.
        const GlassThickness t = cementedGlassThickness(content.fit)[0];
        lines << QStringLiteral("material: two glasses cemented along the interface, indices at %1 nm")
                     .arg(QString::number(cemented.designWavelengthNm, 'f', 2))
              << QStringLiteral("crown (top, entrance to interface): %1, n = %2, thickness %3 .. %4 mm")
                     .arg(cemented.crown, QString::number(cemented.crownIndex, 'f', 5), mm(t.crownMinMm),
                          mm(t.crownMaxMm))
              << QStringLiteral("flint (bottom, interface to exit): %1, n = %2, thickness %3 .. %4 mm")
                     .arg(cemented.flint, QString::number(cemented.flintIndex, 'f', 5), mm(t.flintMinMm),
                          mm(t.flintMaxMm))
              << QStringLiteral("interface at the centre (x = 0, y = 0): z = %1 mm; crown %2, flint %3 mm there")
                     .arg(mm(cemented.fit.surface.height(0.0, 0.0)),
                          mm(content.fit.entrance.surface.height(0.0, 0.0) - cemented.fit.surface.height(0.0, 0.0)),
                          mm(cemented.fit.surface.height(0.0, 0.0) - content.fit.exit.surface.height(0.0, 0.0)))
              << QStringLiteral("interface (cemented, between the glasses): %1, %2")
                     .arg(QString::fromLatin1(interfaceLeftGridSagFileName),
                          QString::fromLatin1(interfaceRightGridSagFileName));
    }
    lines << QStringLiteral("entrance surface (top, towards the camera): %1, %2")
                 .arg(QString::fromLatin1(entranceLeftGridSagFileName), QString::fromLatin1(entranceRightGridSagFileName))
          << QStringLiteral("exit surface (bottom, towards the scene): %1, %2")
                 .arg(QString::fromLatin1(exitLeftGridSagFileName), QString::fromLatin1(exitRightGridSagFileName))
          << QStringLiteral("solid: %1; surfaces: %2; frame: %3; fit: %4 (order %5)")
                 .arg(QString::fromLatin1(prismStepFileName), QString::fromLatin1(surfacesStepFileName),
                      QString::fromLatin1(frameFileName), QString::fromLatin1(prismFileName))
                 .arg(content.fit.order)
          << QStringLiteral("camera: pinhole at (0, 0, %1) mm, image plane z = %2 mm, optical axis the z axis")
                 .arg(QString::number(frame.pinholeZ, 'g', 10), QString::number(frame.imagePlaneZ, 'g', 10))
          << QStringLiteral("the halves meet at x = 0; right half = mirror image of the left (x -> -x)");
    return lines;
}

bool prismDrawingPdf(const PrismFileContent& content, QByteArray* pdf, QString* error)
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        *error = QStringLiteral("the drawing needs fonts, which this program has not set up");
        return false;
    }
    const PrismDimensions d = prismDimensions(content.fit);
    if (!(d.solid.halfWidthX > 0.0) || !(d.solid.halfWidthY > 0.0) || !(d.height() > 0.0)
        || !std::isfinite(d.height())) {
        *error = QStringLiteral("the prism has no extent to draw");
        return false;
    }
    QBuffer buffer(pdf);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setTitle(QStringLiteral("Harvenlotek prism"));
    writer.setCreator(QStringLiteral("harvenlotek"));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageOrientation(QPageLayout::Landscape);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
    writer.setResolution(600);
    QPainter painter;
    if (!painter.begin(&writer)) {
        *error = QStringLiteral("cannot start the PDF drawing");
        return false;
    }
    Sheet sheet(&painter, 600.0 / 25.4);
    const double X = d.solid.halfWidthX, Y = d.solid.halfWidthY;
    // One scale for the three views: the front view (2X wide) and the side
    // view (2Y wide) side by side within 150 mm, the top view (2Y tall) above
    // the front view (the height tall), within 190 mm of the sheet's height.
    const double gap = 22.0;
    const double scale = std::min(128.0 / (2.0 * X + 2.0 * Y), 108.0 / (2.0 * Y + d.height()));
    const double frontLeft = 28.0;
    const double topTop = 42.0;
    const View top{frontLeft + scale * X, topTop + scale * Y, scale};
    const double frontTop = topTop + 2.0 * Y * scale + gap + 4.0;
    const View front{frontLeft + scale * X, frontTop + scale * d.zMax, scale};
    const View side{frontLeft + 2.0 * X * scale + gap + scale * Y, front.cy, scale};

    sheet.pen(0.5);
    sheet.rect(8, 8, 281, 194);
    const PrismInterface& cemented = content.fit.interface;
    sheet.text(12, 16,
               cemented.present
                   ? QStringLiteral("Harvenlotek prism, two freeform surfaces and a cemented interface, %1 on %2 "
                                    "(exact: prism.step), mm")
                         .arg(cemented.crown, cemented.flint)
                   : QStringLiteral("Harvenlotek prism, two freeform surfaces (exact: prism.step), mm"),
               4.0, true);
    sheet.text(12, 22.5,
               QStringLiteral("top view: dashed the entrance clear aperture, dotted the exit clear aperture, "
                              "dash-dot x = 0 (the halves meet) and y = 0"),
               2.2);
    sheet.text(12, 200, QStringLiteral("third-angle projection, scale %1 : 1").arg(QString::number(scale, 'g', 4)), 2.5);

    // Top view: footprint, the centre line where the halves meet, apertures.
    sheet.pen(0.35);
    sheet.rect(top.x(-X), top.y(Y), 2.0 * X * scale, 2.0 * Y * scale);
    sheet.pen(0.18, Qt::DashDotLine);
    sheet.line(top.x(0), top.y(Y) - 3, top.x(0), top.y(-Y) + 3);
    sheet.line(top.x(-X) - 3, top.y(0), top.x(X) + 3, top.y(0));
    sheet.pen(0.18, Qt::DashLine, Qt::darkBlue);
    sheet.rect(top.x(-d.entrance.halfWidthX), top.y(d.entrance.halfWidthY), 2.0 * d.entrance.halfWidthX * scale,
               2.0 * d.entrance.halfWidthY * scale);
    sheet.pen(0.18, Qt::DotLine, Qt::darkRed);
    sheet.rect(top.x(-d.exit.halfWidthX), top.y(d.exit.halfWidthY), 2.0 * d.exit.halfWidthX * scale,
               2.0 * d.exit.halfWidthY * scale);
    sheet.pen(0.18);
    sheet.text(top.x(X) - sheet.textWidth(QStringLiteral("top view (from the camera, along -z)")), top.y(-Y) + 10,
               QStringLiteral("top view (from the camera, along -z)"), 2.5, true);
    sheet.dimension(top.x(-X), top.y(Y) - 6, top.x(X), top.y(Y) - 6, mm(d.width()));
    sheet.dimension(top.x(-X) - 8, top.y(-Y), top.x(-X) - 8, top.y(Y), mm(d.depth()));
    sheet.pen(0.18);
    sheet.text(top.x(-X) - 4, top.y(-Y) + 4, QStringLiteral("B"), 3.0, true);
    sheet.text(top.x(0) - 1, top.y(-Y) + 5, QStringLiteral("A"), 3.0, true);

    // Front view (along +y) and side view (along -x, from x = +X).
    drawSilhouette(sheet, front, silhouette(content.fit, d.solid, true), X);
    drawSilhouette(sheet, side, silhouette(content.fit, d.solid, false), Y);
    sheet.pen(0.18, Qt::DashDotLine);
    sheet.line(front.x(0), front.y(d.zMax) - 3, front.x(0), front.y(d.zMin) + 3);
    sheet.line(side.x(0), side.y(d.zMax) - 3, side.x(0), side.y(d.zMin) + 3);
    sheet.pen(0.18);
    sheet.text(front.x(-X), front.y(d.zMin) + 12, QStringLiteral("front view (along +y)"), 2.5, true);
    sheet.text(side.x(-Y), side.y(d.zMin) + 12, QStringLiteral("side view (along -x)"), 2.5, true);
    sheet.dimension(front.x(X) + 6, front.y(d.zMin), front.x(X) + 6, front.y(d.zMax), mm(d.height()));
    sheet.dimension(front.x(0) + 3, front.y(content.fit.exit.surface.height(0, 0)), front.x(0) + 3,
                    front.y(content.fit.entrance.surface.height(0, 0)), mm(d.centreThickness));
    sheet.dimension(side.x(-Y) - 6, side.y(content.fit.exit.surface.height(X, -Y)), side.x(-Y) - 6,
                    side.y(content.fit.entrance.surface.height(X, -Y)), mm(d.cornerThickness[1]));
    sheet.text(front.x(-X) - 5, front.y(0.5 * (d.zMin + d.zMax)), QStringLiteral("B"), 3.0, true);
    sheet.text(side.x(-Y) - 14, side.y(0.5 * (d.zMin + d.zMax)), QStringLiteral("A"), 3.0, true);
    sheet.text(front.x(-X), front.y(d.zMin) + 5,
               QStringLiteral("lowest point z = %1 above datum C (z = 0)").arg(mm(d.zMin)), 2.2);
    if (cemented.present) {
        // The interface's sections: the front view's at y = 0, the side
        // view's at x = X / 2; each glass named where it lies, its thickness
        // at y = 0 dimensioned (the crown's at x = -X / 2, the flint's at
        // x = -0.8 X).
        const double sideAt = 0.5 * X;
        sheet.pen(0.3, Qt::SolidLine, Qt::darkGreen);
        for (const auto& [view, alongX, at] : {std::tuple<const View*, bool, double>{&front, true, 0.0},
                                               std::tuple<const View*, bool, double>{&side, false, sideAt}}) {
            std::vector<QPointF> section;
            for (const QPointF& p : interfaceSection(content.fit, d.solid, alongX, at))
                section.emplace_back(view->x(p.x()), view->y(p.y()));
            sheet.polyline(section);
        }
        // Each glass's thickness at its own x, so that the values stay apart.
        const double xc = -0.5 * X, xf = -0.8 * X;
        const double crownTop = content.fit.entrance.surface.height(xc, 0.0);
        const double crownLow = cemented.fit.surface.height(xc, 0.0);
        const double flintTop = cemented.fit.surface.height(xf, 0.0);
        const double flintLow = content.fit.exit.surface.height(xf, 0.0);
        sheet.dimension(front.x(xc), front.y(crownLow), front.x(xc), front.y(crownTop), mm(crownTop - crownLow));
        sheet.dimension(front.x(xf), front.y(flintLow), front.x(xf), front.y(flintTop), mm(flintTop - flintLow));
        sheet.pen(0.18, Qt::SolidLine, Qt::darkGreen);
        sheet.text(front.x(xc) + 4, front.y(0.5 * (crownTop + crownLow)) + 1,
                   QStringLiteral("crown %1").arg(cemented.crown), 2.2);
        sheet.text(front.x(xf) + 2, front.y(0.5 * (flintTop + flintLow)) + 1,
                   QStringLiteral("flint %1").arg(cemented.flint), 2.2);
        sheet.text(front.x(-X), front.y(d.zMin) + 8,
                   QStringLiteral("green: the interface, front view section y = 0, side view section x = %1")
                       .arg(mm(sideAt)),
                   2.2);
    }

    // The table.
    sheet.pen(0.18);
    const double tableLeft = 183.0;
    double y = 30.0;
    sheet.text(tableLeft, y, QStringLiteral("dimensions and notes (mm)"), 3.0, true);
    for (const QString& line : prismDrawingLines(content)) {
        y += 5.2;
        QString rest = line;
        // Long lines wrap at a blank before 58 characters.
        while (rest.size() > 58) {
            int cut = rest.lastIndexOf(QLatin1Char(' '), 58);
            if (cut <= 0)
                cut = 58;
            sheet.text(tableLeft, y, rest.left(cut), 2.2);
            rest = QStringLiteral("    ") + rest.mid(cut + 1);
            y += 3.6;
        }
        sheet.text(tableLeft, y, rest, 2.2);
    }
    painter.end();
    buffer.close();
    return true;
}

ExportMaker prismDrawingMaker()
{
    return [](const PrismFileContent& content, ExportMade* made, QString* error) {
        QByteArray pdf;
        if (!prismDrawingPdf(content, &pdf, error))
            return false;
        made->files.push_back({QString::fromLatin1(prismDrawingFileName), pdf.toStdString()});
        made->notes << QStringLiteral("drawing: %1").arg(prismDrawingLines(content).first());
        return true;
    };
}
