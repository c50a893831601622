#pragma once

// Optical materials: the refractive index as a function of the vacuum
// wavelength, from a dispersion formula and its coefficients, with the range
// the formula is valid in and the source of its numbers.
//
// The catalogue is a text file of blocks; the built-in one is compiled in
// (materials.txt beside this header) and a user's file adds to or replaces
// its entries:
//
//     [N-BK7]
//     formula = sellmeier          # n^2 = 1 + sum B_i l^2 / (l^2 - C_i), l in um, C in um^2
//     B = 1.03961212 0.231792344 1.01046945
//     C = 0.00600069867 0.0200179144 103.560653
//     range = 300 2500             # valid wavelengths, nm
//     nd = 1.51680                 # the source's published index at the d line
//     vd = 64.17                   # and Abbe number
//     precision = 0.00002 0.02     # how closely the formula meets nd and vd
//     source = SCHOTT optical glass data sheet N-BK7
//
// The other formulas take their coefficients as A, l in um:
//
//     formula = schott             # n^2 = A0 + A1 l^2 + A2 l^-2 + A3 l^-4 + A4 l^-6 + A5 l^-8
//     formula = cauchy             # n = A0 + A1 l^-2 + A2 l^-4 + ..
//
// "custom" is not in the file: it is the panel's constant index, with no
// dispersion, valid at every wavelength.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace materials {

// The Fraunhofer lines the optical glass makers quote, in nm.
constexpr double lineF = 486.1327;
constexpr double lineD = 587.5618;
constexpr double lineC = 656.2725;

enum class Formula {
    Constant,   // n = C[0], the "custom" material
    Sellmeier,  // n^2 = 1 + sum B_i l^2 / (l^2 - C_i)
    Schott,     // n^2 = A0 + A1 l^2 + A2 l^-2 + A3 l^-4 + A4 l^-6 + A5 l^-8 (the glass makers' power series)
    Cauchy,     // n = A0 + A1 l^-2 + A2 l^-4 + ..
};

struct Material {
    QString name;
    Formula formula = Formula::Constant;
    std::vector<double> b, c;  // Sellmeier
    std::vector<double> a;     // Schott and Cauchy, l in um
    double minWavelengthNm = 0.0, maxWavelengthNm = 0.0;  // valid range (0, 0: every wavelength)
    double publishedNd = 0.0, publishedVd = 0.0;          // the source's own figures (0: none)
    double ndPrecision = 0.0, vdPrecision = 0.0;
    QString source;

    // The index at a vacuum wavelength in nm. Outside the valid range the
    // formula is still evaluated; callers refuse such wavelengths first.
    double index(double wavelengthNm) const;
    bool covers(double wavelengthNm) const;
    // (n_d - 1) / (n_F - n_C); infinite for a constant index.
    double abbeNumber() const;
    bool isCustom() const { return formula == Formula::Constant; }
};

// The panel's constant index as a material named "custom".
Material customMaterial(double index);

class Catalogue
{
public:
    // The materials compiled into the program.
    static const Catalogue& builtIn();

    // Reads a catalogue's text; on a fault returns false with one line
    // naming the file's line in *error, and changes nothing.
    bool add(const QByteArray& text, const QString& fileName, QString* error);

    // nullptr when there is no such material ("custom" is not listed).
    const Material* find(const QString& name) const;
    QStringList names() const;

private:
    std::vector<Material> materials_;
};

}  // namespace materials

namespace materials {

// The material of a name: "custom" (the panel's constant index) or one of
// the catalogue's; false with a one-line reason in *error.
bool findMaterial(const Catalogue& catalogue, const QString& name, double customIndex, Material* material,
                  QString* error);
// The material's index at a wavelength it is valid at; false with a
// one-line reason naming the range otherwise.
bool indexAt(const Material& material, double wavelengthNm, double* index, QString* error);

}  // namespace materials
