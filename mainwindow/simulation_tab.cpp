#include "mainwindow/simulation_tab.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "fit/prism_file.h"
#include "mainwindow/background_task.h"
#include "simulate/simulation.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

// A picture scaled to the space it has, its aspect kept.
class PictureView final : public QWidget
{
public:
    explicit PictureView(QWidget* parent) : QWidget(parent) { setMinimumSize(160, 120); }

    void setPicture(const QPixmap& picture)
    {
        picture_ = picture;
        setProperty("pictureSize", picture.size());
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        if (picture_.isNull()) {
            painter.fillRect(rect(), palette().window());
            return;
        }
        const QSize size = picture_.size().scaled(this->size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(target, picture_);
    }

private:
    QPixmap picture_;
};

const char* const pictureCaptions[simulate::pictureCount] = {
    "sensor image (both halves)", "rectified pair, epipolar lines every 60 rows", "disparity map",
    "depth error: blue nearer, white exact, red farther"};

// One capture: what the worker reads, traces and returns.
struct CaptureJob {
    QString folder;
    simulate::CaseOptions options;
    std::shared_ptr<const simulate::PreparedCamera> prism;  // the cache in, the cameras used out
    std::shared_ptr<const simulate::PreparedCamera> ideal;
    QString calibrationNote;
    simulate::SimulationCase result;
};

// The folder's prism and its calibration: the file when there is one (and it
// belongs to this prism), else the calibration predicted for the prism.
void readCamera(CaptureJob* job, simulate::SimulatedCamera* camera, simulate::StereoModel* model)
{
    const QDir dir(job->folder);
    QString error;
    if (!simulate::loadPrismCamera(dir.filePath(QString::fromLatin1(prismFileName)), camera, &error))
        throw std::runtime_error(error.toStdString());
    const QString file = dir.filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    if (QFileInfo::exists(file)) {
        if (!simulate::readStereoModel(file, model, &error))
            throw std::runtime_error(error.toStdString());
        if (model->prismDigest != camera->digest)
            throw std::runtime_error(QStringLiteral("%1 is the calibration of another prism than the folder's "
                                                    "prism.json")
                                         .arg(QString::fromLatin1(calibration::stereoCalibrationFileName))
                                         .toStdString());
        job->calibrationNote =
            QStringLiteral("rectified with %1").arg(QString::fromLatin1(calibration::stereoCalibrationFileName));
        return;
    }
    calibration::StereoCalibration predicted = calibration::calibrateStereoRig(camera->rig, {});
    predicted.prismDigest = camera->digest;
    std::string text;
    if (!predicted.ok)
        throw std::runtime_error(("calibration of the prism failed: " + predicted.error).toStdString());
    if (!calibration::stereoCalibrationText(predicted, &text, &error)
        || !simulate::readStereoModelText(text, file, model, &error))
        throw std::runtime_error(error.toStdString());
    job->calibrationNote = QStringLiteral("no %1 in the folder: rectified with the calibration predicted for "
                                          "its prism (standard model)")
                               .arg(QString::fromLatin1(calibration::stereoCalibrationFileName));
}

void runCapture(CaptureJob* job, core::Progress& progress)
{
    const core::ProgressRange whole(&progress, 0.0, 1.0, "simulated capture");
    whole.report(0.0);
    simulate::SimulatedCamera camera;
    simulate::StereoModel model;
    readCamera(job, &camera, &model);
    whole.throwIfCancelled();
    // The rays of a prism already traced are kept; the calibration is read anew.
    auto prism = std::make_shared<simulate::PreparedCamera>();
    if (job->prism && job->prism->camera.digest == camera.digest) {
        *prism = *job->prism;
        prism->model = model;
    } else {
        job->ideal.reset();
        const core::ProgressRange trace = whole.part(0.0, 0.35, "tracing the prism");
        *prism = simulate::prepareCamera(camera, model, job->options.capture.threads, &trace);
    }
    job->prism = prism;
    const QString why = simulate::depthVisibility(prism->field, job->options.scene.depthMm);
    if (!why.isEmpty())
        throw std::runtime_error(why.toStdString());
    if (!job->ideal) {
        const core::ProgressRange trace = whole.part(0.35, 0.4, "tracing the ideal pair");
        job->ideal = std::make_shared<simulate::PreparedCamera>(
            simulate::prepareIdealCamera(camera.geometry, job->options.capture.threads, &trace));
    }
    const core::ProgressRange capture = whole.part(0.4, 1.0, "simulated capture");
    job->result = simulate::runCase(*prism, job->ideal.get(), job->options, &capture);
}

}  // namespace

SimulationTab::SimulationTab(BackgroundTask* task, QWidget* parent) : AnalysisTab(task, parent)
{
    setObjectName(QStringLiteral("simulationTab"));
    auto* layout = new QVBoxLayout(this);
    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("scene"), this));
    scene = new QComboBox(this);
    scene->setObjectName(QStringLiteral("simulationScene"));
    for (simulate::SceneKind kind : {simulate::SceneKind::Plane, simulate::SceneKind::Tilted, simulate::SceneKind::Steps})
        scene->addItem(simulate::sceneKindName(kind), int(kind));
    scene->setToolTip(QStringLiteral("plane: fronto-parallel; tilted: turned 30° about the vertical axis; steps: "
                                     "five fronto planes, each 10 % of the depth further than the one above"));
    controls->addWidget(scene);
    controls->addWidget(new QLabel(QStringLiteral("depth"), this));
    depth = new QDoubleSpinBox(this);
    depth->setObjectName(QStringLiteral("simulationDepth"));
    depth->setRange(1.0, 20000.0);
    depth->setDecimals(0);
    depth->setSingleStep(100.0);
    depth->setValue(1000.0);
    depth->setSuffix(QStringLiteral(" mm"));
    depth->setToolTip(QStringLiteral("distance of the scene's centre below the prism base"));
    controls->addWidget(depth);
    controls->addWidget(new QLabel(QStringLiteral("rays per pixel"), this));
    supersample = new QSpinBox(this);
    supersample->setObjectName(QStringLiteral("simulationSupersample"));
    supersample->setRange(1, 8);
    supersample->setValue(2);
    supersample->setPrefix(QStringLiteral("N = "));
    supersample->setToolTip(QStringLiteral("N x N rays per sensor pixel"));
    controls->addWidget(supersample);
    captureButton = new QPushButton(QStringLiteral("capture"), this);
    captureButton->setObjectName(QStringLiteral("pushButton_simulate"));
    captureButton->setToolTip(QStringLiteral("captures the scene through the prism of the current result, rectifies "
                                             "with its calibration, matches with StereoSGBM; the ideal pinhole pair "
                                             "beside it"));
    connect(captureButton, &QPushButton::clicked, this, &SimulationTab::startCapture);
    controls->addWidget(captureButton);
    controls->addStretch(1);
    layout->addLayout(controls);
    status = new QLabel(this);
    status->setObjectName(QStringLiteral("simulationStatus"));
    status->setWordWrap(true);
    layout->addWidget(status);

    auto* grid = new QGridLayout;
    for (int i = 0; i < simulate::pictureCount; ++i) {
        auto* view = new PictureView(this);
        view->setObjectName(QStringLiteral("simulationPicture_") + QString::fromLatin1(simulate::pictureSuffixes[i]));
        auto* caption = new QLabel(QString::fromLatin1(pictureCaptions[i]), this);
        caption->setObjectName(view->objectName() + QStringLiteral("_caption"));
        grid->addWidget(view, (i / 2) * 2, i % 2);
        grid->addWidget(caption, (i / 2) * 2 + 1, i % 2);
        grid->setRowStretch((i / 2) * 2, 1);
        views_[i] = view;
        captions_[i] = caption;
    }
    layout->addLayout(grid, 3);
    figures = new QPlainTextEdit(this);
    figures->setObjectName(QStringLiteral("simulationFigures"));
    figures->setReadOnly(true);
    figures->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    figures->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(figures, 1);

    connect(task, &BackgroundTask::runningChanged, this, &SimulationTab::setRunning);
    setResult(QString(), PanelParameters());
}

SimulationTab::~SimulationTab() = default;

void SimulationTab::setRunning(bool running)
{
    captureButton->setEnabled(!running && !folder_.isEmpty());
}

void SimulationTab::setResult(const QString& folder, const PanelParameters&)
{
    if (folder == folder_ && !folder.isEmpty())
        return;
    folder_ = folder;
    prism_.reset();
    ideal_.reset();
    clearPictures(folder.isEmpty()
                      ? QStringLiteral("no result yet: \"Design prism\" makes one")
                      : QStringLiteral("result folder %1: pick a scene and press capture")
                            .arg(QDir::toNativeSeparators(folder)));
    setRunning(task()->isRunning());
}

void SimulationTab::clearPictures(const QString& message)
{
    for (int i = 0; i < simulate::pictureCount; ++i)
        static_cast<PictureView*>(views_[i])->setPicture(QPixmap());
    figures->clear();
    status->setText(message);
    status->setStyleSheet(QString());
}

bool SimulationTab::startCapture()
{
    if (folder_.isEmpty() || task()->isRunning())
        return false;
    auto job = std::make_shared<CaptureJob>();
    job->folder = folder_;
    job->options.scene.kind = simulate::SceneKind(scene->currentData().toInt());
    job->options.scene.depthMm = depth->value();
    job->options.capture.supersample = supersample->value();
    job->prism = prism_;
    job->ideal = ideal_;
    const bool started = task()->start(
        QStringLiteral("simulated capture"), [job](core::Progress& progress) { runCapture(job.get(), progress); },
        [this, job](BackgroundTask::Outcome how, const QString& message) {
            if (job->folder != folder_)
                return;  // the result changed meanwhile
            if (how == BackgroundTask::Outcome::Cancelled) {
                status->setText(QStringLiteral("capture cancelled"));
                return;
            }
            if (how == BackgroundTask::Outcome::Failed) {
                status->setText(QStringLiteral("capture failed: ") + message);
                status->setStyleSheet(QStringLiteral("color: #b00000"));
                return;
            }
            prism_ = job->prism;
            ideal_ = job->ideal;
            showCase(job->result, job->options.capture.supersample, job->calibrationNote);
        });
    if (started) {
        status->setText(QStringLiteral("capturing %1 at %2 mm ...")
                            .arg(simulate::sceneKindName(job->options.scene.kind))
                            .arg(job->options.scene.depthMm));
        status->setStyleSheet(QString());
    }
    return started;
}

void SimulationTab::showCase(const simulate::SimulationCase& c, int rays, const QString& calibrationNote)
{
    for (int i = 0; i < simulate::pictureCount; ++i) {
        QPixmap picture;
        picture.loadFromData(c.pictures.png[i], "PNG");
        static_cast<PictureView*>(views_[i])->setPicture(picture);
    }
    captions_[2]->setText(QStringLiteral("disparity map, %1 to %2 px; black: not matched")
                              .arg(c.pictures.disparityLowPx, 0, 'f', 1)
                              .arg(c.pictures.disparityHighPx, 0, 'f', 1));
    captions_[3]->setText(QStringLiteral("depth error: blue nearer, white exact, red farther, up to ±%1 %; "
                                         "black: not matched")
                              .arg(c.pictures.errorScalePercent, 0, 'f', 2));
    figures->setPlainText(simulate::caseFiguresText(c));
    status->setText(QStringLiteral("%1 at %2 mm through the prism of %3, %4 x %4 rays per pixel; %5")
                        .arg(simulate::sceneKindName(c.scene.kind))
                        .arg(c.scene.depthMm)
                        .arg(QDir::toNativeSeparators(folder_))
                        .arg(rays)
                        .arg(calibrationNote));
    status->setStyleSheet(QString());
}
