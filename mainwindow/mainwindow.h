#pragma once

#include "design/refraction_design.h"
#include "fit/design_origin.h"
#include "parameters/panel_parameters.h"

#include <QMainWindow>

class QGraphicsScene;
class QPushButton;
class FolderWatcher;
class QLabel;
class Prismitem;
class VerificationWindow;
struct MainWindowForm;

// The parameter panel with the live prism sketch. It owns the panel's
// parameter model; the value slots update it and hand it to the sketch. The
// resolution spin boxes change only the sketch: the design and the
// fixed-angle rule always work with 1920 x 1080.
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

signals:
    void workdonesignal();
    void workdonesignal2();

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
    // "verify": the design and the fit in the working directory.
    void verifyClicked();

private:
    void initPanelValues();
    void placeWidgets(const QFont& font);
    // The model changed: the sketch gets it, the design's hit follows it.
    void parametersChanged();

    QGraphicsScene* scene = nullptr;
    Prismitem* sketchItem = nullptr;
    PanelParameters panel;
    CentralRayHit lastHit;
    MainWindowForm* form = nullptr;
    QPushButton* verifyButton = nullptr;
    VerificationWindow* verificationWindow = nullptr;
    bool fitComputed = false;
    // The design this window wrote last, to tell a fit of another one.
    DesignOrigin ownDesign;
    // Says (in folderNote, under the prism values) when another window or
    // process changes the results here, and when a fit is of another design.
    FolderWatcher* folderWatcher = nullptr;
    QLabel* folderNote = nullptr;
    // Finishes an interrupted commit; one that cannot be finished gets a box.
    void recoverFolder();
};
