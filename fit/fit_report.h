#pragma once

#include <QByteArray>
#include <QString>

// The fit report "result_para_fit.txt" of an order from 3 to 8 (any other is
// written as order 3), from the k1 surface-1 coefficients followed by Res1
// and the k2 surface-2 coefficients followed by Res2. Its two full-width
// colons are the GBK bytes 0xA3 0xBA; every line ends in a single 0x0A.
QByteArray fitReportBytes(int order, const double* surface1Results, const double* surface2Results);
// Replaces the report at path by fitReportBytes; false when it cannot be written.
bool writeFitReport(const QString& path, int order, const double* surface1Results,
                    const double* surface2Results);

// The text of "result_para_fit.txt" in directory, decoded as GBK so that the
// colons read as U+FF1A. An unopenable report gives an empty text and
// *opened (if given) false.
QString readFitReportText(const QString& directory = QStringLiteral("."), bool* opened = nullptr);
