#pragma once

// What the plots of the studies share: PNG bytes of an image, a number as a
// tick label, and a white canvas with its title.

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QString>

namespace tolerance {

QByteArray png(const QImage& image);
QString number(double v);  // four significant digits
// Fills the image white, begins the painter on it (antialiased, font of
// `fontPixels`) and writes the title at the top.
void startPlot(QImage* image, QPainter* p, int fontPixels, const QString& title);

}  // namespace tolerance
