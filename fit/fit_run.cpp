#include "fit/fit_run.h"

#include "core/parallel_for.h"
#include "fit/design_point_split.h"
#include "fit/fit_json.h"
#include "fit/fit_orders.h"
#include "fit/fit_report.h"
#include "fit/fit_terms.h"
#include "fit/least_squares.h"
#include "io/atomic_file_set.h"
#include "io/design_points_reader.h"
#include "io/safe_input.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The window tests of the split; a NaN fails every one.
bool inWindow(const SplitWindow& w, double x, double y)
{
    return w.xLow < x && x < w.xHigh && w.yLow < y && y < w.yHigh;
}

bool inSurface1Window(const double* row)
{
    return inWindow(surface1Window, row[0], row[1]);
}

bool inSurface2Window(const double* row)
{
    return inWindow(surface2Window, row[3], row[4]);
}

void appendPoint(SurfacePointSet* set, double x, double y, double z)
{
    set->x.push_back(pointRowValue(x));
    set->y.push_back(pointRowValue(y));
    set->z.push_back(pointRowValue(z));
}

// What the orders of one call share for a surface: the term values of every
// point (as many terms as the largest model asks for) and the x and y text of
// the fitted-point rows.
struct SurfaceShare {
    const SurfacePointSet* points = nullptr;
    int surface = 1;
    int width = 0;
    std::vector<double> termRows;
    PointRowPrefixes prefixes;
    PointRowPrefixes mirrored;  // surface 2 only: x negated
};

// The result files of an order, in the order they are replaced.
QStringList resultNames(bool withReport)
{
    QStringList names{QString::fromLatin1(surface1FitFileName), QString::fromLatin1(surface2FitFileName)};
    if (withReport)
        names << QString::fromLatin1(fitReportFileName) << QString::fromLatin1(fitJsonFileName);
    return names;
}

// Commits an order's set, or tells why not and which files kept their
// previous contents.
void finish(AtomicFileSet* files, bool withReport, FitRunSummary* summary)
{
    if (summary->error.isEmpty() && !files->commit())
        summary->error = files->errorString();
    if (summary->error.isEmpty())
        return;
    files->discard();
    summary->fitFilesWritten = false;
    summary->reportWritten = false;
    summary->jsonWritten = false;
    summary->notReplaced = resultNames(withReport);
}

// Why a surface's heights cannot give a finite fit: every z, or some z, of
// the points inside its window is not-a-number (the reader lets "nan" through;
// rows whose x or y is NaN fail the window test and are dropped). Empty when
// all are finite.
QString nonFiniteHeights(int surface, const SurfacePointSet& set)
{
    const auto bad = std::count_if(set.z.begin(), set.z.end(), [](double z) { return !std::isfinite(z); });
    if (bad == 0)
        return QString();
    if (bad == static_cast<std::ptrdiff_t>(set.z.size()))
        return QStringLiteral("surface %1: every z is NaN").arg(surface);
    return QStringLiteral("surface %1: %2 of the %3 points inside its window have a NaN z")
        .arg(surface)
        .arg(static_cast<qint64>(bad))
        .arg(set.count());
}

bool allFinite(const std::vector<double>& values)
{
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// One model fit: an order's surface, then its fitted-point file.
struct FitJob {
    std::size_t order;  // index into the orders of the call
    int surface;
    int terms;
};

}  // namespace

FitPoints splitFitPoints(const double* numbers, std::size_t count)
{
    FitPoints points;
    points.designFileFound = true;
    const std::size_t rows = count / 6;
    // The two surfaces side by side: each scans every row for its own window.
    parallelFor(2, 2, [&](int, int surface) {
        SurfacePointSet& set = surface == 0 ? points.surface1 : points.surface2;
        for (std::vector<double>* column : {&set.x, &set.y, &set.z})
            column->reserve(rows);  // untouched room costs no memory
        const bool first = surface == 0;
        for (std::size_t r = 0; r < rows; ++r) {
            const double* row = numbers + 6 * r;
            if (first ? inSurface1Window(row) : inSurface2Window(row))
                appendPoint(&set, row[first ? 0 : 3], row[first ? 1 : 4], row[first ? 2 : 5]);
        }
    });
    return points;
}

FitPoints loadFitPoints(const QString& directory, int expectedLines)
{
    const QString path = fitFilePath(directory, designPointsFileName);
    const PathKind kind = classifyPath(path);
    if (kind == PathKind::Missing)
        printMissingFileMessage();
    // Room for every number the file can hold (each takes two bytes or
    // more), so that reading never moves what it has read.
    std::vector<double> numbers;
    if (kind == PathKind::Regular)
        numbers.reserve(static_cast<std::size_t>(std::max<qint64>(QFileInfo(path).size(), 0)) / 2 + 1);
    DesignPointsError readError;
    QString digest;
    if (!readDesignPoints(path, &numbers, &readError, expectedLines, &digest)) {
        FitPoints refused;
        refused.designFileFound = kind == PathKind::Regular;
        refused.error = QStringLiteral("%1: %2").arg(QString::fromLatin1(designPointsFileName), readError.message());
        return refused;
    }
    FitPoints points = splitFitPoints(numbers.data(), numbers.size());
    points.designFileFound = true;
    points.origin = designOriginFor(directory, digest);
    return points;
}

double meanAbsoluteDifference(const double* z, const double* fitted, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += std::fabs(z[i] - fitted[i]);
    return sum / static_cast<double>(count);
}

std::vector<FitRunSummary> fitOrders(const std::vector<int>& orders, const FitPoints& points,
                                     const std::function<QString(int order)>& outputDirectory,
                                     bool writeReports, int threadCount)
{
    // No directory: the fit in memory, nothing staged.
    const bool inMemory = !outputDirectory;
    const int threads = resolveThreadCount(threadCount);
    std::vector<FitRunSummary> summaries(orders.size());
    if (orders.empty())
        return summaries;
    SurfaceShare shares[2];
    shares[0].points = &points.surface1;
    shares[0].surface = 1;
    shares[1].points = &points.surface2;
    shares[1].surface = 2;
    // Orders that share a directory would write the same files at once:
    // their jobs then run one after another.
    std::vector<QString> directories;
    for (int order : orders)
        directories.push_back(inMemory ? QString() : outputDirectory(order));
    // Each order's result files form one set, replaced together or not at
    // all (or join the caller's set); every target is checked before
    // anything is fitted.
    std::vector<std::unique_ptr<AtomicFileSet>> ownSets;
    std::vector<AtomicFileSet*> sets;
    std::vector<std::mutex> setLocks(orders.size());
    for (std::size_t i = 0; i < orders.size(); ++i) {
        if (!inMemory)
            ownSets.push_back(std::make_unique<AtomicFileSet>(directories[i], QStringLiteral("fit")));
        sets.push_back(inMemory ? nullptr : ownSets.back().get());
        FitRunSummary& summary = summaries[i];
        if (sets[i] && summary.error.isEmpty() && !sets[i]->checkTargets(resultNames(writeReports)))
            summary.error = sets[i]->errorString();
    }
    std::vector<FitJob> jobs;
    for (std::size_t i = 0; i < orders.size(); ++i) {
        const FitOrder& entry = fitOrderEntry(orders[i]);
        FitRunSummary& summary = summaries[i];
        summary.order = entry.order;
        summary.origin = points.origin;
        summary.designFileFound = points.designFileFound;
        summary.surface1Count = points.surface1.count();
        summary.surface2Count = points.surface2.count();
        summary.inputValid = points.error.isEmpty() && summary.surface1Count >= entry.surface1Terms
                             && summary.surface2Count >= entry.surface2Terms;
        if (!summary.error.isEmpty()) {
            // a refused target, found before anything was read
        } else if (!points.error.isEmpty()) {
            summary.error = points.error;
        } else if (!summary.inputValid) {
            const bool first = summary.surface1Count < entry.surface1Terms;
            summary.error = QStringLiteral("surface %1 has %2 points inside its window, the order-%3 model needs at least %4")
                                .arg(first ? 1 : 2)
                                .arg(first ? summary.surface1Count : summary.surface2Count)
                                .arg(entry.order)
                                .arg(first ? entry.surface1Terms : entry.surface2Terms);
        }
        if (summary.error.isEmpty()) {
            summary.error = nonFiniteHeights(1, points.surface1);
            if (summary.error.isEmpty())
                summary.error = nonFiniteHeights(2, points.surface2);
            summary.inputValid = summary.error.isEmpty();
        }
        if (!summary.error.isEmpty())
            continue;
        jobs.push_back({i, 1, entry.surface1Terms});
        jobs.push_back({i, 2, entry.surface2Terms});
        shares[0].width = std::max(shares[0].width, entry.surface1Terms);
        shares[1].width = std::max(shares[1].width, entry.surface2Terms);
    }
    // The largest models first, so that both threads finish close together.
    std::stable_sort(jobs.begin(), jobs.end(), [](const FitJob& a, const FitJob& b) { return a.terms > b.terms; });

    // Shared per surface: term rows, row prefixes and mirrored prefixes.
    parallelFor(5, threads, [&](int, int task) {
        SurfaceShare& share = shares[task == 0 || task == 2 ? 0 : 1];
        const SurfacePointSet& set = *share.points;
        const std::size_t n = static_cast<std::size_t>(set.count());
        if (task < 2) {
            share.termRows.resize(n * static_cast<std::size_t>(share.width));
            fillTermRows(share.surface, share.width, set.x.data(), set.y.data(), n, share.termRows.data());
        } else {
            PointRowPrefixes& target = task == 4 ? share.mirrored : share.prefixes;
            target = pointRowPrefixes(set.x.data(), set.y.data(), set.count(), task == 4);
        }
    });

    jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                              [&](const FitJob& job) { return !summaries[job.order].error.isEmpty(); }),
               jobs.end());
    std::vector<QString> distinct = directories;
    std::sort(distinct.begin(), distinct.end());
    const bool shared = std::adjacent_find(distinct.begin(), distinct.end()) != distinct.end();
    const int jobThreads = shared ? 1 : threads;

    std::vector<char> written(jobs.size(), 0);
    std::vector<char> finite(jobs.size(), 1);
    std::vector<double> fitSeconds(jobs.size(), 0.0);
    std::vector<double> writeSeconds(jobs.size(), 0.0);
    std::vector<std::string> texts(std::size_t(std::max(jobThreads, 1)));
    parallelFor(static_cast<int>(jobs.size()), jobThreads, [&](int worker, int index) {
        const FitJob& job = jobs[static_cast<std::size_t>(index)];
        const SurfaceShare& share = shares[job.surface - 1];
        const SurfacePointSet& set = *share.points;
        FitRunSummary& summary = summaries[job.order];
        std::vector<double>& results = job.surface == 1 ? summary.surface1Results : summary.surface2Results;
        std::vector<double>& fitted = job.surface == 1 ? summary.surface1Fitted : summary.surface2Fitted;
        const Clock::time_point start = Clock::now();
        results.assign(static_cast<std::size_t>(job.terms) + 1, 0.0);
        fitted.resize(set.z.size());
        fitTermRows(job.terms, share.termRows.data(), static_cast<std::size_t>(share.width), set.z.data(),
                    set.z.size(), results.data(), fitted.data());
        results[static_cast<std::size_t>(job.terms)] = meanAbsoluteDifference(set.z.data(), fitted.data(),
                                                                              set.count());
        const Clock::time_point fittedAt = Clock::now();
        fitSeconds[static_cast<std::size_t>(index)] = secondsBetween(start, fittedAt);
        // A singular or overflowing system: nothing of this order is written.
        if (!allFinite(results) || !allFinite(fitted)) {
            finite[static_cast<std::size_t>(index)] = 0;
            return;
        }
        if (!sets[job.order]) {
            written[static_cast<std::size_t>(index)] = 1;
            return;
        }
        std::string& text = texts[std::size_t(worker)];  // its room is reused by the worker's next job
        if (job.surface == 1)
            surface1FitText(&text, share.prefixes, fitted.data());
        else
            surface2FitText(&text, share.prefixes, share.mirrored, fitted.data());
        const char* name = job.surface == 1 ? surface1FitFileName : surface2FitFileName;
        {
            const std::lock_guard<std::mutex> staging(setLocks[job.order]);
            written[static_cast<std::size_t>(index)] =
                sets[job.order]->stage(QString::fromLatin1(name), text.data(), text.size());
        }
        writeSeconds[static_cast<std::size_t>(index)] = secondsBetween(fittedAt, Clock::now());
    });

    for (FitRunSummary& summary : summaries)
        summary.fitFilesWritten = summary.error.isEmpty();
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        FitRunSummary& summary = summaries[jobs[j].order];
        summary.fitFilesWritten = summary.fitFilesWritten && written[j] != 0;
        if (!finite[j] && summary.error.isEmpty()) {
            summary.error = QStringLiteral("surface %1: the order-%2 fit is not finite (its normal equations are "
                                           "singular or overflow)")
                                .arg(jobs[j].surface)
                                .arg(summary.order);
            summary.inputValid = false;
        }
        summary.fitSeconds += fitSeconds[j];
        summary.writeSeconds += writeSeconds[j];
    }
    for (std::size_t i = 0; i < summaries.size(); ++i) {
        FitRunSummary& summary = summaries[i];
        if (!sets[i]) {
            summary.fitFilesWritten = summary.reportWritten = summary.jsonWritten = false;
            summary.totalSeconds = summary.fitSeconds;
            continue;
        }
        AtomicFileSet& files = *sets[i];
        if (writeReports && summary.error.isEmpty()) {
            const Clock::time_point start = Clock::now();
            const QByteArray report = fitReportBytes(summary.order, summary.surface1Results.data(),
                                                     summary.surface2Results.data());
            summary.reportWritten =
                files.stage(QString::fromLatin1(fitReportFileName), report.constData(), std::size_t(report.size()));
            const QByteArray json = fitJsonBytes(fitJsonFromSummary(summary));
            summary.jsonWritten =
                files.stage(QString::fromLatin1(fitJsonFileName), json.constData(), std::size_t(json.size()));
            summary.writeSeconds += secondsBetween(start, Clock::now());
        }
        finish(&files, writeReports, &summary);
        summary.totalSeconds = summary.fitSeconds + summary.writeSeconds;
    }
    return summaries;
}

FitResultFiles::FitResultFiles(const FitPoints& points, int threadCount)
{
    const SurfacePointSet& one = points.surface1;
    const SurfacePointSet& two = points.surface2;
    threads_ = resolveThreadCount(threadCount);
    parallelFor(3, threads_, [&](int, int task) {
        if (task == 0)
            surface1_ = pointRowPrefixes(one.x.data(), one.y.data(), one.count(), false);
        else
            (task == 1 ? surface2_ : surface2Mirrored_) = pointRowPrefixes(two.x.data(), two.y.data(), two.count(), task == 2);
    });
}

std::vector<std::pair<QString, std::string>> FitResultFiles::filesOf(const FitRunSummary& summary) const
{
    std::vector<std::pair<QString, std::string>> files(4);
    const QStringList names = resultNames(true);
    for (std::size_t i = 0; i < files.size(); ++i)
        files[i].first = names[int(i)];
    // The larger fitted-point file first, so that both threads finish close together.
    parallelFor(3, threads_, [&](int, int task) {
        if (task == 0) {
            surface2FitText(&files[1].second, surface2_, surface2Mirrored_, summary.surface2Fitted.data());
        } else if (task == 1) {
            surface1FitText(&files[0].second, surface1_, summary.surface1Fitted.data());
        } else {
            files[2].second = fitReportBytes(summary.order, summary.surface1Results.data(),
                                             summary.surface2Results.data()).toStdString();
            files[3].second = fitJsonBytes(fitJsonFromSummary(summary)).toStdString();
        }
    });
    return files;
}

namespace {

FitRunSummary runOneOrder(int order, const FitRunLocation& where, bool writeReport)
{
    const Clock::time_point start = Clock::now();
    const FitPoints points = loadFitPoints(where.inputDirectory, where.expectedDesignLines);
    const double splitSeconds = secondsBetween(start, Clock::now());
    FitRunSummary summary =
        fitOrders({order}, points, [&where](int) { return where.outputDirectory; }, writeReport).front();
    summary.splitSeconds = splitSeconds;
    summary.totalSeconds += splitSeconds;
    return summary;
}

void copyResults(const FitRunSummary& summary, double* surface1Results, double* surface2Results)
{
    std::copy(summary.surface1Results.begin(), summary.surface1Results.end(), surface1Results);
    std::copy(summary.surface2Results.begin(), summary.surface2Results.end(), surface2Results);
}

}  // namespace

FitRunSummary runFit(int order, const FitRunLocation& where)
{
    return runOneOrder(order, where, false);
}

FitRunSummary fitAndReportOrder(int order, const FitRunLocation& where)
{
    return runOneOrder(order, where, true);
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
