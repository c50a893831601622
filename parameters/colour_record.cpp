#include "parameters/colour_record.h"

#include "textio/json_writer.h"

#include <QJsonObject>

void writeColourRecord(JsonWriter& w, const ColourRecord& colour)
{
    if (!colour.recorded)
        return;
    w.key("material").string(colour.material);
    w.key("wavelengthNm").number(colour.wavelengthNm);
    w.key("band").beginObject();
    w.key("name").string(colour.band);
    w.key("lowNm").number(colour.bandLowNm);
    w.key("highNm").number(colour.bandHighNm);
    w.endObject();
}

ColourRecord readColourRecord(const QJsonObject& root)
{
    ColourRecord c;
    if (!root.contains(QLatin1String("material")))
        return c;
    c.recorded = true;
    c.material = root.value(QLatin1String("material")).toString(c.material);
    c.wavelengthNm = root.value(QLatin1String("wavelengthNm")).toDouble(c.wavelengthNm);
    const QJsonObject band = root.value(QLatin1String("band")).toObject();
    c.band = band.value(QLatin1String("name")).toString(c.band);
    c.bandLowNm = band.value(QLatin1String("lowNm")).toDouble(c.bandLowNm);
    c.bandHighNm = band.value(QLatin1String("highNm")).toDouble(c.bandHighNm);
    return c;
}
