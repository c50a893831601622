#include "views/point_set.h"

#include "io/safe_input.h"
#include "textio/number_text.h"

#include <QDebug>
#include <QFile>
#include <QtGui/qopengl.h>

#include <cmath>
#include <limits>
#include <algorithm>

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
    // The files are written in the C conventions whatever the user's locale;
    // the shared reader takes the numbers as "%lf" does and stops at anything
    // that is not a number, keeping the points read so far.
    QByteArray text;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, static_cast<int>(got));
    std::vector<double> numbers;
    readNumbers(text.constData(), static_cast<std::size_t>(text.size()), &numbers);
    // Groups of six; a last group of three to five numbers is a lone point.
    for (std::size_t first = 0; first + 3 <= numbers.size(); first += 6) {
        double group[6];
        const std::size_t read = std::min<std::size_t>(6, numbers.size() - first);
        std::copy(numbers.begin() + static_cast<std::ptrdiff_t>(first),
                  numbers.begin() + static_cast<std::ptrdiff_t>(first + read), group);
        const bool complete = read == 6;
        if (!complete) {
            for (std::size_t k = 3; k < 6; ++k)
                group[k] = std::numeric_limits<double>::quiet_NaN();
            loneGroups.push_back(groupCount);
        }
        for (int k = 0; k < 6; ++k)
            columns[k].push_back(group[k]);
        vertices.insert(vertices.end(), group, group + (complete ? 6 : 3));
        ++groupCount;
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
