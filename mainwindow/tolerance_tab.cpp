#include "mainwindow/tolerance_tab.h"

#include "mainwindow/background_task.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>

using namespace QtCharts;

namespace {

constexpr int histogramBins = 30;

void clearChart(QChart* chart)
{
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
}

QString duration(double seconds)
{
    const int s = int(std::max(0.0, seconds) + 0.5);
    return QStringLiteral("%1m%2s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

ToleranceTab::ToleranceTab(BackgroundTask* task, QWidget* parent) : AnalysisTab(task, parent)
{
    setObjectName(QStringLiteral("toleranceTab"));
    auto* layout = new QVBoxLayout(this);
    prismLabel_ = new QLabel(QStringLiteral("No result yet: design a prism first."), this);
    prismLabel_->setObjectName(QStringLiteral("tolerancePrism"));
    layout->addWidget(prismLabel_);

    auto* controls = new QHBoxLayout;
    auto* form = new QFormLayout;
    trials_ = new QSpinBox(this);
    trials_->setObjectName(QStringLiteral("toleranceTrials"));
    trials_->setRange(1, 100000);
    trials_->setValue(200);
    form->addRow(QStringLiteral("trials"), trials_);
    seed_ = new QSpinBox(this);
    seed_->setObjectName(QStringLiteral("toleranceSeed"));
    seed_->setRange(0, 2147483647);
    seed_->setValue(1);
    form->addRow(QStringLiteral("seed"), seed_);
    controls->addLayout(form);
    runButton_ = new QPushButton(QStringLiteral("Run trials"), this);
    runButton_->setObjectName(QStringLiteral("toleranceRun"));
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("toleranceCancel"));
    controls->addWidget(runButton_);
    controls->addWidget(cancelButton_);
    progressLabel_ = new QLabel(this);
    progressLabel_->setObjectName(QStringLiteral("toleranceProgress"));
    controls->addWidget(progressLabel_, 1);
    layout->addLayout(controls);

    auto* figureRow = new QHBoxLayout;
    yieldLabel_ = new QLabel(QStringLiteral("yield: no run yet"), this);
    yieldLabel_->setObjectName(QStringLiteral("toleranceYield"));
    QFont bold = yieldLabel_->font();
    bold.setBold(true);
    yieldLabel_->setFont(bold);
    figureRow->addWidget(yieldLabel_, 1);
    figureRow->addWidget(new QLabel(QStringLiteral("figure"), this));
    figureChoice_ = new QComboBox(this);
    figureChoice_->setObjectName(QStringLiteral("toleranceFigure"));
    for (int k = 0; k < tolerance::figureCount; ++k)
        figureChoice_->addItem(QLatin1String(tolerance::figureName(k)));
    figureRow->addWidget(figureChoice_);
    layout->addLayout(figureRow);

    auto* charts = new QHBoxLayout;
    histogram_ = new QChart;
    histogram_->setTitle(QStringLiteral("histogram and cumulative share"));
    histogramView_ = new QChartView(histogram_, this);
    histogramView_->setObjectName(QStringLiteral("toleranceHistogram"));
    histogramView_->setRenderHint(QPainter::Antialiasing);
    sensitivity_ = new QChart;
    sensitivity_->setTitle(QStringLiteral("each tolerance alone at its limit (change / criterion)"));
    sensitivity_->legend()->hide();
    sensitivityView_ = new QChartView(sensitivity_, this);
    sensitivityView_->setObjectName(QStringLiteral("toleranceSensitivity"));
    sensitivityView_->setRenderHint(QPainter::Antialiasing);
    charts->addWidget(histogramView_, 1);
    charts->addWidget(sensitivityView_, 1);
    layout->addLayout(charts, 1);

    connect(runButton_, &QPushButton::clicked, this, &ToleranceTab::runClicked);
    connect(cancelButton_, &QPushButton::clicked, this, [this] {
        if (ours_)
            this->task()->cancel();
    });
    connect(figureChoice_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ToleranceTab::showFigure);
    connect(this->task(), &BackgroundTask::runningChanged, this, &ToleranceTab::updateButtons);
    connect(this->task(), &BackgroundTask::progressed, this, [this](double fraction, const QString&) {
        if (ours_)
            showProgress(fraction);
    });
    updateButtons();
}

void ToleranceTab::setResult(const QString& folder, const PanelParameters&)
{
    const QString path = folder.isEmpty() ? QString() : QDir(folder).filePath(QString::fromLatin1(prismFileName));
    prismPath_ = QFileInfo::exists(path) ? path : QString();
    prismLabel_->setText(prismPath_.isEmpty() ? QStringLiteral("No prism in the current result: design a prism first.")
                                              : QStringLiteral("Prism: %1 (default tolerances)").arg(prismPath_));
    updateButtons();
}

void ToleranceTab::updateButtons()
{
    const bool running = task()->isRunning();
    runButton_->setEnabled(!running && !prismPath_.isEmpty());
    trials_->setEnabled(!running);
    seed_->setEnabled(!running);
    cancelButton_->setEnabled(running && ours_);
}

void ToleranceTab::runClicked()
{
    if (prismPath_.isEmpty() || task()->isRunning())
        return;
    const QString path = prismPath_;
    const int trials = trials_->value();
    const auto seed = std::uint64_t(seed_->value());
    auto result = std::make_shared<Outcome>();
    runningTrials_ = trials;
    clock_.start();
    ours_ = true;
    progressLabel_->setText(QStringLiteral("0/%1 trials").arg(trials));
    const bool started = task()->start(
        QStringLiteral("tolerance trials"),
        [path, trials, seed, result](core::Progress& progress) {
            tolerance::ToleranceModel model;
            QString error;
            if (!model.load(path, tolerance::TrialSampling(), &error))
                throw std::runtime_error(error.toStdString());
            result->identity.seed = seed;
            result->identity.trials = trials;
            result->identity.prismDigest =
                QCryptographicHash::hash(model.prismBytes(), QCryptographicHash::Sha256).toHex();
            const std::vector<tolerance::TrialRow> rows =
                tolerance::runTrials(model, result->identity, 0, trials, 0, &progress);
            progress.throwIfCancelled();
            for (const tolerance::TrialRow& row : rows)
                result->figures.push_back(row.figures);
            result->sensitivity = tolerance::sensitivity(model, result->identity.file, 0);
            result->nominal = model.nominal();
            result->summary = tolerance::summarise(result->figures);
        },
        [this, result](BackgroundTask::Outcome outcome, const QString& message) {
            ours_ = false;
            updateButtons();
            const QString took = duration(double(clock_.elapsed()) / 1000.0);
            if (outcome == BackgroundTask::Outcome::Cancelled) {
                progressLabel_->setText(QStringLiteral("cancelled after %1; nothing changed").arg(took));
                return;
            }
            if (outcome == BackgroundTask::Outcome::Failed) {
                progressLabel_->setText(QStringLiteral("failed: %1").arg(message));
                return;
            }
            outcome_ = result;
            progressLabel_->setText(QStringLiteral("%1 trials in %2 (%3 trials/s)")
                                        .arg(result->summary.trials)
                                        .arg(took)
                                        .arg(double(result->summary.trials) / std::max(1e-3, clock_.elapsed() / 1000.0),
                                             0, 'f', 2));
            showOutcome();
        });
    if (!started) {
        ours_ = false;
        progressLabel_->setText(QStringLiteral("another run is going"));
    }
    updateButtons();
}

void ToleranceTab::showProgress(double fraction)
{
    // The trials make up the run; the sensitivity runs after them are short.
    const int done = std::min(runningTrials_, int(fraction * runningTrials_ + 0.5));
    const double seconds = double(clock_.elapsed()) / 1000.0;
    const double rate = seconds > 0.0 ? done / seconds : 0.0;
    QString text = QStringLiteral("%1/%2 trials, %3 trials/s").arg(done).arg(runningTrials_).arg(rate, 0, 'f', 2);
    if (rate > 0.0 && done < runningTrials_)
        text += QStringLiteral(", %1 left").arg(duration((runningTrials_ - done) / rate));
    else if (done >= runningTrials_)
        text += QStringLiteral(", sensitivity");
    progressLabel_->setText(text);
}

void ToleranceTab::showOutcome()
{
    const tolerance::RunSummary& s = outcome_->summary;
    yieldLabel_->setText(QStringLiteral("yield %1 (%2 of %3 passed; %4 trace failed, %5 calibration failed)")
                             .arg(s.yield, 0, 'f', 3)
                             .arg(s.passed)
                             .arg(s.trials)
                             .arg(s.traceFailed)
                             .arg(s.calibrationFailed));
    showFigure();

    clearChart(sensitivity_);
    const std::vector<tolerance::SensitivityRow>& rows = outcome_->sensitivity;
    auto* set = new QBarSet(QStringLiteral("change / criterion"));
    QStringList names;
    double top = 1.0;
    // Worst at the top: the bars run upwards from the last row.
    for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
        const double value = std::isfinite(r->ofCriterion) ? r->ofCriterion : 0.0;
        *set << value;
        top = std::max(top, value);
        names << QStringLiteral("%1 → %2")
                     .arg(QLatin1String(tolerance::toleranceName(r->kind)),
                          r->figure >= 0 ? QLatin1String(tolerance::figureName(r->figure)) : QLatin1String("failed"));
    }
    set->setColor(QColor(70, 120, 190));
    auto* series = new QHorizontalBarSeries;
    series->append(set);
    series->setLabelsVisible(true);
    series->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
    series->setLabelsFormat(QStringLiteral("@value"));
    sensitivity_->addSeries(series);
    auto* categories = new QBarCategoryAxis;
    categories->append(names);
    sensitivity_->addAxis(categories, Qt::AlignLeft);
    series->attachAxis(categories);
    auto* values = new QValueAxis;
    values->setRange(0.0, top * 1.15);
    values->setTitleText(QStringLiteral("|change| / criterion (1: at the criterion)"));
    sensitivity_->addAxis(values, Qt::AlignBottom);
    series->attachAxis(values);
}

void ToleranceTab::showFigure()
{
    clearChart(histogram_);
    if (!outcome_)
        return;
    const int figure = figureChoice_->currentIndex();
    const std::vector<double> sorted = tolerance::figureValues(outcome_->figures, figure);
    const double criterion = tolerance::figureCriterion(outcome_->identity.file.criteria, figure);
    histogram_->setTitle(QStringLiteral("|%1| of %2 trials that calibrated").arg(tolerance::figureName(figure)).arg(sorted.size()));
    if (sorted.empty())
        return;
    const double high = std::max(sorted.back(), criterion) * 1.05;
    std::vector<int> counts(histogramBins, 0);
    for (double v : sorted)
        ++counts[std::size_t(std::min(histogramBins - 1, int(v / high * histogramBins)))];
    const int most = *std::max_element(counts.begin(), counts.end());
    auto* upper = new QLineSeries;
    auto* lower = new QLineSeries;
    for (int b = 0; b < histogramBins; ++b) {
        const double x0 = high * b / histogramBins, x1 = high * (b + 1) / histogramBins;
        *upper << QPointF(x0, counts[std::size_t(b)]) << QPointF(x1, counts[std::size_t(b)]);
        *lower << QPointF(x0, 0.0) << QPointF(x1, 0.0);
    }
    auto* bars = new QAreaSeries(upper, lower);
    bars->setName(QStringLiteral("trials per bin"));
    bars->setColor(QColor(70, 120, 190));
    bars->setBorderColor(QColor(40, 80, 140));
    auto* cumulative = new QLineSeries;
    cumulative->setName(QStringLiteral("cumulative share"));
    // The empirical distribution: a step up by 1/n at each value.
    cumulative->append(0.0, 0.0);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        cumulative->append(sorted[i], double(i) / double(sorted.size()));
        cumulative->append(sorted[i], double(i + 1) / double(sorted.size()));
    }
    cumulative->append(high, 1.0);
    cumulative->setPen(QPen(QColor(230, 120, 20), 2));
    auto* limit = new QLineSeries;
    limit->setName(QStringLiteral("criterion %1").arg(criterion));
    limit->append(criterion, 0.0);
    limit->append(criterion, 1.0);
    limit->setPen(QPen(QColor(200, 30, 30), 2, Qt::DashLine));
    histogram_->addSeries(bars);
    histogram_->addSeries(cumulative);
    histogram_->addSeries(limit);
    auto* x = new QValueAxis;
    x->setRange(0.0, high);
    x->setTitleText(QLatin1String(tolerance::figureName(figure)));
    auto* count = new QValueAxis;
    // Whole counts on the ticks: one a trial up to ten, else nice steps.
    count->setRange(0.0, most);
    count->setLabelFormat(QStringLiteral("%d"));
    if (most <= 10)
        count->setTickCount(most + 1);
    else
        count->applyNiceNumbers();
    count->setTitleText(QStringLiteral("trials per bin"));
    auto* share = new QValueAxis;
    share->setRange(0.0, 1.0);
    share->setTitleText(QStringLiteral("cumulative share"));
    histogram_->addAxis(x, Qt::AlignBottom);
    histogram_->addAxis(count, Qt::AlignLeft);
    histogram_->addAxis(share, Qt::AlignRight);
    bars->attachAxis(x);
    bars->attachAxis(count);
    cumulative->attachAxis(x);
    cumulative->attachAxis(share);
    limit->attachAxis(x);
    limit->attachAxis(share);
}
