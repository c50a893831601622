#pragma once

// Opening input files without hanging and without surprises. A path is
// classified with lstat/stat before it is opened; only regular files (or
// links to them) are opened, with O_NONBLOCK so that a FIFO put in place
// between the check and the open cannot block, and the open file is checked
// again with fstat. Paths go to the system as QFile::encodeName bytes.

#include <QByteArray>
#include <QString>

#include <cstdio>

enum class PathKind {
    Missing,       // nothing there
    Regular,       // a regular file, or a link to one
    Directory,
    Fifo,
    Socket,
    Device,        // character or block device
    DanglingLink,  // a link to nothing
    LinkLoop,      // links that never end
    Unreadable,    // stat itself failed (permissions on the way, name too long)
};

PathKind classifyPath(const QString& path);
// "a FIFO", "a directory", "a dangling symbolic link", ... for messages.
QString describePathKind(PathKind kind);

// Opens a regular file for reading (blocking reads after a non-blocking
// open). Returns the descriptor, or -1 with *error (if given) saying why,
// e.g. "'outputall.txt' is a FIFO, not a regular file" or
// "'outputall.txt' does not exist".
int openRegularFile(const QString& path, QString* error = nullptr, PathKind* kind = nullptr);
// The same as a stdio stream ("r"), for readers built on fscanf.
std::FILE* fopenRegularFile(const QString& path, QString* error = nullptr, PathKind* kind = nullptr);
// Reads a whole regular file. Refuses files larger than maxBytes.
bool readRegularFile(const QString& path, QByteArray* bytes, QString* error = nullptr,
                     qint64 maxBytes = qint64(1) << 30, PathKind* kind = nullptr);
