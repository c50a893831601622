#include "tolerance_plots/tolerance_plots.h"

#include "tolerance_plots/plot_canvas.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace tolerance {

namespace {

constexpr int width = 900;
constexpr int height = 520;
const QRect frame(80, 50, 720, 400);  // the plot area

QByteArray histogram(const std::vector<double>& sorted, int figure, double criterion, std::int64_t trials)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p;
    startPlot(&image, &p, 14,
              QStringLiteral("%1: %2 of %3 trials calibrated").arg(figureName(figure)).arg(sorted.size()).arg(trials));
    p.setPen(QColor(60, 60, 60));
    p.drawRect(frame);
    if (sorted.empty()) {
        p.drawText(frame, Qt::AlignCenter, QStringLiteral("no trial calibrated"));
        p.end();
        return png(image);
    }
    const double top = std::max(sorted.back(), criterion) * 1.05;
    const double high = top > 0.0 ? top : 1.0;
    constexpr int bins = 40;
    std::vector<int> counts(bins, 0);
    for (double v : sorted)
        ++counts[std::size_t(std::min(bins - 1, int(v / high * bins)))];
    const int most = *std::max_element(counts.begin(), counts.end());
    const double binWidth = double(frame.width()) / bins;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 120, 190));
    for (int b = 0; b < bins; ++b) {
        const double h = double(counts[std::size_t(b)]) / most * frame.height();
        p.drawRect(QRectF(frame.left() + b * binWidth + 1, frame.bottom() - h, binWidth - 2, h));
    }
    // Cumulative share of the trials that calibrated, 0..1 on the right axis.
    QPainterPath curve;
    curve.moveTo(frame.left(), frame.bottom());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const double x = frame.left() + sorted[i] / high * frame.width();
        curve.lineTo(x, frame.bottom() - double(i) / sorted.size() * frame.height());
        curve.lineTo(x, frame.bottom() - double(i + 1) / sorted.size() * frame.height());
    }
    curve.lineTo(frame.right(), frame.top());
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(230, 120, 20), 2));
    p.drawPath(curve);
    const double cx = frame.left() + criterion / high * frame.width();
    p.setPen(QPen(QColor(200, 30, 30), 2, Qt::DashLine));
    p.drawLine(QPointF(cx, frame.top()), QPointF(cx, frame.bottom()));
    p.drawText(QPointF(cx + 4, frame.top() + 16), QStringLiteral("criterion %1").arg(number(criterion)));
    p.setPen(Qt::black);
    for (int t = 0; t <= 5; ++t) {
        const double x = frame.left() + t / 5.0 * frame.width();
        p.drawLine(QPointF(x, frame.bottom()), QPointF(x, frame.bottom() + 5));
        p.drawText(QRectF(x - 40, frame.bottom() + 6, 80, 18), Qt::AlignCenter, number(high * t / 5.0));
        const double y = frame.bottom() - t / 5.0 * frame.height();
        p.drawText(QRectF(frame.right() + 6, y - 9, 60, 18), Qt::AlignLeft | Qt::AlignVCenter, number(t / 5.0));
    }
    p.drawText(QRectF(0, frame.top() - 4, frame.left() - 6, 18), Qt::AlignRight, QString::number(most));
    p.drawText(QRectF(0, frame.bottom() - 14, frame.left() - 6, 18), Qt::AlignRight, QStringLiteral("0"));
    p.save();
    p.translate(20, frame.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-100, -10, 200, 20), Qt::AlignCenter, QStringLiteral("trials per bin"));
    p.restore();
    p.save();
    p.translate(width - 18, frame.center().y());
    p.rotate(90);
    p.setPen(QColor(230, 120, 20));
    p.drawText(QRectF(-100, -10, 200, 20), Qt::AlignCenter, QStringLiteral("cumulative share"));
    p.restore();
    p.drawText(QRect(0, frame.bottom() + 28, width, 20), Qt::AlignCenter,
               QStringLiteral("|%1|   p50 %2   p90 %3   p99 %4")
                   .arg(figureName(figure))
                   .arg(number(percentile(sorted, 50)), number(percentile(sorted, 90)), number(percentile(sorted, 99))));
    p.end();
    return png(image);
}

QByteArray sensitivityBars(const std::vector<SensitivityRow>& rows)
{
    const int rowHeight = 30;
    const QRect area(420, 50, 380, rowHeight * int(rows.size()));
    QImage image(width, area.bottom() + 60, QImage::Format_RGB32);
    QPainter p;
    startPlot(&image, &p, 13,
              QStringLiteral("each tolerance alone at its limit: change of the figure it moves most / its criterion"));
    double top = 1.0;
    for (const SensitivityRow& r : rows)
        if (std::isfinite(r.ofCriterion))
            top = std::max(top, r.ofCriterion);
    top *= 1.05;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SensitivityRow& r = rows[i];
        const int y = area.top() + int(i) * rowHeight;
        p.setPen(Qt::black);
        const QString label = QStringLiteral("%1 %2 -> %3")
                                  .arg(toleranceName(r.kind))
                                  .arg(number(r.limit))
                                  .arg(r.figure >= 0 ? figureName(r.figure) : "failed");
        p.drawText(QRect(0, y, area.left() - 8, rowHeight), Qt::AlignRight | Qt::AlignVCenter, label);
        const double value = std::isfinite(r.ofCriterion) ? r.ofCriterion : top;
        const double w = value / top * area.width();
        p.setPen(Qt::NoPen);
        p.setBrush(!std::isfinite(r.ofCriterion) ? QColor(150, 0, 150)
                   : r.ofCriterion >= 1.0        ? QColor(200, 50, 40)
                                                 : QColor(70, 120, 190));
        p.drawRect(QRectF(area.left(), y + 5, w, rowHeight - 10));
        p.setPen(Qt::black);
        p.drawText(QRectF(area.left() + w + 4, y, 90, rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   std::isfinite(r.ofCriterion) ? number(r.ofCriterion) : QStringLiteral("failed"));
    }
    const double one = area.left() + 1.0 / top * area.width();
    p.setPen(QPen(QColor(200, 30, 30), 2, Qt::DashLine));
    p.drawLine(QPointF(one, area.top()), QPointF(one, area.bottom()));
    p.drawText(QRectF(one - 150, area.bottom() + 6, 146, 20), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("1 = criterion"));
    p.end();
    return png(image);
}

}  // namespace

QList<QPair<QString, QByteArray>> tolerancePlots(const std::vector<TrialFigures>& figures, const PassCriteria& criteria,
                                                 const std::vector<SensitivityRow>* rows)
{
    QList<QPair<QString, QByteArray>> out;
    for (int k = 0; k < figureCount; ++k)
        out.append({QStringLiteral("tolerance_%1.png").arg(figureName(k)),
                    histogram(figureValues(figures, k), k, figureCriterion(criteria, k),
                              std::int64_t(figures.size()))});
    if (rows && !rows->empty())
        out.append({QStringLiteral("tolerance_sensitivity.png"), sensitivityBars(*rows)});
    return out;
}

}  // namespace tolerance
