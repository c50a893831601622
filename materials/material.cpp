#include "materials/material.h"

#include <QList>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace materials {

extern const char builtInCatalogueText[];

double Material::index(double wavelengthNm) const
{
    switch (formula) {
    case Formula::Constant:
        return c.empty() ? 1.0 : c[0];
    case Formula::Sellmeier: {
        const double l = wavelengthNm * 1e-3;
        const double l2 = l * l;
        double n2 = 1.0;
        for (size_t i = 0; i < b.size(); ++i)
            n2 += b[i] * l2 / (l2 - c[i]);
        return std::sqrt(n2);
    }
    case Formula::Schott: {
        const double l2 = wavelengthNm * 1e-3 * wavelengthNm * 1e-3;
        // A0 + A1 l^2, then the falling powers l^-2, l^-4, ..
        double n2 = a.empty() ? 0.0 : a[0];
        if (a.size() > 1)
            n2 += a[1] * l2;
        double power = 1.0;
        for (size_t i = 2; i < a.size(); ++i) {
            power /= l2;
            n2 += a[i] * power;
        }
        return std::sqrt(n2);
    }
    case Formula::Cauchy: {
        const double l2 = wavelengthNm * 1e-3 * wavelengthNm * 1e-3;
        double n = 0.0, power = 1.0;
        for (double coefficient : a) {
            n += coefficient * power;
            power /= l2;
        }
        return n;
    }
    }
    return 1.0;
}

bool Material::covers(double wavelengthNm) const
{
    if (minWavelengthNm == 0.0 && maxWavelengthNm == 0.0)
        return true;
    return wavelengthNm >= minWavelengthNm && wavelengthNm <= maxWavelengthNm;
}

double Material::abbeNumber() const
{
    const double dispersion = index(lineF) - index(lineC);
    if (dispersion == 0.0)
        return std::numeric_limits<double>::infinity();
    return (index(lineD) - 1.0) / dispersion;
}

Material customMaterial(double index)
{
    Material m;
    m.name = QStringLiteral("custom");
    m.formula = Formula::Constant;
    m.c = {index};
    m.source = QStringLiteral("the panel's constant index");
    return m;
}

namespace {

bool numbers(const QString& text, std::vector<double>* out)
{
    out->clear();
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double v = word.toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return false;
        out->push_back(v);
    }
    return true;
}

// Checks a finished block; returns the fault or an empty string.
QString fault(const Material& m)
{
    if (m.formula == Formula::Sellmeier && (m.b.empty() || m.b.size() != m.c.size()))
        return QStringLiteral("needs as many B as C coefficients");
    if (m.formula == Formula::Sellmeier && !m.a.empty())
        return QStringLiteral("takes B and C, not A, for the sellmeier formula");
    if ((m.formula == Formula::Schott || m.formula == Formula::Cauchy) && (m.a.empty() || !m.b.empty() || !m.c.empty()))
        return QStringLiteral("needs its A coefficients (and no B or C) for the %1 formula")
            .arg(m.formula == Formula::Schott ? QStringLiteral("schott") : QStringLiteral("cauchy"));
    if (m.formula == Formula::Schott && m.a.size() > 6)
        return QStringLiteral("takes at most six A coefficients for the schott formula");
    if (m.minWavelengthNm <= 0.0 || m.maxWavelengthNm <= m.minWavelengthNm)
        return QStringLiteral("needs a valid range in nm");
    if (m.source.isEmpty())
        return QStringLiteral("needs its source");
    for (double w : {m.minWavelengthNm, 0.5 * (m.minWavelengthNm + m.maxWavelengthNm), m.maxWavelengthNm}) {
        const double n = m.index(w);
        if (!std::isfinite(n) || n < 1.0 || n > 4.0)
            return QStringLiteral("gives no index between 1 and 4 at %1 nm").arg(w);
    }
    return QString();
}

}  // namespace

bool Catalogue::add(const QByteArray& text, const QString& fileName, QString* error)
{
    std::vector<Material> read;
    int blockLine = 0;
    const auto finish = [&]() -> bool {
        if (read.empty())
            return true;
        const QString why = fault(read.back());
        if (why.isEmpty())
            return true;
        *error = QStringLiteral("%1:%2: material %3 %4").arg(fileName).arg(blockLine).arg(read.back().name, why);
        return false;
    };
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        QString line = QString::fromUtf8(lines[i]);
        const int hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const auto bad = [&](const QString& why) {
            *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(lineNumber).arg(why);
            return false;
        };
        if (line.startsWith(QLatin1Char('['))) {
            if (!finish())
                return false;
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3)
                return bad(QStringLiteral("a material's name is written [NAME]"));
            Material m;
            m.name = line.mid(1, line.size() - 2).trimmed();
            if (m.name.compare(QLatin1String("custom"), Qt::CaseInsensitive) == 0)
                return bad(QStringLiteral("\"custom\" is the panel's constant index and cannot be redefined"));
            m.formula = Formula::Sellmeier;
            read.push_back(m);
            blockLine = lineNumber;
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return bad(QStringLiteral("expected KEY = VALUE"));
        if (read.empty())
            return bad(QStringLiteral("a value before the first [NAME]"));
        Material& m = read.back();
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        std::vector<double> v;
        if (key == QLatin1String("formula")) {
            if (value == QLatin1String("sellmeier"))
                m.formula = Formula::Sellmeier;
            else if (value == QLatin1String("schott"))
                m.formula = Formula::Schott;
            else if (value == QLatin1String("cauchy"))
                m.formula = Formula::Cauchy;
            else
                return bad(QStringLiteral("unknown formula \"%1\" (known: sellmeier, schott, cauchy)").arg(value));
        } else if (key == QLatin1String("A") || key == QLatin1String("B") || key == QLatin1String("C")) {
            if (!numbers(value, &v) || v.empty())
                return bad(QStringLiteral("%1 needs numbers").arg(key));
            (key == QLatin1String("A") ? m.a : key == QLatin1String("B") ? m.b : m.c) = v;
        } else if (key == QLatin1String("range")) {
            if (!numbers(value, &v) || v.size() != 2)
                return bad(QStringLiteral("range needs two wavelengths in nm"));
            m.minWavelengthNm = v[0];
            m.maxWavelengthNm = v[1];
        } else if (key == QLatin1String("nd") || key == QLatin1String("vd")) {
            if (!numbers(value, &v) || v.size() != 1)
                return bad(QStringLiteral("%1 needs one number").arg(key));
            (key == QLatin1String("nd") ? m.publishedNd : m.publishedVd) = v[0];
        } else if (key == QLatin1String("precision")) {
            if (!numbers(value, &v) || v.size() != 2)
                return bad(QStringLiteral("precision needs two numbers (nd, vd)"));
            m.ndPrecision = v[0];
            m.vdPrecision = v[1];
        } else if (key == QLatin1String("source")) {
            m.source = value;
        } else {
            return bad(QStringLiteral("unknown key \"%1\"").arg(key));
        }
    }
    if (!finish())
        return false;
    // A user's entry replaces a built-in one of the same name.
    for (Material& m : read) {
        auto same = std::find_if(materials_.begin(), materials_.end(),
                                 [&](const Material& o) { return o.name == m.name; });
        if (same != materials_.end())
            *same = m;
        else
            materials_.push_back(m);
    }
    return true;
}

const Catalogue& Catalogue::builtIn()
{
    static const Catalogue catalogue = [] {
        Catalogue c;
        QString error;
        if (!c.add(QByteArray(builtInCatalogueText), QStringLiteral("materials.txt"), &error))
            qFatal("%s", qPrintable(error));
        return c;
    }();
    return catalogue;
}

const Material* Catalogue::find(const QString& name) const
{
    for (const Material& m : materials_)
        if (m.name == name)
            return &m;
    return nullptr;
}

QStringList Catalogue::names() const
{
    QStringList list;
    for (const Material& m : materials_)
        list << m.name;
    return list;
}

}  // namespace materials

namespace materials {

bool findMaterial(const Catalogue& catalogue, const QString& name, double customIndex, Material* material,
                  QString* error)
{
    if (name == QLatin1String("custom")) {
        *material = customMaterial(customIndex);
        return true;
    }
    const Material* found = catalogue.find(name);
    if (!found) {
        *error = QStringLiteral("--material: unknown material \"%1\" (known: custom, %2)")
                     .arg(name, catalogue.names().join(QStringLiteral(", ")));
        return false;
    }
    *material = *found;
    return true;
}

bool indexAt(const Material& material, double wavelengthNm, double* index, QString* error)
{
    if (!std::isfinite(wavelengthNm) || wavelengthNm <= 0.0) {
        *error = QStringLiteral("wavelength %1 nm is not a wavelength").arg(wavelengthNm);
        return false;
    }
    if (!material.covers(wavelengthNm)) {
        *error = QStringLiteral("wavelength %1 nm is outside %2's valid range %3-%4 nm")
                     .arg(wavelengthNm)
                     .arg(material.name)
                     .arg(material.minWavelengthNm)
                     .arg(material.maxWavelengthNm);
        return false;
    }
    *index = material.index(wavelengthNm);
    return true;
}

}  // namespace materials
