#pragma once

#include "design/design_files.h"
#include "textio/number_text.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <string>
#include <vector>

// The files of the fit stage, by their fixed names; its input is the design
// file designPointsFileName.
inline constexpr char surface1PointsFileName[] = "outputall_fig1.txt";
inline constexpr char surface2PointsFileName[] = "outputall_fig2.txt";
inline constexpr char surface1FitFileName[] = "output_fit_fig1.txt";
inline constexpr char surface2FitFileName[] = "output_fit_fig2.txt";
inline constexpr char fitReportFileName[] = "result_para_fit.txt";

// Where a fitting run finds "outputall.txt" (input) and leaves the two
// per-surface point files, the two fitted-point files and the report (output).
// The program itself always uses the working directory.
struct FitRunLocation {
    QString inputDirectory = QStringLiteral(".");
    QString outputDirectory = QStringLiteral(".");
    // Lines "outputall.txt" must have (the design's 207,360); 0 takes any count.
    int expectedDesignLines = 0;
};

// The per-surface point files a run makes and deletes: a killed run leaves
// them, the next run in the directory removes them (AtomicFileSet::recover).
inline QStringList fitScratchFileNames()
{
    return {QString::fromLatin1(surface1PointsFileName), QString::fromLatin1(surface2PointsFileName)};
}

// Path of a fixed file name inside a directory.
QString fitFilePath(const QString& directory, const char* fileName);

// Appends one point row: "%16.8f  %16.8f  %16.8f\n" (C locale), exactly as
// printf writes it.
void appendPointRow(std::string* out, double x, double y, double z);

// The value a point row hands on: the number as "%16.8f" writes it and
// "%lf" reads it back (-0.0 for a negative value that rounds to zero).
double pointRowValue(double value);

// The x and y fields of point rows ("%16.8f  %16.8f  "), formatted once for
// the fitted-point files of several orders; x negated when asked.
struct PointRowPrefixes {
    std::string text;               // the prefixes one after another
    std::vector<std::size_t> ends;  // end of each point's prefix in text
};
PointRowPrefixes pointRowPrefixes(const double* x, const double* y, int count, bool negateX);
// The text of "output_fit_fig1.txt" into *text (replacing what it held, its
// room kept for reuse): a row per point, its prefix and fitted[i].
void surface1FitText(std::string* text, const PointRowPrefixes& prefixes, const double* fitted);
// The text of "output_fit_fig2.txt" likewise: the rows of `mirrored`
// (prefixes with x negated) from the last point down, then those of
// `prefixes` from the first.
void surface2FitText(std::string* text, const PointRowPrefixes& prefixes, const PointRowPrefixes& mirrored,
                     const double* fitted);

// "output_fit_fig1.txt": one point row (x[i], y[i], fitted[i]) per point, in
// point order.
bool writeSurface1FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count);
// "output_fit_fig2.txt": the mirrored half first, rows (-x[i], y[i], fitted[i])
// for i = count - 1 down to 0, then rows (x[i], y[i], fitted[i]) for i = 0 up.
bool writeSurface2FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count);

// Replaces the file by exactly these bytes ("\n" stays one 0x0A byte),
// atomically (io/atomic_file_set.h): false when it cannot be written in full,
// and the old file then stays as it was.
bool writeFileBytes(const QString& path, const char* data, std::size_t size);

// "不能找到文件" as GBK bytes on standard output, without a line break: the
// fit stage's only word about an input file it cannot open.
void printMissingFileMessage();
