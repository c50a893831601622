#include "mainwindow/colour_panel.h"

#include "materials/achromat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSignalBlocker>

namespace {

QLabel* label(const QString& text, const char* name, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    return l;
}

QComboBox* glassList(const char* name, const QString& start, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->addItems(materials::Catalogue::builtIn().names());
    box->setCurrentText(start);
    return box;
}

} // namespace

ColourPanel::ColourPanel(QWidget* parent) : QObject(parent)
{
    materialLabel_ = label(QStringLiteral("material"), "label_material", parent);
    material_ = new QComboBox(parent);
    material_->setObjectName(QStringLiteral("comboBox_material"));
    material_->addItem(QStringLiteral("custom"));
    material_->addItems(materials::Catalogue::builtIn().names());
    const QString materialTip = QStringLiteral(
        "the prism's material: custom (the constant refractive index) or a glass or polymer of the catalogue, "
        "which brings its own index");
    material_->setToolTip(materialTip);
    materialLabel_->setToolTip(materialTip);
    wavelengthLabel_ = label(QStringLiteral("wavelength"), "label_wavelength", parent);
    wavelength_ = new QDoubleSpinBox(parent);
    wavelength_->setObjectName(QStringLiteral("doubleSpinBox_wavelength"));
    wavelength_->setRange(200.0, 3000.0);
    wavelength_->setDecimals(2);
    wavelength_->setValue(587.56);
    wavelength_->setSuffix(QStringLiteral(" nm"));
    const QString wavelengthTip = QStringLiteral("design wavelength, nm (default 587.56, the d line)");
    wavelength_->setToolTip(wavelengthTip);
    wavelengthLabel_->setToolTip(wavelengthTip);
    bandLabel_ = label(QStringLiteral("band"), "label_band", parent);
    band_ = new QComboBox(parent);
    band_->setObjectName(QStringLiteral("comboBox_band"));
    band_->setEditable(true);
    band_->addItems({QStringLiteral("visible"), QStringLiteral("nir850"), QStringLiteral("nir940")});
    const QString bandTip = QStringLiteral("band verified and calibrated in: visible (F to C, 486.13-656.27 nm), "
                                           "nir850 (825-875 nm), nir940 (915-965 nm) or W1-W2 in nm");
    band_->setToolTip(bandTip);
    bandLabel_->setToolTip(bandTip);
    index_ = new QLabel(parent);
    index_->setObjectName(QStringLiteral("label_materialIndex"));
    index_->setToolTip(QStringLiteral("the material's refractive index at the design wavelength"));

    achromat_ = new QCheckBox(QStringLiteral("achromat"), parent);
    achromat_->setObjectName(QStringLiteral("checkBox_achromat"));
    achromat_->setToolTip(QStringLiteral(
        "Design prism makes each half a cemented pair: a crown behind the entrance and a flint in front of the "
        "exit, whose interface makes the visible band's edges (F and C) leave each half parallel; then the "
        "optimiser runs with the interface in place. Writes prism_crown.stl and prism_flint.stl besides the "
        "prism's files. Off: one glass of the panel's index"));
    crownLabel_ = label(QStringLiteral("crown"), "label_crown", parent);
    crown_ = glassList("comboBox_crown", pipeline::AchromatChoice().crown, parent);
    const QString crownTip = QStringLiteral("the achromat's crown (low dispersion), behind the entrance");
    crown_->setToolTip(crownTip);
    crownLabel_->setToolTip(crownTip);
    flintLabel_ = label(QStringLiteral("flint"), "label_flint", parent);
    flint_ = glassList("comboBox_flint", pipeline::AchromatChoice().flint, parent);
    const QString flintTip = QStringLiteral("the achromat's flint (high dispersion), in front of the exit");
    flint_->setToolTip(flintTip);
    flintLabel_->setToolTip(flintTip);

    connect(material_, &QComboBox::currentTextChanged, this, &ColourPanel::update);
    connect(wavelength_, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &ColourPanel::update);
    connect(band_, &QComboBox::currentTextChanged, this, &ColourPanel::update);
    connect(achromat_, &QCheckBox::toggled, this, [this] {
        setAchromatEnabled(achromatEnabled_);
        emit changed();
    });
    connect(crown_, &QComboBox::currentTextChanged, this, &ColourPanel::changed);
    connect(flint_, &QComboBox::currentTextChanged, this, &ColourPanel::changed);
    setAchromatEnabled(true);
}

pipeline::ColourChoice ColourPanel::choice() const
{
    pipeline::ColourChoice c;
    c.material = material_->currentText();
    c.wavelengthNm = wavelength_->value() == 587.56 ? materials::lineD : wavelength_->value();
    c.band = band_->currentText();
    c.catalogueFile = catalogueFile_;
    c.given = c.material != QLatin1String("custom") || c.wavelengthNm != materials::lineD
              || c.band != QLatin1String("visible");
    return c;
}

pipeline::AchromatChoice ColourPanel::achromat() const
{
    pipeline::AchromatChoice a;
    a.enabled = achromat_->isChecked();
    a.crown = crown_->currentText();
    a.flint = flint_->currentText();
    return a;
}

bool ColourPanel::checkAchromat(QString* error) const
{
    const pipeline::AchromatChoice a = achromat();
    if (!a.enabled)
        return true;
    const materials::Catalogue& catalogue = materials::Catalogue::builtIn();
    const materials::Material* crown = catalogue.find(a.crown);
    const materials::Material* flint = catalogue.find(a.flint);
    if (!crown || !flint) {
        *error = QStringLiteral("unknown material %1").arg(crown ? a.flint : a.crown);
        return false;
    }
    // The achromat corrects the visible band about the d line.
    return materials::canCorrectColour(*crown, *flint, materials::visibleBand(), materials::lineD, error);
}

void ColourPanel::setAchromatEnabled(bool enabled)
{
    achromatEnabled_ = enabled;
    achromat_->setEnabled(enabled);
    const bool glasses = enabled && achromat_->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{crownLabel_, crown_, flintLabel_, flint_})
        w->setEnabled(glasses);
}

bool ColourPanel::setCatalogueFile(const QString& file, QString* error)
{
    materials::Catalogue catalogue;
    if (!pipeline::loadCatalogue(file, &catalogue, error))
        return false;
    catalogueFile_ = file;
    const QString current = material_->currentText();
    const QSignalBlocker blocker(material_);
    material_->clear();
    material_->addItem(QStringLiteral("custom"));
    material_->addItems(catalogue.names());
    material_->setCurrentText(material_->findText(current) >= 0 ? current : QStringLiteral("custom"));
    update();
    return true;
}

bool ColourPanel::isCustom() const
{
    return material_->currentText() == QLatin1String("custom");
}

bool ColourPanel::materialIndex(double* index, QString* error) const
{
    PanelParameters panel;
    pipeline::ColourInput colour;
    if (!pipeline::resolveColour(choice(), &panel, &colour, error))
        return false;
    *index = panel.refractiveIndex;
    return true;
}

void ColourPanel::update()
{
    double n = 0.0;
    QString error;
    if (isCustom())
        index_->clear();
    else if (materialIndex(&n, &error))
        index_->setText(QStringLiteral("n = %1").arg(n, 0, 'f', 5));
    else
        index_->setText(QStringLiteral("refused"));
    index_->setToolTip(error.isEmpty() ? QStringLiteral("the material's refractive index at the design wavelength")
                                       : error);
    emit changed();
}
