#include "fit/fit_orders.h"

#include "fit/surface_models.h"

namespace {

const FitOrder fitOrders[] = {
    {3, fitSurface1Terms3, 3, fitSurface2Terms6, 6, " "},
    {4, fitSurface1Terms6, 6, fitSurface2Terms9, 9, ""},
    {5, fitSurface1Terms6, 6, fitSurface2Terms12, 12, ""},
    {6, fitSurface1Terms10, 10, fitSurface2Terms16, 16, ""},
    {7, fitSurface1Terms10, 10, fitSurface2Terms20, 20, ""},
    {8, fitSurface1Terms15, 15, fitSurface2Terms25, 25, ""},
};

}  // namespace

const FitOrder& fitOrderEntry(int order)
{
    if (order < lowestFitOrder || order > highestFitOrder)
        order = lowestFitOrder;
    return fitOrders[order - lowestFitOrder];
}
