#include "mainwindow/colour_panel.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSignalBlocker>

ColourPanel::ColourPanel(QWidget* parent) : QObject(parent)
{
    material_ = new QComboBox(parent);
    material_->setObjectName(QStringLiteral("comboBox_material"));
    material_->addItem(QStringLiteral("custom"));
    material_->addItems(materials::Catalogue::builtIn().names());
    material_->setToolTip(QStringLiteral("the prism's material: custom (the constant refractive index) or a glass or "
                                         "polymer of the catalogue, which brings its own index"));
    wavelength_ = new QDoubleSpinBox(parent);
    wavelength_->setObjectName(QStringLiteral("doubleSpinBox_wavelength"));
    wavelength_->setRange(200.0, 3000.0);
    wavelength_->setDecimals(2);
    wavelength_->setValue(587.56);
    wavelength_->setSuffix(QStringLiteral(" nm"));
    wavelength_->setToolTip(QStringLiteral("design wavelength, nm (default 587.56, the d line)"));
    band_ = new QComboBox(parent);
    band_->setObjectName(QStringLiteral("comboBox_band"));
    band_->setEditable(true);
    band_->addItems({QStringLiteral("visible"), QStringLiteral("nir850"), QStringLiteral("nir940")});
    band_->setToolTip(QStringLiteral("band verified and calibrated in: visible (F to C, 486.13-656.27 nm), nir850 "
                                     "(825-875 nm), nir940 (915-965 nm) or W1-W2 in nm"));
    index_ = new QLabel(parent);
    index_->setObjectName(QStringLiteral("label_materialIndex"));
    index_->setToolTip(QStringLiteral("the material's refractive index at the design wavelength"));
    connect(material_, &QComboBox::currentTextChanged, this, &ColourPanel::update);
    connect(wavelength_, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &ColourPanel::update);
    connect(band_, &QComboBox::currentTextChanged, this, &ColourPanel::update);
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
