#pragma once

// The panel's colour choices: the prism's material ("custom": the index
// spin box's constant index), the design wavelength and the band, each with
// its label; and the cemented achromat: a check box with its crown and flint
// from the built-in catalogue. A material other than "custom" brings its
// own index, shown beside it.

#include "pipeline/colour.h"
#include "pipeline/stages.h"

#include <QObject>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QWidget;

class ColourPanel : public QObject
{
    Q_OBJECT

public:
    explicit ColourPanel(QWidget* parent);

    QLabel* materialLabel() const { return materialLabel_; }
    QComboBox* materialBox() const { return material_; }
    QLabel* wavelengthLabel() const { return wavelengthLabel_; }
    QDoubleSpinBox* wavelengthBox() const { return wavelength_; }
    QLabel* bandLabel() const { return bandLabel_; }
    QComboBox* bandBox() const { return band_; }
    QLabel* indexLabel() const { return index_; }
    QCheckBox* achromatBox() const { return achromat_; }
    QLabel* crownLabel() const { return crownLabel_; }
    QComboBox* crownBox() const { return crown_; }
    QLabel* flintLabel() const { return flintLabel_; }
    QComboBox* flintBox() const { return flint_; }

    // The choice as a run takes it; `given` once the user picked anything
    // but the defaults.
    pipeline::ColourChoice choice() const;
    bool isCustom() const;
    // The achromat as the prism fit takes it (enabled when the box is ticked).
    pipeline::AchromatChoice achromat() const;
    // Whether the ticked achromat's glasses can correct colour over the
    // band; true when the box is not ticked, false with the reason.
    bool checkAchromat(QString* error) const;
    // Adds a user's catalogue (its entries add to or replace the built-in
    // ones) and lists its materials; false with "FILE:LINE: ..." and nothing
    // changed when it cannot be read or is malformed.
    bool setCatalogueFile(const QString& file, QString* error);
    // The material's index at the design wavelength; false with the reason
    // (also shown in the label) when the choice is refused.
    bool materialIndex(double* index, QString* error) const;
    // The achromat's controls on or off (off while a run goes); its glasses
    // stay off while it is not ticked.
    void setAchromatEnabled(bool enabled);

signals:
    void changed();

private:
    void update();

    QLabel* materialLabel_;
    QComboBox* material_;
    QLabel* wavelengthLabel_;
    QDoubleSpinBox* wavelength_;
    QLabel* bandLabel_;
    QComboBox* band_;
    QLabel* index_;
    QCheckBox* achromat_;
    QLabel* crownLabel_;
    QComboBox* crown_;
    QLabel* flintLabel_;
    QComboBox* flint_;
    QString catalogueFile_;
    bool achromatEnabled_ = true;
};
