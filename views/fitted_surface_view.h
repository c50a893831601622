#pragma once

#include "views/point_cloud_view.h"

// The fitted points of both surfaces, from "output_fit_fig1.txt" and
// "output_fit_fig2.txt"; reloaded by shownew when a fit has finished.
class MyWidget2 : public PointCloudView {
    Q_OBJECT

public:
    explicit MyWidget2(QSize size, QWidget *parent = nullptr);

public slots:
    // Keeps the text and logs it.
    void receiveData(QString data);
    // Schedules a repaint; the frame is drawn by paintGL.
    void repaint();
    // Reloads both fit files and schedules a repaint.
    void shownew();

protected:
    void loadPointSet() override;
};
