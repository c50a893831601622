#include "fit/fit_report.h"

#include "fit/fit_files.h"
#include "fit/fit_orders.h"
#include "io/safe_input.h"
#include "fit/fit_terms.h"

#include <QFile>
#include <QTextCodec>

#include <cstdio>

namespace {

// The full-width colon U+FF1A in GBK.
constexpr char fullWidthColon[] = "\xA3\xBA";

void appendCoefficientLines(QByteArray* report, char name, const double* values, int count)
{
    char line[512];  // room for the widest double in fixed notation
    for (int i = 0; i < count; ++i) {
        // Names of one digit get a second space, so the equals signs line up.
        const char* format = i < 10 ? "%c(%d)  =  %20.13f \n" : "%c(%d) =  %20.13f \n";
        const int n = std::snprintf(line, sizeof line, format, name, i, values[i]);
        report->append(line, n);
    }
}

}  // namespace

QByteArray fitReportBytes(int order, const double* surface1Results, const double* surface2Results)
{
    CNumericLocale c;
    const FitOrder& entry = fitOrderEntry(order);
    const int k1 = entry.surface1Terms;
    const int k2 = entry.surface2Terms;
    QByteArray report;
    report.reserve(4096);
    report.append("surface equation").append(fullWidthColon).append("\n\n");
    report.append("surface 1:\n").append(surfaceEquationText(1, k1).c_str());
    appendCoefficientLines(&report, 'a', surface1Results, k1);
    report.append("\n");
    report.append("surface 2:\n").append(surfaceEquationText(2, k2).c_str());
    appendCoefficientLines(&report, 'b', surface2Results, k2);
    report.append("\n");
    report.append("\n fitting precision").append(fullWidthColon).append("\n");
    char line[512];  // room for the widest double in fixed notation
    int n = std::snprintf(line, sizeof line, "%sRes1= %12.6f\n", entry.residualIndent, surface1Results[k1]);
    report.append(line, n);
    n = std::snprintf(line, sizeof line, "%sRes2= %12.6f\n", entry.residualIndent, surface2Results[k2]);
    report.append(line, n);
    report.append("\n\n");
    return report;
}

bool writeFitReport(const QString& path, int order, const double* surface1Results,
                    const double* surface2Results)
{
    const QByteArray report = fitReportBytes(order, surface1Results, surface2Results);
    return writeFileBytes(path, report.constData(), static_cast<std::size_t>(report.size()));
}

QString readFitReportText(const QString& directory, bool* opened)
{
    // A regular file only: a FIFO in its place must not block the window.
    QByteArray bytes;
    const bool ok = readRegularFile(fitFilePath(directory, fitReportFileName), &bytes);
    if (opened)
        *opened = ok;
    if (!ok)
        return QString();
    bytes.replace('\r', QByteArray());  // as a text-mode read drops them
    // The report is GBK; the system's default codec would make its colons
    // into replacement characters on a UTF-8 system.
    QTextCodec* gbk = QTextCodec::codecForName("GBK");
    return gbk ? gbk->toUnicode(bytes) : QString::fromLocal8Bit(bytes);
}
