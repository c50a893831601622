#pragma once

#include "design/refraction_design.h"
#include "fit/design_origin.h"
#include "fit/prism_file.h"
#include "parameters/panel_parameters.h"
#include "report/prism_report.h"

#include <QMainWindow>

#include <memory>
#include <optional>

class BackgroundTask;
class ColourPanel;
class QAction;
class QGraphicsScene;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class FolderWatcher;
class Prismitem;
class VerificationWindow;
class AnalysisWindow;
struct MainWindowForm;

// The parameter panel with the live prism sketch. It owns the panel's
// parameter model; the value slots update it and hand it to the sketch. The
// resolution spin boxes are read-only: the design and the fixed-angle rule
// always work with 1920 x 1080.
//
// Every long action ("freeform", "Compute and show", "Design prism", and the
// verification window's) runs on a worker through one BackgroundTask: the
// status bar shows its progress and a Cancel button, and the controls that
// would start another run are disabled until it ends.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    Prismitem* sketch() const { return sketchItem; }
    const PanelParameters& parameters() const { return panel; }
    // The central-ray hit the next design starts from: that of the current
    // values, or the last defined one while the ray runs parallel to the face.
    const CentralRayHit& designCentralRayHit() const { return lastHit; }
    // The model the next design computes (the selector beside "freeform").
    DesignModel selectedDesignModel() const { return panel.designModel; }
    BackgroundTask* task() const { return task_; }
    AnalysisWindow* analysis() const { return analysisWindow; }
    // The folder of the current "Design prism" result (empty before one).
    QString resultFolder() const { return resultFolder_; }
    // The headline figures shown are those of a panel that has changed since.
    bool figuresStale() const { return figuresStale_; }

    // File menu actions, callable without a dialog.
    bool openDesign(const QString& path, QString* error);
    bool saveDesignAs(const QString& path, QString* error);
    void newDesign();

signals:
    void workdonesignal();
    void workdonesignal2();
    // "Design prism" wrote a new result folder.
    void resultChanged(const QString& folder);

private slots:
    void on_horizontalScrollBar_valueChanged(int value);
    void on_horizontalSlider_fl_valueChanged(int value);
    void on_spinBox_rx_valueChanged(int arg1);
    void on_spinBox_ry_valueChanged(int arg1);
    void on_doubleSpinBox_ps_valueChanged(double arg1);
    void on_spinBox_d_valueChanged(int arg1);
    void on_spinBox_p_valueChanged(int arg1);
    void on_doubleSpinBox_index_valueChanged(double arg1);
    void on_radioButton_clicked(bool checked);
    void on_pushButton_clicked();
    void on_spjieci_valueChanged(int arg1);
    void on_pushButton_2_clicked();
    void on_comboBox_model_currentIndexChanged(int index);
    // "verify": the current result, or the design and fit in the working directory.
    void verifyClicked();
    // "Design prism": the one-shot run into a new result folder.
    void designPrismClicked();
    // The material, wavelength or band changed: a material's index replaces the spin box's.
    void colourChanged();

private:
    void initPanelValues();
    void placeWidgets(const QFont& font);
    void addFileMenu();
    // One action per tab of the analysis window.
    void addAnalysisMenu();
    void addRunStatus();
    void setToolTips();
    // The model changed: the sketch gets it, the design's hit follows it,
    // and the figures of the current result go stale.
    void parametersChanged();
    void setRunning(bool running);
    void showFigures();
    void setResultFolder(const QString& folder);
    void rememberDesign(const QString& path);
    void updateRecentMenu();
    // Puts the values of a design's inputs into the panel's controls.
    void applyDesignParameters(const DesignParameters& d, DesignModel model);

    QGraphicsScene* scene = nullptr;
    Prismitem* sketchItem = nullptr;
    PanelParameters panel;
    CentralRayHit lastHit;
    MainWindowForm* form = nullptr;
    QPushButton* verifyButton = nullptr;
    QPushButton* designPrismButton = nullptr;
    ColourPanel* colourPanel = nullptr;
    QLabel* virtualCameraValue = nullptr;
    QLabel* figuresLabel = nullptr;
    QLabel* resultFolderLabel = nullptr;
    QLabel* stageLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QMenu* recentMenu = nullptr;
    VerificationWindow* verificationWindow = nullptr;
    AnalysisWindow* analysisWindow = nullptr;
    BackgroundTask* task_ = nullptr;
    bool fitComputed = false;
    double userAngle = 20.0;  // the angle before "fix angle", given back when it is turned off
    // The current result: from "Design prism", or a design opened from a file.
    std::optional<report::HeadlineFigures> figures_;
    QString achromatFigures_;  // a cemented prism's glasses, colour and thicknesses
    std::optional<PrismFileContent> currentPrism_;
    QString resultFolder_;
    bool figuresStale_ = false;
    // The design this window wrote last, to tell a fit of another one.
    DesignOrigin ownDesign;
    // Says (in folderNote, under the prism values) when another window or
    // process changes the results here, and when a fit is of another design.
    FolderWatcher* folderWatcher = nullptr;
    QLabel* folderNote = nullptr;
    // A box for an interrupted commit that could not be finished (none when empty).
    void showUnfinished(const QString& problem);
};
