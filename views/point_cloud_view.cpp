#include "views/point_cloud_view.h"

#include <QDebug>
#include <QMouseEvent>
#include <QTimerEvent>

#include <utility>

PointCloudView::PointCloudView(std::unique_ptr<Showoutput> set, QSize size, QWidget *parent)
    : QOpenGLWidget(parent), pointSet(std::move(set))
{
    setFixedSize(size);
}

PointCloudView::~PointCloudView()
{
    makeCurrent();
    doneCurrent();
}

void PointCloudView::takeNote(const QString &data)
{
    note = data;
    qDebug() << "receive" << note;
}

void PointCloudView::reload()
{
    loadPointSet();
    update();
}

void PointCloudView::initializeGL()
{
    initializeOpenGLFunctions();
    glClearColor(1.0f, 1.0f, 1.0f, 0.0f);
    glShadeModel(GL_FLAT);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);

    const GLfloat diffuse[] = {1.0f, 1.0f, 1.0f, 1.0f};
    const GLfloat position[] = {0.0f, 0.0f, -50.0f, 1.0f};
    glLightfv(GL_LIGHT1, GL_DIFFUSE, diffuse);
    glLightfv(GL_LIGHT1, GL_POSITION, position);
    glEnable(GL_LIGHT1);
    glDisable(GL_TEXTURE_2D);

    loadPointSet();
    spinTimer.start(12, this);
}

void PointCloudView::resizeGL(int, int)
{
    // The cloud is drawn in normalised device coordinates: a resize changes
    // nothing but the viewport, which the widget sets itself.
}

void PointCloudView::paintGL()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // The whole transform goes onto the projection matrix; model-view stays
    // the identity, so the light and the normals are never turned.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    pointSet->drawPoints(0.0f, 0.0f, 0.0f, 0.02f, orientation);
}

void PointCloudView::mousePressEvent(QMouseEvent *event)
{
    pressPosition = QVector2D(event->localPos());
}

void PointCloudView::mouseReleaseEvent(QMouseEvent *event)
{
    const QVector2D diff = QVector2D(event->localPos()) - pressPosition;
    // The spin axis is perpendicular to the drag, in the screen plane.
    const QVector3D n = QVector3D(diff.y(), diff.x(), 0.0f).normalized();
    const double acc = diff.length() / 100.0;
    spinAxis = (spinAxis * float(spinSpeed) + n * float(acc)).normalized();
    spinSpeed += acc;
}

void PointCloudView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != spinTimer.timerId()) {
        QOpenGLWidget::timerEvent(event);
        return;
    }
    spinSpeed *= 0.9;
    if (spinSpeed < 0.05) {
        spinSpeed = 0.0;
        return;
    }
    orientation = QQuaternion::fromAxisAndAngle(spinAxis, float(spinSpeed)) * orientation;
    update();
}
