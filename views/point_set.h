#pragma once

#include <QQuaternion>

#include <cstdio>
#include <vector>

// Arguments of the glRotatef call that turns the cloud to the view's
// orientation: angle in degrees, then the axis.
struct ViewRotation {
    float degrees;
    float x;
    float y;
    float z;
};

// The views' rotation rule, in single precision as the pictures have always
// been drawn: the arc cosine is taken of the quaternion's x component (not of
// its scalar), and the axis is (w, z, y). The start orientation (1, 0, 0, 0)
// therefore turns the cloud 180 degrees about x.
ViewRotation viewRotation(const QQuaternion &orientation);

// A point cloud read from whitespace-separated number files, kept as groups
// of two points: group i holds its first point in columns 0..2 and its second
// in columns 3..5 at index i. Only complete points are kept; a group cut by
// the end of its file after the first point holds that point alone.
//
// The storage grows with the file and is reused by the next load, so one set
// of arrays lives for the whole life of the set whatever the files hold.
class Showoutput {
public:
    // Immediate mode is the reference picture; vertex arrays draw the same
    // points in one call, which is what makes a spinning cloud of the full
    // design file smooth.
    enum class DrawPath { Immediate, VertexArrays };

    Showoutput() = default;
    Showoutput(const Showoutput &) = delete;
    Showoutput &operator=(const Showoutput &) = delete;
    virtual ~Showoutput() = default;

    // Replaces the set with the points of the file. A missing file leaves the
    // set empty after the debug line "不能找到文件".
    void loadPoints(const char *fileName);

    // Draws the set as GL_POINTS onto the current matrix: translation, then the
    // equal scale on all axes, then the view rotation, in colour (81, 169, 200).
    // Leaves GL_LIGHT0, GL_LIGHTING and GL_COLOR_MATERIAL enabled, so every
    // later frame is lit.
    void drawPoints(float x, float y, float z, float scale, const QQuaternion &orientation) const;

    int groupCount = 0;
    std::vector<double> columns[6];
    DrawPath drawPath = DrawPath::VertexArrays;

    // Points held (two per complete group, one per cut group).
    int pointCount() const { return int(vertices.size() / 3); }
    // Storage identity, for checking that a reload reuses it.
    const float *vertexData() const { return vertices.data(); }

protected:
    // Empties the set, keeping the storage.
    void clear();
    // Reads the numbers of an open file into new groups after the last one.
    void appendGroups(std::FILE *file);
    // Opens a regular file for reading (never blocks on a FIFO); a missing or
    // refused file writes the debug line.
    static std::FILE *openForReading(const char *fileName);

private:
    // The drawn points in drawing order, narrowed to float once at load time.
    std::vector<float> vertices;
    // Indices of the groups that hold their first point only.
    std::vector<int> loneGroups;
};

// The fitted surface view's set: the rows of two fit files one after the
// other, two consecutive rows of one file to a group.
class Showoutput2 : public Showoutput {
public:
    // Replaces the set with the points of both files; the second file starts
    // a new group. A missing file contributes nothing (after the debug line);
    // the other is still read.
    void loadPointPairs(const char *first, const char *second);
};
