#pragma once

#include <QMainWindow>

class QGraphicsScene;
class Prismitem;
struct MainWindowForm;

// The parameter panel with the live prism sketch. It owns the design
// parameters; the sketch item holds float copies that the value slots keep
// current. The resolution spin boxes change only the sketch's copies: the
// design and the fixed-angle rule always work with 1920 x 1080.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    Prismitem* sketch() const { return sketchItem; }

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

private:
    void initPanelValues();
    void placeWidgets(const QFont& font);
    void repaintSketch();

    QGraphicsScene* scene = nullptr;
    Prismitem* sketchItem = nullptr;
    double angleDeg = 20.0;
    int focalLength = 35;
    int resolutionX = 1920;
    int resolutionY = 1080;
    int prismDistance = 175;
    int prismSize = 100;
    float refractiveIndex = 1.48f;
    int virtualCameraPos = 0; // first set from the scroll bar while the panel is set up
    int fitOrder = 3;
    MainWindowForm* form = nullptr;
};
