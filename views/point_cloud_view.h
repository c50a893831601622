#pragma once

#include "views/point_set.h"

#include <QBasicTimer>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QQuaternion>
#include <QSize>
#include <QString>
#include <QVector2D>
#include <QVector3D>

#include <memory>

// What both 3D views share: the GL set-up, the drawing of the point set on the
// projection matrix, the mouse flick and the 12 ms spin that decays by itself.
// A view only says which files it loads (loadPointSet) and carries its own
// meta-object with the slots receiveData, repaint and shownew.
class PointCloudView : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT

public:
    ~PointCloudView() override;

    const Showoutput &points() const { return *pointSet; }
    // Chooses how the points are sent to GL; both give the same picture.
    void setDrawPath(Showoutput::DrawPath path) { pointSet->drawPath = path; }
    double currentSpinSpeed() const { return spinSpeed; }
    QQuaternion currentOrientation() const { return orientation; }
    // Id of the spin timer; 0 until the GL context exists.
    int spinTimerId() const { return spinTimer.timerId(); }

protected:
    // Sized from the screen: int(0.3 W) by int(0.5 H).
    // The view keeps the fixed size it is given.
    PointCloudView(std::unique_ptr<Showoutput> set, QSize size, QWidget *parent);

    // Replaces the point set with the view's files.
    virtual void loadPointSet() = 0;

    // The work of the slots receiveData and shownew.
    void takeNote(const QString &data);
    void reload();

    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;

    const std::unique_ptr<Showoutput> pointSet;
    QBasicTimer spinTimer;
    QVector2D pressPosition;
    QVector3D spinAxis;
    double spinSpeed = 0.0;
    QQuaternion orientation;
    QString note;
};
