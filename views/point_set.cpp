#include "views/point_set.h"

#include "io/safe_input.h"

#include <QDebug>
#include <QFile>
#include <QtGui/qopengl.h>

#include <cmath>
#include <limits>
#include <locale.h>

namespace {

// The point files are written with '.' as the decimal point whatever the
// user's locale, but the application object switches the C library to the
// user's locale, where "%lf" may expect ','. Reading under the C numeric
// locale keeps "%lf" (with its "nan" and "inf") and reads every file whole.
class CNumericLocale {
public:
    CNumericLocale() : cLocale(newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr)))
    {
        if (cLocale)
            previous = uselocale(cLocale);
    }
    ~CNumericLocale()
    {
        if (cLocale) {
            uselocale(previous);
            freelocale(cLocale);
        }
    }
    CNumericLocale(const CNumericLocale &) = delete;
    CNumericLocale &operator=(const CNumericLocale &) = delete;

private:
    locale_t cLocale;
    locale_t previous = locale_t(nullptr);
};

} // namespace

ViewRotation viewRotation(const QQuaternion &orientation)
{
    const float half = std::acos(orientation.x());
    const float angle = half + half;
    const float s = std::sin(angle * 0.5f);
    return {float(double(angle * 180.0f) / 3.1415926),
            orientation.scalar() / s, orientation.z() / s, orientation.y() / s};
}

void Showoutput::clear()
{
    groupCount = 0;
    for (std::vector<double> &column : columns)
        column.clear();
    vertices.clear();
    loneGroups.clear();
}

std::FILE *Showoutput::openForReading(const char *fileName)
{
    // Regular files only, opened without blocking: a FIFO or a device put in
    // place of a point file must not hang the window.
    QString reason;
    PathKind kind = PathKind::Missing;
    std::FILE *file = fopenRegularFile(QFile::decodeName(fileName), &reason, &kind);
    if (!file) {
        qDebug() << "不能找到文件";
        if (kind != PathKind::Missing)
            qDebug().noquote() << reason;
    }
    return file;
}

void Showoutput::appendGroups(std::FILE *file)
{
    const CNumericLocale numericLocale;
    double group[6];
    // Anything that is not a number ends the reading like the end of the
    // file does: the points read so far are kept.
    for (;;) {
        int read = 0;
        while (read < 6 && std::fscanf(file, "%lf", &group[read]) == 1)
            ++read;
        if (read < 3)
            return;
        const bool complete = read == 6;
        if (!complete) {
            for (int k = 3; k < 6; ++k)
                group[k] = std::numeric_limits<double>::quiet_NaN();
            loneGroups.push_back(groupCount);
        }
        for (int k = 0; k < 6; ++k)
            columns[k].push_back(group[k]);
        vertices.insert(vertices.end(), group, group + (complete ? 6 : 3));
        ++groupCount;
        if (!complete)
            return;
    }
}

void Showoutput::loadPoints(const char *fileName)
{
    clear();
    if (std::FILE *file = openForReading(fileName)) {
        appendGroups(file);
        std::fclose(file);
    }
    qDebug() << "wowww";
}

void Showoutput2::loadPointPairs(const char *first, const char *second)
{
    clear();
    for (const char *fileName : {first, second}) {
        if (std::FILE *file = openForReading(fileName)) {
            appendGroups(file);
            std::fclose(file);
        }
    }
    qDebug() << "wowww";
}

void Showoutput::drawPoints(float x, float y, float z, float scale, const QQuaternion &orientation) const
{
    glDisable(GL_TEXTURE_2D);
    glTranslatef(x, y, z);
    glScaled(double(scale), double(scale), double(scale));
    const ViewRotation rotation = viewRotation(orientation);
    glRotatef(rotation.degrees, rotation.x, rotation.y, rotation.z);
    glColor3ub(81, 169, 200);

    if (drawPath == DrawPath::Immediate) {
        glBegin(GL_POINTS);
        auto lone = loneGroups.cbegin();
        for (int i = 0; i < groupCount; ++i) {
            glVertex3f(float(columns[0][i]), float(columns[1][i]), float(columns[2][i]));
            if (lone != loneGroups.cend() && *lone == i)
                ++lone;
            else
                glVertex3f(float(columns[3][i]), float(columns[4][i]), float(columns[5][i]));
        }
        glEnd();
    } else if (!vertices.empty()) {
        glEnableClientState(GL_VERTEX_ARRAY);
        glVertexPointer(3, GL_FLOAT, 0, vertices.data());
        glDrawArrays(GL_POINTS, 0, pointCount());
        glDisableClientState(GL_VERTEX_ARRAY);
        // Back to the default pointer: GL keeps none into storage that a
        // reload may move.
        glVertexPointer(4, GL_FLOAT, 0, nullptr);
    }

    glEnable(GL_LIGHT0);
    glEnable(GL_LIGHTING);
    glEnable(GL_COLOR_MATERIAL);
}
