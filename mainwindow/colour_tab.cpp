#include "mainwindow/colour_tab.h"

#include "fit/prism_file.h"
#include "mainwindow/background_task.h"
#include "pipeline/colour.h"
#include "refine/achromat_design.h"
#include "verify/prism_trace.h"
#include "verify_map/verify_map.h"

#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

struct Measured {
    verify::LateralColour colour;
    QImage map;
};

}  // namespace

ColourTab::ColourTab(BackgroundTask* task, QWidget* parent) : AnalysisTab(task, parent)
{
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    material_ = new QComboBox(this);
    material_->setObjectName(QStringLiteral("comboBox_colourMaterial"));
    material_->addItems(materials::Catalogue::builtIn().names());
    material_->setToolTip(QStringLiteral("the glass the prism is traced in at the band's edges"));
    band_ = new QComboBox(this);
    band_->setObjectName(QStringLiteral("comboBox_colourBand"));
    band_->setEditable(true);
    band_->addItems({QStringLiteral("visible"), QStringLiteral("nir850"), QStringLiteral("nir940")});
    band_->setToolTip(QStringLiteral("visible (F to C, 486.13-656.27 nm), nir850 (825-875 nm), nir940 (915-965 nm) "
                                     "or W1-W2 in nm"));
    measureButton_ = new QPushButton(QStringLiteral("Measure"), this);
    measureButton_->setObjectName(QStringLiteral("pushButton_measureColour"));
    row->addWidget(new QLabel(QStringLiteral("material"), this));
    row->addWidget(material_);
    row->addWidget(new QLabel(QStringLiteral("band"), this));
    row->addWidget(band_);
    row->addWidget(measureButton_);
    row->addStretch();
    layout->addLayout(row);
    figures_ = new QLabel(QStringLiteral("No result yet: run \"Design prism\"."), this);
    figures_->setObjectName(QStringLiteral("label_colourFigures"));
    figures_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont mono = figures_->font();
    mono.setFamily(QStringLiteral("monospace"));
    figures_->setFont(mono);
    layout->addWidget(figures_);
    auto* scroll = new QScrollArea(this);
    map_ = new QLabel(scroll);
    map_->setObjectName(QStringLiteral("label_colourMap"));
    scroll->setWidget(map_);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll, 1);
    connect(measureButton_, &QPushButton::clicked, this, &ColourTab::measure);
    connect(task, &BackgroundTask::runningChanged, measureButton_, [this](bool running) {
        measureButton_->setEnabled(!running && !folder_.isEmpty());
    });
    measureButton_->setEnabled(false);
}

void ColourTab::setResult(const QString& folder, const PanelParameters&)
{
    folder_ = folder;
    measureButton_->setEnabled(!folder.isEmpty() && !task()->isRunning());
    if (folder.isEmpty())
        return;
    figures_->setText(QStringLiteral("Result %1: press Measure.").arg(folder));
    map_->clear();
    // The prism's own glass and band, when it records them.
    PrismFileContent content;
    QString error;
    const bool read = readPrismFile(QDir(folder).filePath(QString::fromLatin1(prismFileName)), &content, &error);
    if (read && content.colour.recorded) {
        const int at = material_->findText(content.colour.material);
        if (at >= 0)
            material_->setCurrentIndex(at);
        band_->setCurrentText(content.colour.band);
    }
    // A cemented prism is traced in its own two glasses.
    const bool cemented = read && content.fit.interface.present;
    material_->setEnabled(!cemented);
    if (cemented)
        figures_->setText(QStringLiteral("Result %1, cemented %2 + %3: press Measure.")
                              .arg(folder, content.fit.interface.crown, content.fit.interface.flint));
}

void ColourTab::measure()
{
    if (folder_.isEmpty())
        return;
    pipeline::ColourChoice choice;
    choice.material = material_->currentText();
    choice.band = band_->currentText();
    choice.given = true;
    PrismFileContent content;
    QString error;
    if (!readPrismFile(QDir(folder_).filePath(QString::fromLatin1(prismFileName)), &content, &error)) {
        figures_->setText(error);
        return;
    }
    PanelParameters panel;
    pipeline::ColourInput colour;
    // The design wavelength does not matter here: the surfaces are fixed.
    if (!pipeline::resolveColour(choice, &panel, &colour, &error)) {
        figures_->setText(error);
        return;
    }
    verify::PrismGeometry geometry;
    geometry.focalLength = content.panel.focalLength;
    geometry.prismDistance = content.panel.prismDistance;
    geometry.virtualPinholeX = -content.panel.centralRayHitX;
    const PrismFit fit = content.fit;
    const bool cemented = fit.interface.present;
    const materials::Catalogue& catalogue = materials::Catalogue::builtIn();
    const materials::Material* crown = cemented ? catalogue.find(fit.interface.crown) : nullptr;
    const materials::Material* flint = cemented ? catalogue.find(fit.interface.flint) : nullptr;
    if (cemented && (!crown || !flint)) {
        figures_->setText(QStringLiteral("%1: unknown glass %2").arg(folder_, crown ? fit.interface.flint
                                                                                      : fit.interface.crown));
        return;
    }
    // A prism designed at the panel's constant index: traced in a glass of
    // that index with the chosen material's dispersion (n - n_d added), so
    // that the shift is the dispersion's and not a change of index.
    double shortIndex = colour.material.index(colour.band.lowNm);
    double longIndex = colour.material.index(colour.band.highNm);
    QString basis = choice.material;
    verify::PrismGeometry shortEdge = geometry;
    verify::PrismGeometry longEdge = geometry;
    if (cemented) {
        // Its own two glasses at the band's edges, whatever the list shows.
        shortEdge = cementedGeometry(geometry, *crown, *flint, colour.band.lowNm);
        longEdge = cementedGeometry(geometry, *crown, *flint, colour.band.highNm);
        basis = QStringLiteral("cemented %1 + %2").arg(fit.interface.crown, fit.interface.flint);
    } else if (!content.colour.recorded || content.colour.material == QLatin1String("custom")) {
        const double offset = double(content.panel.refractiveIndex) - colour.material.index(materials::lineD);
        shortIndex += offset;
        longIndex += offset;
        basis = QStringLiteral("%1's dispersion about the prism's index %2")
                    .arg(choice.material, QString::number(double(content.panel.refractiveIndex), 'f', 4));
    }
    auto result = std::make_shared<Measured>();
    figures_->setText(QStringLiteral("measuring…"));
    task()->start(QStringLiteral("Lateral colour"), [=](core::Progress& progress) {
        progress.report(0.0, "lateral colour");
        verify::LateralColourOptions options;
        options.keepPixels = true;
        result->colour =
            cemented ? verify::measureLateralColour(shortEdge, longEdge, verify::prismFitSurfaces(fit), options)
                     : verify::measureLateralColour(geometry, verify::prismFitSurfaces(fit), shortIndex, longIndex,
                                                    options);
        result->colour.band = colour.band.name;
        result->colour.shortNm = colour.band.lowNm;
        result->colour.longNm = colour.band.highNm;
        progress.throwIfCancelled();
        result->map = verify::renderLateralColourMap(result->colour);
        progress.report(1.0, "lateral colour");
    }, [this, result, basis](BackgroundTask::Outcome how, const QString& message) {
        if (how != BackgroundTask::Outcome::Finished) {
            figures_->setText(how == BackgroundTask::Outcome::Cancelled ? QStringLiteral("cancelled") : message);
            return;
        }
        figures_->setText(basis + QStringLiteral(": ") + verify::lateralColourTable(result->colour).trimmed());
        map_->setPixmap(QPixmap::fromImage(result->map));
    });
}
