#include "views/design_point_view.h"

#include "design/design_files.h"

#include <QDebug>

MyWidget::MyWidget(QSize size, QWidget *parent) : PointCloudView(std::make_unique<Showoutput>(), size, parent) {}

void MyWidget::receiveData(QString data) { takeNote(data); }

void MyWidget::repaint() { update(); }

void MyWidget::shownew() { reload(); }

void MyWidget::loadPointSet() { pointSet->loadPoints(designPointsFileName); }

void MyWidget::paintGL()
{
    PointCloudView::paintGL();
    qDebug() << "drawwwww" << note;
}
