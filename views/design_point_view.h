#pragma once

#include "views/point_cloud_view.h"

// The design point cloud of both prism surfaces, from "outputall.txt";
// reloaded by shownew when a design has finished.
class MyWidget : public PointCloudView {
    Q_OBJECT

public:
    explicit MyWidget(QSize size, QWidget *parent = nullptr);

public slots:
    // Keeps the text and logs it; it is printed with every frame.
    void receiveData(QString data);
    // Schedules a repaint; the frame is drawn by paintGL.
    void repaint();
    // Reloads "outputall.txt" and schedules a repaint.
    void shownew();

protected:
    void loadPointSet() override;
    void paintGL() override;
};
