#include "pipeline/colour.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace pipeline {

bool loadCatalogue(const QString& file, materials::Catalogue* catalogue, QString* error)
{
    *catalogue = materials::Catalogue::builtIn();
    if (file.isEmpty())
        return true;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot be read (%2)").arg(file, in.errorString());
        return false;
    }
    return catalogue->add(in.readAll(), file, error);
}

bool resolveColour(const ColourChoice& choice, PanelParameters* panel, ColourInput* colour, QString* error)
{
    materials::Catalogue catalogue;
    if (!loadCatalogue(choice.catalogueFile, &catalogue, error))
        return false;
    ColourInput out;
    if (!materials::findMaterial(catalogue, choice.material, panel->refractiveIndex, &out.material, error))
        return false;
    double designIndex = 0.0;
    if (!materials::indexAt(out.material, choice.wavelengthNm, &designIndex, error)) {
        *error = QStringLiteral("--wavelength: ") + *error;
        return false;
    }
    if (!materials::parseBand(choice.band, &out.band, error))
        return false;
    for (double edge : {out.band.lowNm, out.band.highNm}) {
        double n = 0.0;
        if (!materials::indexAt(out.material, edge, &n, error)) {
            *error = QStringLiteral("--band %1: ").arg(out.band.name) + *error;
            return false;
        }
    }
    if (choice.perChannel) {
        const bool visible = out.band.name == QLatin1String("visible");
        const std::vector<double> wavelengths =
            visible ? calibration::visibleChannelWavelengths() : out.band.wavelengthsNm;
        const QStringList names = visible ? QStringList{QStringLiteral("R"), QStringLiteral("G"), QStringLiteral("B")}
                                          : QStringList{QStringLiteral("short"), QStringLiteral("centre"),
                                                        QStringLiteral("long")};
        for (std::size_t i = 0; i < wavelengths.size(); ++i)
            out.channels.push_back({names[int(i)], wavelengths[i], out.material.index(wavelengths[i])});
    }
    if (!out.material.isCustom())
        panel->refractiveIndex = designIndex;
    out.record.recorded = choice.given;
    out.record.material = out.material.name;
    out.record.wavelengthNm = choice.wavelengthNm;
    out.record.band = out.band.name;
    out.record.bandLowNm = out.band.lowNm;
    out.record.bandHighNm = out.band.highNm;
    *colour = out;
    return true;
}

}  // namespace pipeline
