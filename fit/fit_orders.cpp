#include "fit/fit_orders.h"

#include "fit/surface_models.h"

namespace {

const FitOrder fitOrders[] = {
    {3, fitSurface1Terms3, 3, fitSurface2Terms6, 6,
     "z = a(0) + a(1)*x^2 + a(2)*y^2 \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2 \n\n",
     " "},
    {4, fitSurface1Terms6, 6, fitSurface2Terms9, 9,
     "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n"
     "    a(4) *x^2*y^2 + a(5) *y^4 \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n"
     "    b(7) *x^2*y^2 + b(8) *y^4 \n\n",
     ""},
    {5, fitSurface1Terms6, 6, fitSurface2Terms12, 12,
     "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n"
     "    a(4) *x^2*y^2 + a(5) *y^4 \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n"
     "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + \n"
     "    b(10)*x^3*y^2 + b(11)*x*y^4 \n\n",
     ""},
    {6, fitSurface1Terms10, 10, fitSurface2Terms16, 16,
     "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n"
     "    a(4) *x^2*y^2 + a(5) *y^4     + a(6) *x^6 +  \n"
     "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n"
     "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + \n"
     "    b(10)*x^3*y^2 + b(11)*x*y^4   + b(12)*x^6 + \n"
     "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 \n\n",
     ""},
    {7, fitSurface1Terms10, 10, fitSurface2Terms20, 20,
     "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n"
     "    a(4) *x^2*y^2 + a(5) *y^4     + a(6) *x^6 +  \n"
     "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n"
     "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + \n"
     "    b(10)*x^3*y^2 + b(11)*x*y^4   + b(12)*x^6 + \n"
     "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 + \n"
     "    b(16)*x^7     + b(17)*x^5*y^2 + b(18)*x^3*y^4 + \n"
     "    b(19)*x*y^6 \n\n",
     ""},
    {8, fitSurface1Terms15, 15, fitSurface2Terms25, 25,
     "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n"
     "    a(4) *x^2*y^2 + a(5) *y^4     + a(6) *x^6 +  \n"
     "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 + \n"
     "    a(10)*x^8     + a(11)*x^6*y^2 + a(12)*x^4*y^4 + \n"
     "    a(13)*x^2*y^6 + a(14)*y^8  \n\n",
     "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n"
     "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n"
     "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + \n"
     "    b(10)*x^3*y^2 + b(11)*x*y^4   + b(12)*x^6 + \n"
     "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 + \n"
     "    b(16)*x^7     + b(17)*x^5*y^2 + b(18)*x^3*y^4 + \n"
     "    b(19)*x*y^6   + b(20)*x^8     + b(21)*x^6*y^2 + \n"
     "    b(22)*x^4*y^4 + b(23)*x^2*y^6 + b(24)*y^8 \n\n",
     ""},
};

}  // namespace

const FitOrder& fitOrderEntry(int order)
{
    if (order < lowestFitOrder || order > highestFitOrder)
        order = lowestFitOrder;
    return fitOrders[order - lowestFitOrder];
}
