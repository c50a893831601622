#include "mainwindow/mainwindow.h"

#include "design/design_json.h"
#include "design/design_run.h"
#include "fit/fit_json.h"
#include "fit/fit_report.h"
#include "fit/fit_run.h"
#include "io/atomic_file_set.h"
#include "io/directory_lock.h"
#include "mainwindow/folder_watcher.h"
#include "mainwindow/mainwindow_form.h"
#include "mainwindow/shared_state.h"
#include "mainwindow/verification_window.h"
#include "sketch/prismitem.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTextBrowser>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    form = new MainWindowForm;
    form->setupForm(this);
    // A lone auto-exclusive radio button can be clicked off again; in an
    // exclusive group it stays checked and every click recomputes the angle.
    QButtonGroup* fixAngleGroup = new QButtonGroup(this);
    fixAngleGroup->addButton(form->radioButton);
    QFont font;
    font.setPointSize(15);
    // The parameters already hold their start values (member initialisers).
    scene = new QGraphicsScene;
    form->graphicsView->setScene(scene);
    form->graphicsView->scale(1.2, 1.2);
    sketchItem = new Prismitem(0.3 * screenWidth, 0.5 * screenHeight);
    scene->addItem(sketchItem);
    placeWidgets(font);
    initPanelValues();
    const QStringList results{QString::fromLatin1(designProfileFileName), QString::fromLatin1(designPointsFileName),
                              QString::fromLatin1(designJsonFileName), QString::fromLatin1(surface1FitFileName),
                              QString::fromLatin1(surface2FitFileName), QString::fromLatin1(fitReportFileName),
                              QString::fromLatin1(fitJsonFileName)};
    folderNote = new QLabel(this);
    folderNote->setObjectName(QStringLiteral("label_folder"));
    folderNote->setWordWrap(true);
    folderNote->setStyleSheet(QStringLiteral("color: #b00000"));
    folderNote->setGeometry(static_cast<int>(0.01 * screenWidth), static_cast<int>(0.413 * screenHeight),
                            static_cast<int>(0.3 * screenWidth), static_cast<int>(0.027 * screenHeight));
    folderWatcher = new FolderWatcher(QStringLiteral("."), results, this);
    connect(folderWatcher, &FolderWatcher::changedElsewhere, this, [this](const QStringList& names) {
        folderNote->setText(QStringLiteral("Another window or program changed the results in this folder: %1.")
                                .arg(names.join(QStringLiteral(", "))));
    });
}

void MainWindow::recoverFolder()
{
    QString problem;
    AtomicFileSet::recover(QStringLiteral("."), nullptr, fitScratchFileNames(), &problem);
    if (!problem.isEmpty())
        QMessageBox::warning(nullptr, QStringLiteral("unfinished"), problem + QLatin1Char('.'));
}

MainWindow::~MainWindow()
{
    delete form;
    // The scene has no parent; the view does not own it.
    delete scene;
}

// Positions as fractions of the screen, truncated toward zero. The prism rows,
// the fit controls and the report move onto the main window itself.
void MainWindow::placeWidgets(const QFont& font)
{
    const auto place = [](QWidget* widget, double x, double y, double w, double h) {
        widget->setGeometry(static_cast<int>(x * screenWidth), static_cast<int>(y * screenHeight),
                            static_cast<int>(w * screenWidth), static_cast<int>(h * screenHeight));
    };
    const auto moveHere = [this, &place, &font](QWidget* widget, double x, double y, double w, double h,
                                                 bool bigFont) {
        widget->setParent(this);
        place(widget, x, y, w, h);
        if (bigFont)
            widget->setFont(font);
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
    place(f.groupBox_2, 0.01, 0.21, 0.3, 0.2);
    f.groupBox_2->setFont(font);
    moveHere(f.label_7, 0.02, 0.24, 0.06, 0.04, true);
    moveHere(f.doubleSpinBox_ps, 0.08, 0.24, 0.05, 0.04, true);
    moveHere(f.label_13, 0.17, 0.24, 0.06, 0.04, true);
    moveHere(f.doubleSpinBox_index, 0.23, 0.24, 0.05, 0.04, true);
    moveHere(f.label_8, 0.02, 0.29, 0.06, 0.04, true);
    moveHere(f.spinBox_d, 0.08, 0.29, 0.05, 0.04, true);
    moveHere(f.label_9, 0.13, 0.29, 0.02, 0.04, true);
    moveHere(f.horizontalSlider_d, 0.15, 0.29, 0.1, 0.04, false);
    moveHere(f.label_10, 0.02, 0.34, 0.06, 0.04, true);
    moveHere(f.spinBox_p, 0.08, 0.34, 0.05, 0.04, true);
    moveHere(f.label_11, 0.13, 0.34, 0.02, 0.04, true);
    place(f.label_14, 0.02, 0.44, 0.1, 0.04);
    f.label_14->setFont(font);
    place(f.horizontalScrollBar, 0.02, 0.48, 0.3, 0.04);
    place(f.radioButton, 0.02, 0.54, 0.1, 0.04);
    f.radioButton->setFont(font);
    place(f.pushButton, 0.02, 0.58, 0.1, 0.04);
    place(f.comboBox_model, 0.13, 0.58, 0.1, 0.04);
    f.comboBox_model->setFont(font);
    f.comboBox_model->setCurrentIndex(panel.designModel == DesignModel::Refraction ? 1 : 0);  // the model's start value
    moveHere(f.label_15, 0.02, 0.64, 0.02, 0.04, true);
    moveHere(f.spjieci, 0.04, 0.64, 0.05, 0.04, true);
    moveHere(f.pushButton_2, 0.1, 0.64, 0.1, 0.04, true);
    moveHere(f.textBrowser, 0.01, 0.7, 0.3, 0.3, false);
    f.textBrowser->setFontPointSize(10);
    f.textBrowser->setText(QStringLiteral("furface fitting results"));
    place(f.graphicsView, 0.32, 0.005, 0.35, 1.0);
    // Beside the fit controls, where the panel has room.
    verifyButton = new QPushButton(QStringLiteral("verify"), this);
    verifyButton->setObjectName(QStringLiteral("pushButton_verify"));
    moveHere(verifyButton, 0.21, 0.64, 0.08, 0.04, true);
    connect(verifyButton, &QPushButton::clicked, this, &MainWindow::verifyClicked);
}

void MainWindow::verifyClicked()
{
    if (!verificationWindow)
        verificationWindow = new VerificationWindow(this);
    verificationWindow->setDesignModel(panel.designModel);  // for its calibration
    verificationWindow->verifyDirectory(QStringLiteral("."), fitComputed, panel);
    verificationWindow->show();
    verificationWindow->raise();
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
// value changes.
void MainWindow::on_radioButton_clicked(bool checked)
{
    if (checked) {
        panel.applyFixAngle();
        form->doubleSpinBox_ps->setValue(panel.angleDeg);
        form->doubleSpinBox_ps->setEnabled(false);
    } else {
        form->doubleSpinBox_ps->setEnabled(true);
    }
    parametersChanged();
}

void MainWindow::on_pushButton_clicked()
{
    // One run per directory: another window or command-line run writing here
    // gets a message, not a mix of two runs' files.
    DirectoryLock lock(QStringLiteral("."));
    QString why;
    if (!lock.acquire(DirectoryLock::Mode::Refuse, &why)) {
        QMessageBox::warning(nullptr, QStringLiteral("not run"), QStringLiteral("The design was not run: %1.").arg(why));
        return;
    }
    recoverFolder();
    DesignRunOptions options;
    options.model = panel.designModel;
    options.panel = &panel;  // recorded in "design.json"
    const DesignRunResult result = runDesign(toDesignParameters(panel, lastHit), options);
    lock.release();
    folderWatcher->acknowledge();
    if (!result.pointsDigest.isEmpty())
        ownDesign = designOriginFor(QStringLiteral("."), result.pointsDigest);
    if (result.profileWritten && result.gridWritten)
        QMessageBox::about(nullptr, QStringLiteral("ok"), QStringLiteral("work done"));
    else
        QMessageBox::warning(nullptr, QStringLiteral("not written"),
                             QStringLiteral("%1.\nNot replaced: %2.")
                                 .arg(result.error, result.notReplaced.join(QStringLiteral(", "))));
    emit workdonesignal();
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
    DirectoryLock lock(QStringLiteral("."));
    QString why;
    if (!lock.acquire(DirectoryLock::Mode::Refuse, &why)) {
        QMessageBox::warning(nullptr, QStringLiteral("not run"), QStringLiteral("The fit was not run: %1.").arg(why));
        return;
    }
    recoverFolder();
    const FitRunSummary summary = fitAndReportOrder(panel.fitOrder);
    lock.release();
    folderWatcher->acknowledge();
    if (panel.fitOrder == 3)
        qDebug(" c3");
    else if (panel.fitOrder == 4)
        qDebug(" c4");
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
    const QString foreign = foreignResultMessage(QStringLiteral("the fit in this folder"), summary.origin, ownDesign);
    if (!foreign.isEmpty()) {
        folderNote->setText(foreign + QLatin1Char('.'));
        QMessageBox::warning(nullptr, QStringLiteral("another design"),
                             QStringLiteral("%1: the report shown is not of the panel's design.").arg(foreign));
    }
}
