#pragma once

// The colour a prism is made for, as design.json and prism.json record it:
// the material's name, the wavelength the design is made at and the band it
// is verified and calibrated in. Not recorded (no members written) when a
// run names none of them, so such files stay as they always were.

#include <QString>

struct ColourRecord {
    bool recorded = false;
    QString material = QStringLiteral("custom");
    double wavelengthNm = 587.5618;
    QString band = QStringLiteral("visible");
    double bandLowNm = 486.1327;
    double bandHighNm = 656.2725;
};

class JsonWriter;
class QJsonObject;

// Members "material", "wavelengthNm" and "band" {name, lowNm, highNm} when
// recorded; nothing otherwise.
void writeColourRecord(JsonWriter& writer, const ColourRecord& colour);
// Reads them back; a file without them is not recorded.
ColourRecord readColourRecord(const QJsonObject& root);
