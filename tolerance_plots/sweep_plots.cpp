#include "tolerance_plots/sweep_plots.h"

#include "tolerance_plots/plot_canvas.h"

#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolerance {

namespace {

constexpr int width = 900;
constexpr int height = 620;
const QRect frame(90, 50, 640, 480);  // the plot area
const QColor failedColour(200, 0, 200);

// A figure's scale: logarithmic where its values span more than a factor 10.
struct Scale {
    double low = 0.0, high = 1.0;
    bool logarithmic = false;
    double at(double v) const  // 0..1
    {
        const double t = logarithmic ? (std::log10(v) - std::log10(low)) / (std::log10(high) - std::log10(low))
                                     : (v - low) / (high - low);
        return std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0);
    }
    double value(double t) const
    {
        return logarithmic ? std::pow(10.0, std::log10(low) + t * (std::log10(high) - std::log10(low)))
                           : low + t * (high - low);
    }
};

Scale scaleOf(const std::vector<double>& values)
{
    Scale s;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (double v : values)
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    if (!(lo <= hi))
        return s;
    s.logarithmic = lo > 0.0 && hi / lo > 10.0;
    if (s.logarithmic) {
        s.low = lo;
        s.high = hi;
    } else {
        const double pad = hi > lo ? 0.05 * (hi - lo) : std::max(std::fabs(hi) * 0.05, 1e-12);
        // Figures that are magnitudes stay on their side of zero.
        s.low = lo >= 0.0 ? std::max(0.0, lo - pad) : lo - pad;
        s.high = hi + pad;
    }
    return s;
}

// Viridis-like ramp, t = 0 dark blue to t = 1 yellow.
QColor ramp(double t)
{
    static const int stops[5][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    const double x = std::clamp(t, 0.0, 1.0) * 4.0;
    const int i = std::min(3, int(x));
    const double f = x - i;
    return QColor(int(stops[i][0] + f * (stops[i + 1][0] - stops[i][0])),
                  int(stops[i][1] + f * (stops[i + 1][1] - stops[i][1])),
                  int(stops[i][2] + f * (stops[i + 1][2] - stops[i][2])));
}

QString axisTitle(const SweepAxis& axis) { return QLatin1String(sweepQuantityName(axis.quantity)); }

// How failed points are marked, when there are any.
QString failedNote(const std::vector<SweepRow>& rows, const char* mark)
{
    int failed = 0;
    for (const SweepRow& r : rows)
        failed += r.figures.status != PointStatus::Ok;
    return failed ? QStringLiteral("; %1 failed (%2)").arg(failed).arg(QLatin1String(mark)) : QString();
}

QString bestText(const SweepIdentity& identity, const std::vector<SweepRow>& rows, int figure)
{
    const int best = bestSweepPoint(rows, figure);
    if (best < 0)
        return QStringLiteral("no point ran");
    const SweepRow& r = rows[std::size_t(best)];
    QStringList at;
    for (std::size_t a = 0; a < identity.axes.size(); ++a)
        at << QStringLiteral("%1 %2").arg(axisTitle(identity.axes[a]), number(r.values[a]));
    return QStringLiteral("%1 %2 at %3").arg(sweepFigureLargerIsBetter(figure) ? "largest" : "best",
                                             number(r.figures.value[std::size_t(figure)]), at.join(QStringLiteral(", ")));
}

void drawTicksX(QPainter& p, const SweepAxis& axis, const QRect& area, double cellWidth, bool centred)
{
    const int step = std::max(1, int(std::ceil(60.0 / std::max(1.0, cellWidth))));
    for (int i = 0; i < axis.count; i += step) {
        const double x = centred ? area.left() + (i + 0.5) * cellWidth
                                 : area.left() + (axis.count > 1 ? double(i) / (axis.count - 1) : 0.5) * area.width();
        p.drawLine(QPointF(x, area.bottom()), QPointF(x, area.bottom() + 5));
        p.drawText(QRectF(x - 40, area.bottom() + 6, 80, 18), Qt::AlignCenter, number(axis.value(i)));
    }
    p.drawText(QRect(area.left(), area.bottom() + 26, area.width(), 20), Qt::AlignCenter, axisTitle(axis));
}

// Over axis `a` alone (the others hold one value each, so the rows run along it).
QByteArray linePlot(const SweepIdentity& identity, const std::vector<SweepRow>& rows, int figure, std::size_t a)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p;
    const SweepAxis& axis = identity.axes[a];
    startPlot(&image, &p, 14, QStringLiteral("%1 against %2").arg(sweepFigureName(figure), axisTitle(axis)));
    p.setPen(QColor(60, 60, 60));
    p.drawRect(frame);
    std::vector<double> values;
    for (const SweepRow& r : rows)
        values.push_back(r.figures.status == PointStatus::Ok ? r.figures.value[std::size_t(figure)]
                                                             : std::numeric_limits<double>::quiet_NaN());
    const Scale scale = scaleOf(values);
    auto xOf = [&](std::size_t i) {
        return frame.left() + (rows.size() > 1 ? double(i) / double(rows.size() - 1) : 0.5) * frame.width();
    };
    auto yOf = [&](double v) { return frame.bottom() - scale.at(v) * frame.height(); };
    QPainterPath line;
    bool open = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!std::isfinite(values[i])) {
            open = false;
            continue;
        }
        if (open)
            line.lineTo(xOf(i), yOf(values[i]));
        else
            line.moveTo(xOf(i), yOf(values[i]));
        open = true;
    }
    p.setPen(QPen(QColor(70, 120, 190), 2));
    p.drawPath(line);
    p.setBrush(QColor(70, 120, 190));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (std::isfinite(values[i])) {
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(xOf(i), yOf(values[i])), 3.5, 3.5);
        } else {
            p.setPen(QPen(failedColour, 2));
            const QPointF c(xOf(i), frame.bottom() - 8);
            p.drawLine(c + QPointF(-5, -5), c + QPointF(5, 5));
            p.drawLine(c + QPointF(-5, 5), c + QPointF(5, -5));
        }
    }
    const int best = bestSweepPoint(rows, figure);
    if (best >= 0) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(200, 30, 30), 2));
        p.drawEllipse(QPointF(xOf(std::size_t(best)), yOf(values[std::size_t(best)])), 9, 9);
    }
    p.setPen(Qt::black);
    drawTicksX(p, axis, frame, frame.width() / std::max(1.0, double(rows.size() - 1)), false);
    for (int t = 0; t <= 5; ++t) {
        const double y = frame.bottom() - t / 5.0 * frame.height();
        p.drawLine(QPointF(frame.left() - 5, y), QPointF(frame.left(), y));
        p.drawText(QRectF(0, y - 9, frame.left() - 8, 18), Qt::AlignRight | Qt::AlignVCenter,
                   number(scale.value(t / 5.0)));
    }
    p.save();
    p.translate(16, frame.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-150, -10, 300, 20), Qt::AlignCenter,
               QLatin1String(sweepFigureName(figure)) + (scale.logarithmic ? QStringLiteral(" (log)") : QString()));
    p.restore();
    p.drawText(QRect(0, frame.bottom() + 50, width, 20), Qt::AlignCenter,
               bestText(identity, rows, figure) + (scale.logarithmic ? QStringLiteral("; log scale") : QString())
                   + failedNote(rows, "magenta x"));
    p.end();
    return png(image);
}

// Over axes `a` (across) and `b` (up).
QByteArray heatMap(const SweepIdentity& identity, const std::vector<SweepRow>& rows, int figure, std::size_t a,
                   std::size_t b, bool others)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p;
    const SweepAxis& ax = identity.axes[a];
    const SweepAxis& ay = identity.axes[b];
    QString title = QStringLiteral("%1 over %2 and %3").arg(sweepFigureName(figure), axisTitle(ax), axisTitle(ay));
    if (others)
        title += QStringLiteral(" (best over the other quantities)");
    startPlot(&image, &p, 14, title);
    // Each cell: the best of its points.
    const bool larger = sweepFigureLargerIsBetter(figure);
    std::vector<double> cell(std::size_t(ax.count * ay.count), std::numeric_limits<double>::quiet_NaN());
    for (const SweepRow& r : rows) {
        const double v = r.figures.value[std::size_t(figure)];
        if (r.figures.status != PointStatus::Ok || !std::isfinite(v))
            continue;
        const std::vector<int> at = identity.indices(r.index);
        double& c = cell[std::size_t(at[a] * ay.count + at[b])];
        if (!std::isfinite(c) || (larger ? v > c : v < c))
            c = v;
    }
    const Scale scale = scaleOf(cell);
    const double cw = double(frame.width()) / ax.count;
    const double ch = double(frame.height()) / ay.count;
    QFont small = p.font();
    small.setPixelSize(11);
    for (int i = 0; i < ax.count; ++i)
        for (int j = 0; j < ay.count; ++j) {
            const double v = cell[std::size_t(i * ay.count + j)];
            const QRectF r(frame.left() + i * cw, frame.bottom() - (j + 1) * ch, cw, ch);
            // Smaller errors dark, larger bright; the baseline the other way round.
            const double t = scale.at(v);
            p.fillRect(r, std::isfinite(v) ? ramp(larger ? 1.0 - t : t) : failedColour);
            if (cw >= 44 && ch >= 16) {
                p.setFont(small);
                p.setPen(std::isfinite(v) && (larger ? 1.0 - t : t) > 0.6 ? Qt::black : Qt::white);
                p.drawText(r, Qt::AlignCenter, std::isfinite(v) ? number(v) : QStringLiteral("failed"));
            }
        }
    const int best = bestSweepPoint(rows, figure);
    if (best >= 0) {
        const std::vector<int> at = identity.indices(rows[std::size_t(best)].index);
        p.setPen(QPen(QColor(230, 30, 30), 3));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(frame.left() + at[a] * cw + 1.5, frame.bottom() - (at[b] + 1) * ch + 1.5, cw - 3, ch - 3));
    }
    QFont normal = small;
    normal.setPixelSize(14);
    p.setFont(normal);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(Qt::NoBrush);
    p.drawRect(frame);
    p.setPen(Qt::black);
    drawTicksX(p, ax, frame, cw, true);
    const int stepY = std::max(1, int(std::ceil(24.0 / ch)));
    for (int j = 0; j < ay.count; j += stepY) {
        const double y = frame.bottom() - (j + 0.5) * ch;
        p.drawLine(QPointF(frame.left() - 5, y), QPointF(frame.left(), y));
        p.drawText(QRectF(0, y - 9, frame.left() - 8, 18), Qt::AlignRight | Qt::AlignVCenter, number(ay.value(j)));
    }
    p.save();
    p.translate(16, frame.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-150, -10, 300, 20), Qt::AlignCenter, axisTitle(ay));
    p.restore();
    // The colour bar.
    const QRect bar(frame.right() + 30, frame.top(), 22, frame.height());
    for (int y = 0; y < bar.height(); ++y) {
        const double t = 1.0 - double(y) / bar.height();
        p.setPen(ramp(larger ? 1.0 - t : t));
        p.drawLine(bar.left(), bar.top() + y, bar.right(), bar.top() + y);
    }
    p.setPen(Qt::black);
    p.drawRect(bar);
    for (int t = 0; t <= 5; ++t) {
        const double y = bar.bottom() - t / 5.0 * bar.height();
        p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 4, y));
        p.drawText(QRectF(bar.right() + 6, y - 9, 110, 18), Qt::AlignLeft | Qt::AlignVCenter,
                   number(scale.value(t / 5.0)));
    }
    p.drawText(QRect(0, frame.bottom() + 50, width, 20), Qt::AlignCenter,
               bestText(identity, rows, figure) + (scale.logarithmic ? QStringLiteral("; log colour scale") : QString())
                   + failedNote(rows, "magenta"));
    p.end();
    return png(image);
}

}  // namespace

QList<QPair<QString, QByteArray>> sweepPlots(const SweepIdentity& identity, const std::vector<SweepRow>& rows)
{
    QList<QPair<QString, QByteArray>> out;
    // The quantities that vary; a single point has no plot.
    std::vector<std::size_t> varying;
    for (std::size_t a = 0; a < identity.axes.size(); ++a)
        if (identity.axes[a].count > 1)
            varying.push_back(a);
    if (varying.empty() || rows.size() != std::size_t(identity.points()))
        return out;
    for (int k = 0; k < sweepFigureCount; ++k)
        out.append({QStringLiteral("sweep_%1.png").arg(sweepFigureName(k)),
                    varying.size() == 1 ? linePlot(identity, rows, k, varying[0])
                                        : heatMap(identity, rows, k, varying[0], varying[1], varying.size() > 2)});
    return out;
}

}  // namespace tolerance
