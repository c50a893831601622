#pragma once

// The panel's colour choices: the prism's material ("custom": the index
// spin box's constant index), the design wavelength and the band. A
// material other than "custom" brings its own index, shown beside it.

#include "pipeline/colour.h"

#include <QObject>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QWidget;

class ColourPanel : public QObject
{
    Q_OBJECT

public:
    explicit ColourPanel(QWidget* parent);

    QComboBox* materialBox() const { return material_; }
    QDoubleSpinBox* wavelengthBox() const { return wavelength_; }
    QComboBox* bandBox() const { return band_; }
    QLabel* indexLabel() const { return index_; }

    // The choice as a run takes it; `given` once the user picked anything
    // but the defaults.
    pipeline::ColourChoice choice() const;
    bool isCustom() const;
    // Adds a user's catalogue (its entries add to or replace the built-in
    // ones) and lists its materials; false with "FILE:LINE: ..." and nothing
    // changed when it cannot be read or is malformed.
    bool setCatalogueFile(const QString& file, QString* error);
    // The material's index at the design wavelength; false with the reason
    // (also shown in the label) when the choice is refused.
    bool materialIndex(double* index, QString* error) const;

signals:
    void changed();

private:
    void update();

    QComboBox* material_;
    QDoubleSpinBox* wavelength_;
    QComboBox* band_;
    QLabel* index_;
    QString catalogueFile_;
};
