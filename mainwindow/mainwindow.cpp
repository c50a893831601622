#include "mainwindow/mainwindow.h"

#include "design/design_json.h"
#include "design/design_run.h"
#include "fit/fit_json.h"
#include "fit/fit_report.h"
#include "fit/fit_run.h"
#include "io/atomic_file_set.h"
#include "io/directory_lock.h"
#include "mainwindow/folder_watcher.h"
#include "mainwindow/analysis_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/colour_panel.h"
#include "mainwindow/mainwindow_form.h"
#include "mainwindow/shared_state.h"
#include "mainwindow/verification_window.h"
#include "sketch/prismitem.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr int recentDesignCount = 8;
const char recentDesignsKey[] = "recentDesigns";

// Shrinks a widget's font until its text fits the place it was given, so
// that no label or button is clipped on a small screen.
void fitText(QWidget* widget)
{
    QFont font = widget->font();
    while (font.pointSize() > 7) {
        const QSize hint = widget->sizeHint();
        if (hint.width() <= widget->width() && hint.height() <= widget->height())
            return;
        font.setPointSize(font.pointSize() - 1);
        widget->setFont(font);
    }
}

QString pixels(double value)
{
    return std::isfinite(value) ? QString::number(value, 'f', 3) : QStringLiteral("-");
}

// A cemented prism's glasses, its lateral colour between the band's edges
// and each glass's thickness per half (empty for a prism of one glass).
QString achromatFiguresText(const pipeline::Pipeline& run)
{
    if (!run.fit() || !run.fit()->achromat)
        return QString();
    const PrismInterface& glass = run.fit()->fit.interface;
    const auto mm = [](double value) { return QString::number(value, 'f', 2); };
    const std::array<GlassThickness, 2>& t = run.fit()->achromat->thickness;
    const auto range = [&mm](double low, double high) { return QStringLiteral("%1-%2 mm").arg(mm(low), mm(high)); };
    const auto glasses = [&](const GlassThickness& h) {
        return QStringLiteral("%1 %2, %3 %4")
            .arg(glass.crown, range(h.crownMinMm, h.crownMaxMm), glass.flint, range(h.flintMinMm, h.flintMaxMm));
    };
    // The halves are mirror images: one line when their glasses agree.
    QString text = glasses(t[0]) == glasses(t[1])
                       ? QStringLiteral("achromat: %1").arg(glasses(t[0]))
                       : QStringLiteral("achromat, left: %1; right: %2").arg(glasses(t[0]), glasses(t[1]));
    const pipeline::VerifyStageResult* v = run.verification();
    if (v && v->lateralColour)
        text += QStringLiteral("\nlateral colour (%1) RMS %2 px, max %3 px\n"
                               "  outside the centre band RMS %4 px, max %5 px")
                    .arg(v->lateralColour->band, pixels(v->lateralColour->rmsPx()), pixels(v->lateralColour->maxPx()),
                         pixels(v->lateralColour->outsideCentreRmsPx()),
                         pixels(v->lateralColour->outsideCentreMaxPx()));
    return text;
}

// One run per directory: another window or command-line run writing here
// gets a message, not a mix of two runs' files. False, with the reason, when
// another run holds the lock; the scratch files a killed run left are cleared.
bool lockWorkingDirectory(DirectoryLock* lock, const core::Progress& progress, QString* why)
{
    progress.throwIfCancelled();
    if (!lock->acquire(DirectoryLock::Mode::Refuse, why))
        return false;
    AtomicFileSet::recover(QStringLiteral("."), nullptr, fitScratchFileNames());
    progress.throwIfCancelled();
    return true;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    form = new MainWindowForm;
    form->setupForm(this);
    // "fix angle" turns off again with a second click.
    form->radioButton->setAutoExclusive(false);
    // The tool bar holds nothing: its height goes to the panel.
    form->mainToolBar->hide();
    task_ = new BackgroundTask(this);
    QFont font;
    font.setPointSize(15);
    // The parameters already hold their start values (member initialisers).
    scene = new QGraphicsScene;
    form->graphicsView->setScene(scene);
    form->graphicsView->scale(1.2, 1.2);
    sketchItem = new Prismitem(0.3 * screenWidth, 0.5 * screenHeight);
    scene->addItem(sketchItem);
    addRunStatus();
    addFileMenu();
    addAnalysisMenu();
    placeWidgets(font);
    setToolTips();
    initPanelValues();
    form->comboBox_model->setCurrentIndex(panel.designModel == DesignModel::Refraction ? 1 : 0);
    connect(task_, &BackgroundTask::runningChanged, this, &MainWindow::setRunning);
    setResultFolder(QString());
    showFigures();
    const QStringList results{QString::fromLatin1(designProfileFileName), QString::fromLatin1(designPointsFileName),
                              QString::fromLatin1(designJsonFileName), QString::fromLatin1(surface1FitFileName),
                              QString::fromLatin1(surface2FitFileName), QString::fromLatin1(fitReportFileName),
                              QString::fromLatin1(fitJsonFileName)};
    folderWatcher = new FolderWatcher(QStringLiteral("."), results, this);
    connect(folderWatcher, &FolderWatcher::changedElsewhere, this, [this](const QStringList& names) {
        folderNote->setText(QStringLiteral("Another window or program changed the results in this folder: %1.")
                                .arg(names.join(QStringLiteral(", "))));
        folderNote->setToolTip(folderNote->text());
    });
}

void MainWindow::showUnfinished(const QString& problem)
{
    if (!problem.isEmpty())
        QMessageBox::warning(nullptr, QStringLiteral("unfinished"), problem + QLatin1Char('.'));
}

MainWindow::~MainWindow()
{
    task_->cancel();
    task_->waitForFinished();
    delete form;
    // The scene has no parent; the view does not own it.
    delete scene;
}

// The progress of the running work, its Cancel button and the current result
// folder, in the status bar.
void MainWindow::addRunStatus()
{
    QStatusBar* bar = form->statusBar;
    resultFolderLabel = new QLabel(bar);
    resultFolderLabel->setObjectName(QStringLiteral("label_resultFolder"));
    resultFolderLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar->addWidget(resultFolderLabel, 1);
    stageLabel = new QLabel(QStringLiteral("ready"), bar);
    stageLabel->setObjectName(QStringLiteral("label_stage"));
    bar->addPermanentWidget(stageLabel);
    progressBar = new QProgressBar(bar);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 1000);
    progressBar->setValue(0);
    progressBar->setFixedWidth(160);
    progressBar->setToolTip(QStringLiteral("progress of the running computation"));
    bar->addPermanentWidget(progressBar);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), bar);
    cancelButton->setObjectName(QStringLiteral("pushButton_cancel"));
    cancelButton->setEnabled(false);
    cancelButton->setToolTip(QStringLiteral("stops the running computation at its next step; nothing is written"));
    bar->addPermanentWidget(cancelButton);
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        task_->cancel();
        stageLabel->setText(QStringLiteral("cancelling ..."));
    });
    connect(task_, &BackgroundTask::progressed, this, [this](double fraction, const QString& stage) {
        // No busy bar before the first fraction: its animation repaints the
        // whole window (composed with the OpenGL views) 60 times a second on
        // the GUI thread. The stage's name says that work goes on.
        // QProgressBar::setValue would repaint at once, and each repaint
        // composes and presents the whole window: held back, the bar is
        // painted in one go with the stage's name.
        progressBar->setUpdatesEnabled(false);
        progressBar->setValue(static_cast<int>(std::lround(fraction * 1000)));
        progressBar->setUpdatesEnabled(true);
        if (stageLabel->text() != stage)
            stageLabel->setText(stage);
    });
}

void MainWindow::addFileMenu()
{
    QMenu* file = form->menuBar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("menuFile"));
    QAction* newAction = file->addAction(QStringLiteral("&New"), this, &MainWindow::newDesign, QKeySequence::New);
    newAction->setObjectName(QStringLiteral("actionNew"));
    newAction->setToolTip(QStringLiteral("the panel's start values; no current result"));
    QAction* open = file->addAction(QStringLiteral("&Open design…"), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open design"), resultFolder_,
                                                          QStringLiteral("Prism design (*.json)"));
        QString error;
        if (!path.isEmpty() && !openDesign(path, &error))
            QMessageBox::warning(this, QStringLiteral("not opened"), error);
    }, QKeySequence::Open);
    open->setObjectName(QStringLiteral("actionOpenDesign"));
    QAction* save = file->addAction(QStringLiteral("&Save design as…"), this, [this] {
        const QString start = QDir(resultFolder_.isEmpty() ? QDir::currentPath() : resultFolder_)
                                  .filePath(QString::fromLatin1(prismFileName));
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save design as"), start,
                                                          QStringLiteral("Prism design (*.json)"));
        QString error;
        if (!path.isEmpty() && !saveDesignAs(path, &error))
            QMessageBox::warning(this, QStringLiteral("not saved"), error);
    }, QKeySequence::SaveAs);
    save->setObjectName(QStringLiteral("actionSaveDesignAs"));
    QAction* catalogue = file->addAction(QStringLiteral("Material &catalogue…"), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Material catalogue"), QDir::currentPath(),
                                                          QStringLiteral("Material catalogue (*.txt);;All files (*)"));
        QString error;
        if (!path.isEmpty() && !colourPanel->setCatalogueFile(path, &error))
            QMessageBox::warning(this, QStringLiteral("catalogue not read"), error);
    });
    catalogue->setObjectName(QStringLiteral("actionMaterialCatalogue"));
    catalogue->setToolTip(QStringLiteral("a catalogue file whose materials add to or replace the built-in ones"));
    QAction* folder = file->addAction(QStringLiteral("Open &result folder"), this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(resultFolder_));
    });
    folder->setObjectName(QStringLiteral("actionOpenResultFolder"));
    recentMenu = file->addMenu(QStringLiteral("Recent designs"));
    recentMenu->setObjectName(QStringLiteral("menuRecentDesigns"));
    connect(file, &QMenu::aboutToShow, this, [this, save, folder] {
        save->setEnabled(currentPrism_.has_value());
        folder->setEnabled(!resultFolder_.isEmpty());
        updateRecentMenu();
    });
    updateRecentMenu();
}

void MainWindow::addAnalysisMenu()
{
    analysisWindow = new AnalysisWindow(task_, this);
    QMenu* menu = form->menuBar->addMenu(QStringLiteral("&Analysis"));
    menu->setObjectName(QStringLiteral("menuAnalysis"));
    const QStringList titles = analysisWindow->tabTitles();
    for (int i = 0; i < titles.size(); ++i)
        menu->addAction(titles[i] + QStringLiteral("…"), this, [this, i] { analysisWindow->showTab(i); });
    menu->setEnabled(!titles.isEmpty());
    connect(this, &MainWindow::resultChanged, analysisWindow,
            [this](const QString& folder) { analysisWindow->setResult(folder, panel); });
}

void MainWindow::updateRecentMenu()
{
    recentMenu->clear();
    const QStringList recent = QSettings().value(QLatin1String(recentDesignsKey)).toStringList();
    for (const QString& path : recent) {
        recentMenu->addAction(path, this, [this, path] {
            QString error;
            if (!openDesign(path, &error))
                QMessageBox::warning(this, QStringLiteral("not opened"), error);
        });
    }
    recentMenu->setEnabled(!recent.isEmpty());
}

void MainWindow::rememberDesign(const QString& path)
{
    QSettings settings;
    QStringList recent = settings.value(QLatin1String(recentDesignsKey)).toStringList();
    const QString absolute = QFileInfo(path).absoluteFilePath();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    while (recent.size() > recentDesignCount)
        recent.removeLast();
    settings.setValue(QLatin1String(recentDesignsKey), recent);
    updateRecentMenu();
}

// Positions as fractions of the screen, truncated toward zero. The height is
// that of the panel's own area (the screen less the menu and status bars and
// the top-level window's margins), so the whole window fits the screen. The
// prism rows, the fit controls and the report move onto the main window
// itself, below its menu bar.
void MainWindow::placeWidgets(const QFont& panelFont)
{
    const int menuHeight = form->menuBar->sizeHint().height();
    const int statusHeight = form->statusBar->sizeHint().height();
    const double panelHeight = screenHeight - menuHeight - statusHeight - 24;
    // The large font of a full-HD screen, smaller in step with a smaller one.
    QFont font = panelFont;
    font.setPointSize(std::clamp(static_cast<int>(std::lround(panelFont.pointSize() * panelHeight / 1000.0)), 9,
                                 panelFont.pointSize()));
    const auto place = [panelHeight](QWidget* widget, double x, double y, double w, double h, int top = 0) {
        widget->setGeometry(static_cast<int>(x * screenWidth), top + static_cast<int>(y * panelHeight),
                            static_cast<int>(w * screenWidth), static_cast<int>(h * panelHeight));
    };
    const auto moveHere = [this, &place, &font, menuHeight](QWidget* widget, double x, double y, double w, double h,
                                                             bool bigFont) {
        widget->setParent(this);
        if (bigFont)
            widget->setFont(font);
        place(widget, x, y, w, h, menuHeight);
    };
    MainWindowForm& f = *form;
    place(f.centralWidget, 0, 0, 0.66, 0.99);
    place(f.groupBox, 0.01, 0.01, 0.3, 0.2);
    f.groupBox->setFont(font);
    place(f.label, 0.02, 0.02, 0.08, 0.04);
    place(f.spinBox_fl, 0.1, 0.02, 0.04, 0.04);
    place(f.label_12, 0.14, 0.02, 0.02, 0.04);
    place(f.horizontalSlider_fl, 0.16, 0.02, 0.1, 0.04);
    place(f.label_2, 0.02, 0.07, 0.06, 0.04);
    place(f.label_3, 0.08, 0.07, 0.02, 0.04);
    place(f.spinBox_rx, 0.1, 0.07, 0.05, 0.04);
    place(f.label_4, 0.15, 0.07, 0.02, 0.04);
    place(f.spinBox_ry, 0.17, 0.07, 0.05, 0.04);
    place(f.label_5, 0.02, 0.12, 0.08, 0.04);
    place(f.lineEdit_ps, 0.1, 0.12, 0.1, 0.04);
    place(f.label_6, 0.2, 0.12, 0.02, 0.04);
    place(f.groupBox_2, 0.01, 0.21, 0.3, 0.18);
    f.groupBox_2->setFont(font);
    moveHere(f.label_7, 0.02, 0.24, 0.06, 0.04, true);
    moveHere(f.doubleSpinBox_ps, 0.08, 0.24, 0.05, 0.04, true);
    moveHere(f.label_13, 0.14, 0.24, 0.09, 0.04, true);
    moveHere(f.doubleSpinBox_index, 0.23, 0.24, 0.05, 0.04, true);
    moveHere(f.label_8, 0.02, 0.29, 0.06, 0.04, true);
    moveHere(f.spinBox_d, 0.08, 0.29, 0.05, 0.04, true);
    moveHere(f.label_9, 0.13, 0.29, 0.02, 0.04, true);
    moveHere(f.horizontalSlider_d, 0.15, 0.29, 0.1, 0.04, false);
    moveHere(f.label_10, 0.02, 0.34, 0.06, 0.04, true);
    moveHere(f.spinBox_p, 0.08, 0.34, 0.05, 0.04, true);
    moveHere(f.label_11, 0.13, 0.34, 0.02, 0.04, true);
    // The colour choices, one labelled row each below the prism: material
    // and its index, design wavelength and band, the achromat and its glasses.
    colourPanel = new ColourPanel(f.centralWidget);
    const ColourPanel& c = *colourPanel;
    const std::vector<QWidget*> colourWidgets{
        c.materialLabel(), c.materialBox(), c.indexLabel(), c.wavelengthLabel(), c.wavelengthBox(), c.bandLabel(),
        c.bandBox(),       c.achromatBox(), c.crownLabel(), c.crownBox(),       c.flintLabel(),    c.flintBox()};
    for (QWidget* w : colourWidgets)
        w->setFont(font);
    place(c.materialLabel(), 0.02, 0.395, 0.06, 0.04);
    place(c.materialBox(), 0.08, 0.395, 0.1, 0.04);
    place(c.indexLabel(), 0.19, 0.395, 0.1, 0.04);
    place(c.wavelengthLabel(), 0.02, 0.44, 0.06, 0.04);
    place(c.wavelengthBox(), 0.08, 0.44, 0.08, 0.04);
    place(c.bandLabel(), 0.17, 0.44, 0.035, 0.04);
    place(c.bandBox(), 0.205, 0.44, 0.08, 0.04);
    place(c.achromatBox(), 0.02, 0.485, 0.075, 0.04);
    place(c.crownLabel(), 0.1, 0.485, 0.035, 0.04);
    place(c.crownBox(), 0.135, 0.485, 0.065, 0.04);
    place(c.flintLabel(), 0.205, 0.485, 0.03, 0.04);
    place(c.flintBox(), 0.235, 0.485, 0.065, 0.04);
    connect(colourPanel, &ColourPanel::changed, this, &MainWindow::colourChanged);
    // The whole sound path in one click, below the choices it takes.
    designPrismButton = new QPushButton(QStringLiteral("Design prism"), f.centralWidget);
    designPrismButton->setObjectName(QStringLiteral("pushButton_designPrism"));
    designPrismButton->setFont(font);
    place(designPrismButton, 0.02, 0.53, 0.14, 0.04);
    connect(designPrismButton, &QPushButton::clicked, this, &MainWindow::designPrismClicked);
    // Beside it, what another window or program changed in the working directory.
    folderNote = new QLabel(this);
    folderNote->setObjectName(QStringLiteral("label_folder"));
    folderNote->setWordWrap(true);
    folderNote->setStyleSheet(QStringLiteral("color: #b00000"));
    place(folderNote, 0.165, 0.53, 0.145, 0.04, menuHeight);
    place(f.label_14, 0.02, 0.575, 0.08, 0.04);
    f.label_14->setFont(font);
    virtualCameraValue = new QLabel(f.centralWidget);
    virtualCameraValue->setObjectName(QStringLiteral("label_virtualCameraValue"));
    virtualCameraValue->setFont(font);
    place(virtualCameraValue, 0.1, 0.575, 0.055, 0.04);
    place(f.horizontalScrollBar, 0.16, 0.58, 0.15, 0.03);
    place(f.radioButton, 0.02, 0.62, 0.1, 0.04);
    f.radioButton->setFont(font);
    place(f.pushButton, 0.02, 0.665, 0.1, 0.04);
    place(f.comboBox_model, 0.13, 0.665, 0.1, 0.04);
    f.comboBox_model->setFont(font);
    f.comboBox_model->setCurrentIndex(panel.designModel == DesignModel::Refraction ? 1 : 0);  // the model's start value
    moveHere(f.label_15, 0.02, 0.71, 0.02, 0.04, true);
    moveHere(f.spjieci, 0.04, 0.71, 0.05, 0.04, true);
    moveHere(f.pushButton_2, 0.1, 0.71, 0.1, 0.04, true);
    // The headline figures of the current result, above the fit report.
    figuresLabel = new QLabel(this);
    figuresLabel->setObjectName(QStringLiteral("label_figures"));
    figuresLabel->setWordWrap(true);
    figuresLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    figuresLabel->setTextFormat(Qt::PlainText);
    QFont figuresFont = figuresLabel->font();
    figuresFont.setPointSize(std::min(11, font.pointSize() - 1));
    figuresLabel->setFont(figuresFont);
    place(figuresLabel, 0.01, 0.755, 0.3, 0.185, menuHeight);
    moveHere(f.textBrowser, 0.01, 0.945, 0.3, 0.055, false);
    f.textBrowser->setFontPointSize(10);
    f.textBrowser->setText(QStringLiteral("furface fitting results"));
    place(f.graphicsView, 0.32, 0.005, 0.35, 0.99);
    // Beside the fit controls, where the panel has room.
    verifyButton = new QPushButton(QStringLiteral("verify"), this);
    verifyButton->setObjectName(QStringLiteral("pushButton_verify"));
    moveHere(verifyButton, 0.21, 0.71, 0.08, 0.04, true);
    connect(verifyButton, &QPushButton::clicked, this, &MainWindow::verifyClicked);

    for (QWidget* widget : std::initializer_list<QWidget*>{
             f.label, f.spinBox_fl, f.label_12, f.label_2, f.label_3, f.spinBox_rx, f.label_4, f.spinBox_ry,
             f.label_5, f.lineEdit_ps, f.label_6, f.label_7, f.doubleSpinBox_ps, f.label_13, f.doubleSpinBox_index,
             f.label_8, f.spinBox_d, f.label_9, f.label_10, f.spinBox_p, f.label_11, designPrismButton, f.label_14,
             virtualCameraValue, f.radioButton, f.pushButton, f.comboBox_model, f.label_15, f.spjieci,
             f.pushButton_2, verifyButton})
        fitText(widget);
    // Lists keep their font and elide a long name; labels and the box shrink theirs.
    for (QWidget* widget : colourWidgets)
        if (!qobject_cast<QComboBox*>(widget))
            fitText(widget);
}

// The unit of every field is in its label, its suffix or both; the tooltip
// says what the value is.
void MainWindow::setToolTips()
{
    MainWindowForm& f = *form;
    const auto tip = [](std::initializer_list<QWidget*> widgets, const QString& text) {
        for (QWidget* widget : widgets)
            widget->setToolTip(text);
    };
    const QString fixed = QStringLiteral(
        "The design always works on the 1920 x 1080 pixel grid of a %1 mm pixel pitch; the resolution is shown, "
        "not edited.").arg(pixelPitch);
    tip({f.label, f.spinBox_fl, f.label_12, f.horizontalSlider_fl}, panelFieldToolTip(PanelField::FocalLength));
    tip({f.label_2, f.label_3, f.spinBox_rx}, panelFieldToolTip(PanelField::ResolutionX) + QStringLiteral(". ") + fixed);
    tip({f.label_4, f.spinBox_ry}, panelFieldToolTip(PanelField::ResolutionY) + QStringLiteral(". ") + fixed);
    tip({f.label_5, f.lineEdit_ps, f.label_6}, QStringLiteral("pixel pitch of the sensor, mm (fixed)"));
    tip({f.label_7, f.doubleSpinBox_ps}, panelFieldToolTip(PanelField::Angle));
    tip({f.label_13, f.doubleSpinBox_index}, panelFieldToolTip(PanelField::RefractiveIndex));
    tip({f.label_8, f.spinBox_d, f.label_9, f.horizontalSlider_d}, panelFieldToolTip(PanelField::PrismDistance));
    tip({f.label_10, f.spinBox_p, f.label_11}, panelFieldToolTip(PanelField::PrismSize));
    tip({f.label_14, f.horizontalScrollBar, virtualCameraValue},
        panelFieldToolTip(PanelField::VirtualCameraPos) + QStringLiteral(" (the sketch only)"));
    tip({f.radioButton},
        QStringLiteral("sets the angle at which the central ray of each half image leaves along the axis; "
                       "click again to give back the angle you had"));
    tip({f.pushButton}, QStringLiteral("designs both surfaces: output.txt, outputall.txt and design.json in the "
                                       "working directory"));
    tip({f.label_15, f.spjieci}, panelFieldToolTip(PanelField::FitOrder));
    tip({f.pushButton_2}, QStringLiteral("classic fit of the order p of outputall.txt in the working directory, "
                                         "with its report"));
    tip({verifyButton}, QStringLiteral("traces the current result (or the working directory's design and fit) "
                                       "in a window of its own"));
    tip({designPrismButton},
        QStringLiteral("refraction design, prism fit of order 8 with the optimiser, verification, predicted "
                       "calibration of that prism, exports and report.html, into a new result folder"));
    tip({figuresLabel}, QStringLiteral("headline figures of the current result; of an achromat also each glass's "
                                       "thickness, least to most, in each half, and its lateral colour between "
                                       "the band's edges"));
    f.spinBox_rx->setSuffix(QStringLiteral(" px"));
    f.spinBox_ry->setSuffix(QStringLiteral(" px"));
    f.spinBox_rx->setReadOnly(true);
    f.spinBox_ry->setReadOnly(true);
    f.spinBox_rx->setButtonSymbols(QAbstractSpinBox::NoButtons);
    f.spinBox_ry->setButtonSymbols(QAbstractSpinBox::NoButtons);
    f.doubleSpinBox_ps->setSuffix(QStringLiteral("°"));
}

void MainWindow::setResultFolder(const QString& folder)
{
    resultFolder_ = folder;
    resultFolderLabel->setText(
        folder.isEmpty()
            ? QStringLiteral("no result folder yet; freeform and Compute and show write into %1")
                  .arg(QDir::toNativeSeparators(QDir::currentPath()))
            : QStringLiteral("result folder: %1").arg(QDir::toNativeSeparators(folder)));
    resultFolderLabel->setToolTip(resultFolderLabel->text());
}

void MainWindow::showFigures()
{
    if (!figures_) {
        figuresLabel->setText(QStringLiteral("no result yet: \"Design prism\" runs the whole design"));
        figuresLabel->setStyleSheet(QString());
        return;
    }
    const report::HeadlineFigures& f = *figures_;
    QString text = QStringLiteral("direction error RMS %1 px, max %2 px (order %3)\n"
                                  "calibrated residual left %4 px, right %5 px\n"
                                  "depth error %6 % at 1 m; run time %7 s")
                       .arg(pixels(f.directionRmsPx), pixels(f.directionMaxPx))
                       .arg(f.order)
                       .arg(pixels(f.calibratedLeftRmsPx), pixels(f.calibratedRightRmsPx))
                       .arg(std::isfinite(f.depthErrorPercentAt1m) ? QString::number(f.depthErrorPercentAt1m, 'f', 3)
                                                                  : QStringLiteral("-"))
                       .arg(f.seconds, 0, 'f', 1);
    if (!achromatFigures_.isEmpty())
        text += QLatin1Char('\n') + achromatFigures_;
    if (std::isfinite(f.simulatedDepthRmsPercent))
        text += QStringLiteral("\nsimulated: ") + report::simulatedFiguresText(f);
    if (figuresStale_)
        text = QStringLiteral("stale: the panel changed since this result\n") + text;
    figuresLabel->setText(text);
    figuresLabel->setStyleSheet(figuresStale_ ? QStringLiteral("color: gray") : QString());
}

void MainWindow::setRunning(bool running)
{
    for (QWidget* start : std::initializer_list<QWidget*>{form->pushButton, form->pushButton_2, designPrismButton,
                                                          verifyButton})
        start->setEnabled(!running);
    colourPanel->setAchromatEnabled(!running);
    cancelButton->setEnabled(running);
    if (!running) {
        progressBar->setRange(0, 1000);
        stageLabel->setText(QStringLiteral("ready"));
    }
}

// Every value that differs from its control's current one fires that
// control's value slot, so the sketch's copies are filled from here.
namespace {

void applyRange(QSpinBox* box, PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    box->setRange(static_cast<int>(r.low), static_cast<int>(r.high));
    box->setSingleStep(static_cast<int>(r.step));
}

void applyRange(QDoubleSpinBox* box, PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    box->setRange(r.low, r.high);
    box->setSingleStep(r.step);
}

void applyRange(QAbstractSlider* slider, PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    slider->setRange(static_cast<int>(r.low), static_cast<int>(r.high));
    slider->setSingleStep(static_cast<int>(r.step));
}

} // namespace

// Every value that differs from its control's current one fires that
// control's value slot, so the model is filled from here, in this order.
void MainWindow::initPanelValues()
{
    MainWindowForm& f = *form;
    const PanelParameters start;
    f.horizontalSlider_fl->setValue(start.focalLength);
    applyRange(f.horizontalSlider_fl, PanelField::FocalLength);
    qDebug() << screenWidth;
    f.spinBox_fl->setValue(start.focalLength);
    applyRange(f.spinBox_fl, PanelField::FocalLength);
    connect(f.horizontalSlider_fl, SIGNAL(valueChanged(int)), f.spinBox_fl, SLOT(setValue(int)));
    connect(f.spinBox_fl, SIGNAL(valueChanged(int)), f.horizontalSlider_fl, SLOT(setValue(int)));

    applyRange(f.spinBox_rx, PanelField::ResolutionX);
    f.spinBox_rx->setValue(start.resolutionX);
    applyRange(f.spinBox_ry, PanelField::ResolutionY);
    f.spinBox_ry->setValue(start.resolutionY);

    f.lineEdit_ps->setText(QString::number(pixelPitch));
    f.lineEdit_ps->setEnabled(false);

    f.doubleSpinBox_ps->setValue(start.angleDeg);
    applyRange(f.doubleSpinBox_ps, PanelField::Angle);

    applyRange(f.horizontalSlider_d, PanelField::PrismDistance);
    f.horizontalSlider_d->setValue(start.prismDistance);
    f.spinBox_d->setValue(start.prismDistance);
    applyRange(f.spinBox_d, PanelField::PrismDistance);
    connect(f.horizontalSlider_d, SIGNAL(valueChanged(int)), f.spinBox_d, SLOT(setValue(int)));
    connect(f.spinBox_d, SIGNAL(valueChanged(int)), f.horizontalSlider_d, SLOT(setValue(int)));

    f.spinBox_p->setValue(start.prismSize);
    applyRange(f.spinBox_p, PanelField::PrismSize);

    f.doubleSpinBox_index->setValue(start.refractiveIndex);
    applyRange(f.doubleSpinBox_index, PanelField::RefractiveIndex);

    applyRange(f.horizontalScrollBar, PanelField::VirtualCameraPos);
    f.horizontalScrollBar->setValue(start.prismDistance + start.focalLength);

    f.spjieci->setValue(start.fitOrder);
    applyRange(f.spjieci, PanelField::FitOrder);
    parametersChanged();
}

void MainWindow::parametersChanged()
{
    const CentralRayHit hit = centralRayHit(panel);
    if (hit.defined)
        lastHit = hit;
    sketchItem->setParameters(panel);
    sketchItem->update();
    scene->update();
    if (virtualCameraValue)
        virtualCameraValue->setText(QStringLiteral("%1 mm").arg(panel.virtualCameraPos));
    if (figures_ && !figuresStale_) {
        figuresStale_ = true;
        showFigures();
    }
}

void MainWindow::on_horizontalScrollBar_valueChanged(int value)
{
    panel.virtualCameraPos = value;
    parametersChanged();
}

void MainWindow::on_horizontalSlider_fl_valueChanged(int value)
{
    panel.focalLength = value;
    parametersChanged();
}

void MainWindow::on_spinBox_rx_valueChanged(int arg1)
{
    panel.resolutionX = arg1;
    parametersChanged();
}

void MainWindow::on_spinBox_ry_valueChanged(int arg1)
{
    panel.resolutionY = arg1;
    parametersChanged();
}

void MainWindow::on_doubleSpinBox_ps_valueChanged(double arg1)
{
    panel.setAngle(arg1);
    parametersChanged();
}

void MainWindow::on_spinBox_d_valueChanged(int arg1)
{
    panel.prismDistance = arg1;
    parametersChanged();
}

void MainWindow::on_spinBox_p_valueChanged(int arg1)
{
    panel.prismSize = arg1;
    parametersChanged();
}

void MainWindow::on_doubleSpinBox_index_valueChanged(double arg1)
{
    panel.refractiveIndex = arg1;
    parametersChanged();
}

// The design gets the rule's exact angle; the spin box keeps two decimals,
// and its slot hands the rounded value to the design only when the shown
// value changes. Turned off, the angle the user had comes back.
void MainWindow::on_radioButton_clicked(bool checked)
{
    if (checked) {
        userAngle = form->doubleSpinBox_ps->value();
        panel.applyFixAngle();
        form->doubleSpinBox_ps->setValue(panel.angleDeg);
        form->doubleSpinBox_ps->setEnabled(false);
    } else {
        panel.fixAngle = false;
        form->doubleSpinBox_ps->setEnabled(true);
        form->doubleSpinBox_ps->setValue(userAngle);
        panel.setAngle(form->doubleSpinBox_ps->value());
    }
    parametersChanged();
}

void MainWindow::on_pushButton_clicked()
{
    struct Outcome {
        bool locked = true;
        QString why;
        QString unfinished;  // an interrupted commit that could not be finished
        DesignRunResult result;
    };
    auto outcome = std::make_shared<Outcome>();
    const DesignParameters parameters = toDesignParameters(panel, lastHit);
    const PanelParameters values = panel;
    task_->start(QStringLiteral("design"), [outcome, parameters, values](core::Progress& progress) {
        DirectoryLock lock(QStringLiteral("."));
        if (!(outcome->locked = lockWorkingDirectory(&lock, progress, &outcome->why)))
            return;
        AtomicFileSet::recover(QStringLiteral("."), nullptr, fitScratchFileNames(), &outcome->unfinished);
        DesignRunOptions options;
        options.model = values.designModel;
        options.panel = &values;  // recorded in "design.json"
        options.progress = &progress;  // Cancel stops the columns
        outcome->result = runDesign(parameters, options);
    }, [this, outcome](BackgroundTask::Outcome how, const QString& message) {
        if (how == BackgroundTask::Outcome::Cancelled) {
            stageLabel->setText(QStringLiteral("design cancelled: nothing written"));
            return;
        }
        if (how == BackgroundTask::Outcome::Failed) {
            QMessageBox::warning(nullptr, QStringLiteral("not run"), QStringLiteral("The design failed: %1.").arg(message));
            return;
        }
        if (!outcome->locked) {
            QMessageBox::warning(nullptr, QStringLiteral("not run"),
                                 QStringLiteral("The design was not run: %1.").arg(outcome->why));
            return;
        }
        showUnfinished(outcome->unfinished);
        folderWatcher->acknowledge();
        const DesignRunResult& result = outcome->result;
        if (!result.pointsDigest.isEmpty())
            ownDesign = designOriginFor(QStringLiteral("."), result.pointsDigest);
        if (result.profileWritten && result.gridWritten)
            QMessageBox::about(nullptr, QStringLiteral("ok"), QStringLiteral("work done"));
        else
            QMessageBox::warning(nullptr, QStringLiteral("not written"),
                                 QStringLiteral("%1.\nNot replaced: %2.")
                                     .arg(result.error, result.notReplaced.join(QStringLiteral(", "))));
        emit workdonesignal();
    });
}

void MainWindow::on_comboBox_model_currentIndexChanged(int index)
{
    panel.designModel = index == 1 ? DesignModel::Refraction : DesignModel::Classic;
}

void MainWindow::on_spjieci_valueChanged(int arg1)
{
    panel.fitOrder = arg1;
}

void MainWindow::on_pushButton_2_clicked()
{
    qDebug() << "jieci" << panel.fitOrder;
    struct Outcome {
        bool locked = true;
        QString why;
        QString unfinished;
        FitRunSummary summary;
    };
    auto outcome = std::make_shared<Outcome>();
    const int order = panel.fitOrder;
    task_->start(QStringLiteral("fit of order %1").arg(order), [outcome, order](core::Progress& progress) {
        DirectoryLock lock(QStringLiteral("."));
        if (!(outcome->locked = lockWorkingDirectory(&lock, progress, &outcome->why)))
            return;
        AtomicFileSet::recover(QStringLiteral("."), nullptr, fitScratchFileNames(), &outcome->unfinished);
        outcome->summary = fitAndReportOrder(order);
    }, [this, outcome, order](BackgroundTask::Outcome how, const QString& message) {
        if (how == BackgroundTask::Outcome::Cancelled) {
            stageLabel->setText(QStringLiteral("fit cancelled: nothing written"));
            return;
        }
        if (how == BackgroundTask::Outcome::Failed || !outcome->locked) {
            QMessageBox::warning(nullptr, QStringLiteral("not run"),
                                 QStringLiteral("The fit was not run: %1.")
                                     .arg(how == BackgroundTask::Outcome::Failed ? message : outcome->why));
            return;
        }
        showUnfinished(outcome->unfinished);
        folderWatcher->acknowledge();
        if (order == 3)
            qDebug(" c3");
        else if (order == 4)
            qDebug(" c4");
        const FitRunSummary& summary = outcome->summary;
        if (!summary.error.isEmpty()) {
            // The previous report and fit files stay; the report shown stays too.
            QMessageBox::warning(nullptr, QStringLiteral("fit refused"),
                                 QStringLiteral("The fit of order %1 wrote nothing: %2.\nNot replaced: %3.")
                                     .arg(summary.order)
                                     .arg(summary.error, summary.notReplaced.join(QStringLiteral(", "))));
            return;
        }
        fitComputed = true;
        bool opened = false;
        fitReportText = readFitReportText(QStringLiteral("."), &opened);
        if (!opened)
            qDebug() << "Can not open";
        form->textBrowser->setText(fitReportText);
        emit workdonesignal2();
        // Another window or run replaced this window's design since it ran.
        const QString foreign =
            foreignResultMessage(QStringLiteral("the fit in this folder"), summary.origin, ownDesign);
        if (!foreign.isEmpty()) {
            folderNote->setText(foreign + QLatin1Char('.'));
            QMessageBox::warning(nullptr, QStringLiteral("another design"),
                                 QStringLiteral("%1: the report shown is not of the panel's design.").arg(foreign));
        }
    });
}

void MainWindow::colourChanged()
{
    const bool custom = colourPanel->isCustom();
    form->doubleSpinBox_index->setEnabled(custom);
    double n = form->doubleSpinBox_index->value();
    QString error;
    if (!custom && !colourPanel->materialIndex(&n, &error))
        return;  // refused: the label says why; "Design prism" refuses it too
    panel.refractiveIndex = n;
    parametersChanged();
}

void MainWindow::designPrismClicked()
{
    auto options = std::make_shared<report::OneShotOptions>();
    options->settings.design.panel = panel;
    QString colourError;
    if (!pipeline::resolveColour(colourPanel->choice(), &options->settings.design.panel,
                                 &options->settings.design.colour, &colourError)) {
        QMessageBox::warning(this, QStringLiteral("Design prism"), colourError);
        return;
    }
    QString achromatError;
    if (!colourPanel->checkAchromat(&achromatError)) {
        QMessageBox::warning(this, QStringLiteral("Design prism"), achromatError);
        return;
    }
    options->settings.fit.achromat = colourPanel->achromat();
    // The sound path: the refraction design, whatever the selector shows.
    options->settings.design.panel.designModel = DesignModel::Refraction;
    options->outputDir = QDir::currentPath();
    auto result = std::make_shared<report::OneShotResult>();
    const PanelParameters started = panel;
    task_->start(QStringLiteral("Design prism"), [options, result](core::Progress& progress) {
        QString error;
        if (!report::runPrismOneShot(*options, &progress, result.get(), &error))
            throw std::runtime_error(error.toStdString());
    }, [this, result, started](BackgroundTask::Outcome how, const QString& message) {
        if (how == BackgroundTask::Outcome::Cancelled) {
            stageLabel->setText(QStringLiteral("Design prism cancelled: nothing written"));
            return;
        }
        if (how == BackgroundTask::Outcome::Failed) {
            QMessageBox::warning(this, QStringLiteral("Design prism failed"), message);
            return;
        }
        figures_ = result->figures;
        achromatFigures_ = achromatFiguresText(result->run);
        currentPrism_ = result->run.prismContent();
        // A panel changed while the run was going makes its result stale at once.
        figuresStale_ = !pipeline::samePanel(started, panel);
        setResultFolder(result->folder);
        showFigures();
        emit resultChanged(result->folder);
        if (verificationWindow && verificationWindow->isVisible())
            verificationWindow->verifyDirectory(result->folder, false, started);
    });
}

void MainWindow::verifyClicked()
{
    if (!verificationWindow)
        verificationWindow = new VerificationWindow(this, task_);
    verificationWindow->setDesignModel(panel.designModel);  // for its calibration
    // The current result while it is up to date, else the working directory.
    if (!resultFolder_.isEmpty() && !figuresStale_ && QFileInfo::exists(QDir(resultFolder_).filePath(QString::fromLatin1(prismFileName))))
        verificationWindow->verifyDirectory(resultFolder_, false, panel);
    else
        verificationWindow->verifyDirectory(QStringLiteral("."), fitComputed, panel);
    verificationWindow->show();
    verificationWindow->raise();
}

void MainWindow::applyDesignParameters(const DesignParameters& d, DesignModel model)
{
    MainWindowForm& f = *form;
    f.radioButton->setChecked(false);
    f.doubleSpinBox_ps->setEnabled(true);
    panel.fixAngle = false;
    f.spinBox_fl->setValue(d.focalLength);
    f.spinBox_d->setValue(d.prismDistance);
    f.spinBox_p->setValue(d.prismSize);
    f.doubleSpinBox_index->setValue(roundToSpinBoxDecimals(static_cast<double>(d.refractiveIndex)));
    f.doubleSpinBox_ps->setValue(static_cast<double>(d.angleDeg));
    // The design's own single-precision angle (a fixed angle keeps its decimals).
    panel.designAngleDeg = d.angleDeg;
    f.comboBox_model->setCurrentIndex(model == DesignModel::Refraction ? 1 : 0);
    parametersChanged();
}

bool MainWindow::openDesign(const QString& path, QString* error)
{
    PrismFileContent content;
    if (!readPrismFile(path, &content, error))
        return false;
    DesignModel model = DesignModel::Refraction;
    if (!parseDesignModel(content.designModel, &model)) {
        *error = QStringLiteral("%1: unknown design model \"%2\"").arg(path, content.designModel);
        return false;
    }
    applyDesignParameters(content.panel, model);
    currentPrism_ = content;
    report::HeadlineFigures f;
    const double nan = std::nan("");
    f.order = content.fit.order;
    f.directionRmsPx = content.verified.present ? content.verified.directionRmsPx : nan;
    f.directionMaxPx = content.verified.present ? content.verified.directionMaxPx : nan;
    f.calibratedLeftRmsPx = f.calibratedRightRmsPx = f.depthErrorPercentAt1m = f.baselineMm = nan;
    f.simulatedDepthMm = f.simulatedRowFraction = f.simulatedDepthRmsPercent = f.simulatedFloorRmsPercent =
        f.simulatedPrismSharePercent = f.simulatedVerticalDisparityRmsPx = f.simulationSeconds = nan;
    f.seconds = 0.0;
    figures_ = f;
    achromatFigures_.clear();
    if (content.fit.interface.present)
        achromatFigures_ = QStringLiteral("achromat: %1 (crown) and %2 (flint)")
                               .arg(content.fit.interface.crown, content.fit.interface.flint);
    figuresStale_ = false;
    setResultFolder(QFileInfo(path).absolutePath());
    showFigures();
    rememberDesign(path);
    return true;
}

bool MainWindow::saveDesignAs(const QString& path, QString* error)
{
    if (!currentPrism_) {
        *error = QStringLiteral("no design to save: run \"Design prism\" or open a design first");
        return false;
    }
    const std::string text = prismFileText(*currentPrism_);
    if (!writeFileAtomically(path, text.data(), text.size(), error))
        return false;
    rememberDesign(path);
    return true;
}

void MainWindow::newDesign()
{
    const PanelParameters start;
    applyDesignParameters(toDesignParameters(start, centralRayHit(start)), start.designModel);
    form->horizontalScrollBar->setValue(start.prismDistance + start.focalLength);
    form->spjieci->setValue(start.fitOrder);
    figures_.reset();
    achromatFigures_.clear();
    currentPrism_.reset();
    figuresStale_ = false;
    setResultFolder(QString());
    showFigures();
}
