#include "fit/fit_run.h"

#include "fit/design_point_split.h"
#include "fit/fit_json.h"
#include "fit/fit_orders.h"
#include "fit/fit_report.h"
#include "fit/matrix_record.h"
#include "io/atomic_file_set.h"
#include "io/design_points_reader.h"
#include "io/safe_input.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The points of one surface as the models take them: x, y and z in records of
// extent 0 whose storage is a malloc'ed buffer the record has taken over, and
// a record for the fitted heights.
struct SurfacePoints {
    MatrixRecord* x = nullptr;
    MatrixRecord* y = nullptr;
    MatrixRecord* z = nullptr;
    MatrixRecord* fitted = nullptr;
    int count = 0;
};

MatrixRecord* recordWithStorage(int count)
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->elements = static_cast<double*>(std::malloc(sizeof(double) * static_cast<std::size_t>(count)));
    return record;
}

// Reads a per-surface point file back, so the fit works on the values as the
// point rows rounded them. At most splitCount points are taken; a file that
// cannot be read gives none rather than points that were never written.
bool loadSurfacePoints(const QString& path, int splitCount, SurfacePoints* points)
{
    std::vector<double> numbers;
    const bool opened = readNumberFile(path, &numbers);
    if (!opened)
        printMissingFileMessage();
    const std::size_t rows = std::min(static_cast<std::size_t>(splitCount), numbers.size() / 3);
    const int n = static_cast<int>(rows);
    points->count = n;
    points->x = recordWithStorage(n);
    points->y = recordWithStorage(n);
    points->z = recordWithStorage(n);
    points->fitted = recordWithStorage(n);
    for (int i = 0; i < n; ++i) {
        points->x->elements[i] = numbers[3 * static_cast<std::size_t>(i)];
        points->y->elements[i] = numbers[3 * static_cast<std::size_t>(i) + 1];
        points->z->elements[i] = numbers[3 * static_cast<std::size_t>(i) + 2];
    }
    return opened;
}

void releaseSurfacePoints(SurfacePoints* points)
{
    matrixRelease(&points->x);
    matrixRelease(&points->y);
    matrixRelease(&points->z);
    matrixRelease(&points->fitted);
}

// Fits one surface and stores its k coefficients and, after them, the mean
// absolute difference between read and fitted heights (0/0 without points).
void fitSurface(SurfaceModel model, int termCount, SurfacePoints* points, std::vector<double>* results)
{
    double coefficients[largestTermCount];
    model(points->x, points->y, points->z, points->count, coefficients, points->fitted);
    results->assign(coefficients, coefficients + termCount);
    // The model may have replaced the storage: read through the records.
    results->push_back(meanAbsoluteDifference(points->z->elements, points->fitted->elements, points->count));
}

void copyResults(const FitRunSummary& summary, double* surface1Results, double* surface2Results)
{
    std::copy(summary.surface1Results.begin(), summary.surface1Results.end(), surface1Results);
    std::copy(summary.surface2Results.begin(), summary.surface2Results.end(), surface2Results);
}

}  // namespace

double meanAbsoluteDifference(const double* z, const double* fitted, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += std::fabs(z[i] - fitted[i]);
    return sum / static_cast<double>(count);
}

namespace {

// The run of runFit, with the two fitted-point files staged in `files`.
FitRunSummary runFitStaged(int order, const FitRunLocation& where, AtomicFileSet* files)
{
    const Clock::time_point start = Clock::now();
    CNumericLocale c;
    const FitOrder& entry = fitOrderEntry(order);
    FitRunSummary summary;
    summary.order = entry.order;
    const auto refuse = [&](const QString& message) {
        summary.error = message;
        files->discard();
        summary.notReplaced = QStringList{QString::fromLatin1(surface1FitFileName),
                                          QString::fromLatin1(surface2FitFileName),
                                          QString::fromLatin1(fitReportFileName), QString::fromLatin1(fitJsonFileName)};
        summary.totalSeconds = secondsBetween(start, Clock::now());
        return summary;
    };

    // Every target is checked and the input read in full before anything is
    // written.
    if (!files->checkTargets({QString::fromLatin1(surface1FitFileName), QString::fromLatin1(surface2FitFileName),
                              QString::fromLatin1(fitReportFileName), QString::fromLatin1(fitJsonFileName)}))
        return refuse(files->errorString());
    const QString designPath = fitFilePath(where.inputDirectory, designPointsFileName);
    std::vector<double> numbers;
    DesignPointsError readError;
    const PathKind designKind = classifyPath(designPath);
    summary.designFileFound = designKind == PathKind::Regular;
    if (designKind == PathKind::Missing)
        printMissingFileMessage();
    if (!readDesignPoints(designPath, &numbers, &readError, where.expectedDesignLines))
        return refuse(QStringLiteral("%1: %2").arg(QString::fromLatin1(designPointsFileName), readError.message()));

    int m1 = 0;
    int m2 = 0;
    const QString points1Path = fitFilePath(where.outputDirectory, surface1PointsFileName);
    const QString points2Path = fitFilePath(where.outputDirectory, surface2PointsFileName);
    QString splitError;
    const bool splitWritten = splitDesignValues(numbers, &m1, &m2, where.outputDirectory, &splitError);
    numbers = std::vector<double>();
    const Clock::time_point split = Clock::now();
    QString shortage;
    summary.inputValid = m1 >= entry.surface1Terms && m2 >= entry.surface2Terms;
    if (!summary.inputValid) {
        const bool first = m1 < entry.surface1Terms;
        shortage = QStringLiteral("surface %1 has %2 points inside its window, the order-%3 model needs at least %4")
                       .arg(first ? 1 : 2)
                       .arg(first ? m1 : m2)
                       .arg(entry.order)
                       .arg(first ? entry.surface1Terms : entry.surface2Terms);
    } else if (!splitWritten) {
        shortage = splitError;
    }
    if (!shortage.isEmpty()) {
        QFile::remove(points1Path);
        QFile::remove(points2Path);
        summary.surface1Count = m1;
        summary.surface2Count = m2;
        return refuse(shortage);
    }

    SurfacePoints surface1;
    SurfacePoints surface2;
    const bool read1 = loadSurfacePoints(points1Path, m1, &surface1);
    const bool read2 = loadSurfacePoints(points2Path, m2, &surface2);
    summary.pointFilesRead = read1 && read2;
    summary.surface1Count = surface1.count;
    summary.surface2Count = surface2.count;
    fitSurface(entry.surface1Model, entry.surface1Terms, &surface1, &summary.surface1Results);
    fitSurface(entry.surface2Model, entry.surface2Terms, &surface2, &summary.surface2Results);
    const Clock::time_point fitted = Clock::now();

    const std::string fit1 = surface1FitFileBytes(surface1.x->elements, surface1.y->elements,
                                                  surface1.fitted->elements, surface1.count);
    const bool wrote1 = files->stage(QString::fromLatin1(surface1FitFileName), fit1.data(), fit1.size());
    const std::string fit2 = surface2FitFileBytes(surface2.x->elements, surface2.y->elements,
                                                  surface2.fitted->elements, surface2.count);
    const bool wrote2 = wrote1 && files->stage(QString::fromLatin1(surface2FitFileName), fit2.data(), fit2.size());
    summary.fitFilesWritten = wrote1 && wrote2;
    releaseSurfacePoints(&surface1);
    releaseSurfacePoints(&surface2);
    QFile::remove(points1Path);
    QFile::remove(points2Path);
    const Clock::time_point end = Clock::now();

    summary.splitSeconds = secondsBetween(start, split);
    summary.fitSeconds = secondsBetween(split, fitted);
    summary.writeSeconds = secondsBetween(fitted, end);
    summary.totalSeconds = secondsBetween(start, end);
    return summary;
}

// Commits the set, or tells why not and which files kept their contents.
void finish(AtomicFileSet* files, FitRunSummary* summary)
{
    if (summary->error.isEmpty() && !files->commit())
        summary->error = files->errorString();
    if (!summary->error.isEmpty()) {
        summary->fitFilesWritten = false;
        summary->reportWritten = false;
        summary->jsonWritten = false;
    }
    if (!summary->error.isEmpty() && summary->notReplaced.isEmpty())
        summary->notReplaced = files->notReplaced();
}

}  // namespace

FitRunSummary runFit(int order, const FitRunLocation& where)
{
    AtomicFileSet files(where.outputDirectory, QStringLiteral("fit"));
    FitRunSummary summary = runFitStaged(order, where, &files);
    finish(&files, &summary);
    summary.notReplaced.removeAll(QString::fromLatin1(fitReportFileName));
    summary.notReplaced.removeAll(QString::fromLatin1(fitJsonFileName));
    return summary;
}

FitRunSummary fitAndReportOrder(int order, const FitRunLocation& where)
{
    AtomicFileSet files(where.outputDirectory, QStringLiteral("fit"));
    FitRunSummary summary = runFitStaged(order, where, &files);
    const Clock::time_point start = Clock::now();
    if (summary.error.isEmpty()) {
        const QByteArray report = fitReportBytes(summary.order, summary.surface1Results.data(),
                                                 summary.surface2Results.data());
        summary.reportWritten =
            files.stage(QString::fromLatin1(fitReportFileName), report.constData(), std::size_t(report.size()));
        const QByteArray json = fitJsonBytes(fitJsonFromSummary(summary));
        summary.jsonWritten =
            files.stage(QString::fromLatin1(fitJsonFileName), json.constData(), std::size_t(json.size()));
    }
    finish(&files, &summary);
    const double seconds = secondsBetween(start, Clock::now());
    summary.writeSeconds += seconds;
    summary.totalSeconds += seconds;
    return summary;
}

void runFitOrder3(double* surface1Results, double* surface2Results) { copyResults(runFit(3), surface1Results, surface2Results); }
void runFitOrder4(double* surface1Results, double* surface2Results) { copyResults(runFit(4), surface1Results, surface2Results); }
void runFitOrder5(double* surface1Results, double* surface2Results) { copyResults(runFit(5), surface1Results, surface2Results); }
void runFitOrder6(double* surface1Results, double* surface2Results) { copyResults(runFit(6), surface1Results, surface2Results); }
void runFitOrder7(double* surface1Results, double* surface2Results) { copyResults(runFit(7), surface1Results, surface2Results); }
void runFitOrder8(double* surface1Results, double* surface2Results) { copyResults(runFit(8), surface1Results, surface2Results); }

void fitAndReportOrder3() { fitAndReportOrder(3); }
void fitAndReportOrder4() { fitAndReportOrder(4); }
void fitAndReportOrder5() { fitAndReportOrder(5); }
void fitAndReportOrder6() { fitAndReportOrder(6); }
void fitAndReportOrder7() { fitAndReportOrder(7); }
void fitAndReportOrder8() { fitAndReportOrder(8); }
