#include "verify_map/verify_map.h"

#include "io/atomic_file_set.h"

#include <QBuffer>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace verify {

namespace {

// Viridis at 0, 0.1, .., 1.
constexpr int viridis[11][3] = {{68, 1, 84},    {72, 36, 117},  {65, 68, 135},  {53, 95, 141},
                                {42, 120, 142}, {33, 145, 140}, {34, 168, 132}, {68, 191, 112},
                                {122, 209, 81}, {189, 223, 38}, {253, 231, 37}};
const QColor lostColour(230, 0, 200);
const QColor background(255, 255, 255);

constexpr int panelWidth = 576;   // sensor 1920 x 1080 at 0.3
constexpr int panelHeight = 324;
constexpr int leftMargin = 70;
constexpr int barGap = 12;
constexpr int barWidth = 16;
constexpr int barLabels = 70;
constexpr int panelGap = 40;
constexpr int titleHeight = 56;
constexpr int bottomMargin = 46;
constexpr int cellWidth = leftMargin + panelWidth + barGap + barWidth + barLabels + panelGap;
constexpr int rowHeight = titleHeight + panelHeight + bottomMargin;

struct Panel {
    QString name;
    QString unit;
    int metric;  // 0 direction, 1 pinhole, 2 reprojection at the first depth
};

double metricOf(const PixelResult& p, int metric)
{
    if (metric == 0)
        return p.errors.directionPx;
    if (metric == 1)
        return p.errors.pinholeMm;
    return p.errors.reprojectionPx.empty() ? std::nan("") : p.errors.reprojectionPx.front();
}

QString tickText(double value)
{
    return QString::number(value, 'g', 3);
}

// One sampled pixel of a panel: its value, or lost.
struct MapSample {
    Pixel pixel;
    double value = 0.0;
    bool lost = false;
};

std::vector<MapSample> samplesOf(const VerifyResult& result, int metric)
{
    std::vector<MapSample> samples;
    samples.reserve(result.pixels.size());
    for (const PixelResult& p : result.pixels) {
        const double v = metricOf(p, metric);
        samples.push_back({p.pixel, v, (p.flags & rayFailureFlags) || !std::isfinite(v)});
    }
    return samples;
}

void drawPanel(QPainter& painter, const QRect& area, const std::vector<MapSample>& samples, int step,
               const QString& label)
{
    // Sampled rows and columns in order, one image pixel per sample.
    std::map<int, int> rows;
    std::map<int, int> columns;
    for (const MapSample& p : samples) {
        if (p.pixel.row != centralRow || step == 1)
            columns.emplace(p.pixel.column, 0);
        rows.emplace(p.pixel.row, 0);
    }
    int index = 0;
    for (auto& r : rows)
        r.second = index++;
    index = 0;
    for (auto& c : columns)
        c.second = index++;
    QImage image(std::max<int>(1, int(columns.size())), std::max<int>(1, int(rows.size())), QImage::Format_RGB32);
    image.fill(background);
    // The scale ends at the 99th percentile, so that a few extreme pixels do
    // not flatten the rest; larger values take the top colour.
    std::vector<double> values;
    for (const MapSample& p : samples)
        if (!p.lost)
            values.push_back(p.value);
    double top = 0.0;
    double largest = 0.0;
    if (!values.empty()) {
        const std::size_t rank = std::size_t(std::ceil(0.99 * double(values.size()))) - 1;
        std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
        top = values[rank];
        largest = *std::max_element(values.begin(), values.end());
    }
    if (!(top > 0.0))
        top = largest > 0.0 ? largest : 1.0;
    for (const MapSample& p : samples) {
        const auto c = columns.find(p.pixel.column);
        if (c == columns.end())
            continue;
        const int y = int(rows.size()) - 1 - rows[p.pixel.row];  // +y upwards
        image.setPixel(c->second, y, p.lost ? lostColour.rgb() : viridisColour(p.value / top));
    }
    painter.drawImage(area, image);
    painter.setPen(Qt::black);
    painter.drawRect(area.adjusted(0, 0, -1, -1));
    // The split between the halves.
    painter.setPen(QPen(QColor(255, 255, 255, 160), 1, Qt::DashLine));
    painter.drawLine(area.center().x(), area.top(), area.center().x(), area.bottom());

    // Axes in sensor pixels.
    painter.setPen(Qt::black);
    const QFontMetrics fm = painter.fontMetrics();
    for (int column : {0, 480, 960, 1440, 1919}) {
        const int x = area.left() + int(std::lround(double(column) / (sensorColumns - 1) * (area.width() - 1)));
        painter.drawLine(x, area.bottom(), x, area.bottom() + 4);
        const QString t = QString::number(column);
        painter.drawText(x - fm.horizontalAdvance(t) / 2, area.bottom() + 5 + fm.ascent(), t);
    }
    painter.drawText(area.left() + area.width() / 2 - fm.horizontalAdvance(QStringLiteral("x (px)")) / 2,
                     area.bottom() + 8 + fm.height() + fm.ascent(), QStringLiteral("x (px)"));
    for (int row : {0, 270, 540, 810, 1079}) {
        const int y = area.bottom() - int(std::lround(double(row) / (sensorRows - 1) * (area.height() - 1)));
        painter.drawLine(area.left() - 4, y, area.left(), y);
        const QString t = QString::number(row);
        painter.drawText(area.left() - 6 - fm.horizontalAdvance(t), y + fm.ascent() / 2 - 1, t);
    }
    painter.save();
    painter.translate(area.left() - 44, area.top() + area.height() / 2);
    painter.rotate(-90);
    painter.drawText(-fm.horizontalAdvance(QStringLiteral("y (px)")) / 2, 0, QStringLiteral("y (px)"));
    painter.restore();
    painter.drawText(area.left(), area.top() - 6, label);

    // Scale bar.
    const QRect bar(area.right() + barGap, area.top(), barWidth, area.height());
    for (int y = 0; y < bar.height(); ++y) {
        painter.setPen(QColor(viridisColour(1.0 - double(y) / (bar.height() - 1))));
        painter.drawLine(bar.left(), bar.top() + y, bar.right(), bar.top() + y);
    }
    painter.setPen(Qt::black);
    painter.drawRect(bar.adjusted(0, 0, -1, -1));
    for (int k = 0; k <= 4; ++k) {
        const int y = bar.bottom() - k * (bar.height() - 1) / 4;
        painter.drawLine(bar.right(), y, bar.right() + 4, y);
        const QString text = (k == 4 && largest > top ? QStringLiteral(">= ") : QString()) + tickText(top * k / 4);
        painter.drawText(bar.right() + 7, y + fm.ascent() / 2 - 1, text);
    }
    if (largest > top)
        painter.drawText(bar.left(), bar.top() - 12, QStringLiteral("max %1").arg(tickText(largest)));
    const QRect swatch(bar.left() + 6, bar.bottom() + 22, barWidth, 10);
    painter.fillRect(swatch, lostColour);
    painter.drawText(swatch.right() + 5, swatch.bottom(), QStringLiteral("lost"));
}

}  // namespace

QRgb viridisColour(double t)
{
    if (!(t >= 0.0))
        t = 0.0;
    t = std::min(t, 1.0) * 10.0;
    const int i = std::min(9, int(std::floor(t)));
    const double f = t - i;
    int rgb[3];
    for (int c = 0; c < 3; ++c)
        rgb[c] = int(std::lround(viridis[i][c] + f * (viridis[i + 1][c] - viridis[i][c])));
    return qRgb(rgb[0], rgb[1], rgb[2]);
}

QImage renderVerificationMap(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results)
{
    const int count = int(std::min(sources.size(), results.size()));
    QImage image(3 * cellWidth + 20, std::max(1, count) * rowHeight + 10, QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = painter.font();
    font.setPixelSize(13);
    painter.setFont(font);
    for (int i = 0; i < count; ++i) {
        const VerifyResult& r = results[std::size_t(i)];
        const VerifySource& s = sources[std::size_t(i)];
        const int top = i * rowHeight + 10;
        QFont titleFont = font;
        titleFont.setPixelSize(16);
        titleFont.setBold(true);
        painter.setFont(titleFont);
        painter.setPen(Qt::black);
        const QString source = s.order < 0 ? QStringLiteral("design surfaces")
                                           : QStringLiteral("fitted surfaces, order %1").arg(s.order);
        painter.drawText(leftMargin, top + 18,
                         QStringLiteral("%1: stereo error per pixel (every %2th pixel; left and right half side by side)")
                             .arg(source)
                             .arg(r.step));
        painter.setFont(font);
        const QString depth = r.depths.empty() ? QString() : QString::number(r.depths.front());
        const QString labels[3] = {QStringLiteral("direction error (px)"),
                                   QStringLiteral("distance from the virtual pinhole (mm)"),
                                   QStringLiteral("reprojection error at %1 mm (px)").arg(depth)};
        for (int m = 0; m < 3; ++m) {
            const QRect area(m * cellWidth + leftMargin, top + titleHeight, panelWidth, panelHeight);
            drawPanel(painter, area, samplesOf(r, m), r.step, labels[m]);
        }
    }
    painter.end();
    return image;
}

bool writeVerificationMap(const QString& path, const std::vector<VerifySource>& sources,
                          const std::vector<VerifyResult>& results, QString* error)
{
    const QImage image = renderVerificationMap(sources, results);
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) {
        *error = QStringLiteral("the map %1 could not be drawn").arg(path);
        return false;
    }
    return writeFileAtomically(path, png.constData(), std::size_t(png.size()), error);
}

QImage renderLateralColourMap(const LateralColour& colour)
{
    QImage image(2 * cellWidth + 20, rowHeight + 10, QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = painter.font();
    font.setPixelSize(13);
    QFont titleFont = font;
    titleFont.setPixelSize(16);
    titleFont.setBold(true);
    painter.setFont(titleFont);
    painter.setPen(Qt::black);
    painter.drawText(leftMargin, 28,
                     QStringLiteral("lateral colour, %1: image displacement between %2 and %3 nm (every %4th pixel)")
                         .arg(colour.band, QString::number(colour.shortNm, 'g', 6),
                              QString::number(colour.longNm, 'g', 6))
                         .arg(colour.step));
    painter.setFont(font);
    std::vector<MapSample> whole, rest;
    for (const ColourPixel& p : colour.pixels) {
        const HalfLateralColour& h = colour.halves[p.pixel.column < centralColumn ? 0 : 1];
        whole.push_back({p.pixel, std::hypot(p.dxPx, p.dyPx), !p.traced});
        rest.push_back({p.pixel, std::hypot(p.dxPx - h.meanXPx, p.dyPx - h.meanYPx), !p.traced});
    }
    drawPanel(painter, QRect(leftMargin, titleHeight + 10, panelWidth, panelHeight), whole, colour.step,
              QStringLiteral("displacement (px)"));
    drawPanel(painter, QRect(cellWidth + leftMargin, titleHeight + 10, panelWidth, panelHeight), rest, colour.step,
              QStringLiteral("after each half's mean shift (px)"));
    painter.end();
    return image;
}

}  // namespace verify
