#include "views/fitted_surface_view.h"

#include "fit/fit_files.h"

MyWidget2::MyWidget2(QSize size, QWidget *parent) : PointCloudView(std::make_unique<Showoutput2>(), size, parent) {}

void MyWidget2::receiveData(QString data) { takeNote(data); }

void MyWidget2::repaint() { update(); }

void MyWidget2::shownew() { reload(); }

void MyWidget2::loadPointSet()
{
    // The set was made a Showoutput2 by the constructor above.
    static_cast<Showoutput2 &>(*pointSet).loadPointPairs(surface1FitFileName, surface2FitFileName);
}
