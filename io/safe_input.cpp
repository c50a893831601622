#include "io/safe_input.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PathKind kindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return PathKind::Regular;
    if (S_ISDIR(mode))
        return PathKind::Directory;
    if (S_ISFIFO(mode))
        return PathKind::Fifo;
    if (S_ISSOCK(mode))
        return PathKind::Socket;
    return PathKind::Device;
}

QString refusal(const QString& path, PathKind kind)
{
    if (kind == PathKind::Missing)
        return QStringLiteral("'%1' does not exist").arg(path);
    if (kind == PathKind::Unreadable)
        return QStringLiteral("'%1' cannot be examined").arg(path);
    return QStringLiteral("'%1' is %2, not a regular file").arg(path, describePathKind(kind));
}

} // namespace

PathKind classifyPath(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat st;
    if (::stat(encoded.constData(), &st) == 0)
        return kindOfMode(st.st_mode);
    const int code = errno;
    if (code == ELOOP)
        return PathKind::LinkLoop;
    if (code == ENOENT) {
        struct stat lst;
        if (::lstat(encoded.constData(), &lst) == 0 && S_ISLNK(lst.st_mode))
            return PathKind::DanglingLink;
        return PathKind::Missing;
    }
    return PathKind::Unreadable;
}

QString describePathKind(PathKind kind)
{
    switch (kind) {
    case PathKind::Missing: return QStringLiteral("missing");
    case PathKind::Regular: return QStringLiteral("a regular file");
    case PathKind::Directory: return QStringLiteral("a directory");
    case PathKind::Fifo: return QStringLiteral("a FIFO");
    case PathKind::Socket: return QStringLiteral("a socket");
    case PathKind::Device: return QStringLiteral("a device");
    case PathKind::DanglingLink: return QStringLiteral("a dangling symbolic link");
    case PathKind::LinkLoop: return QStringLiteral("a loop of symbolic links");
    case PathKind::Unreadable: return QStringLiteral("not accessible");
    }
    return QString();
}

int openRegularFile(const QString& path, QString* error, PathKind* kindOut)
{
    PathKind kind = classifyPath(path);
    if (kindOut)
        *kindOut = kind;
    if (kind != PathKind::Regular) {
        if (error)
            *error = refusal(path, kind);
        return -1;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("'%1' cannot be opened: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    // Whatever is there now, not what was there at the check.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        kind = ::fstat(fd, &st) == 0 ? kindOfMode(st.st_mode) : PathKind::Unreadable;
        if (kindOut)
            *kindOut = kind;
        if (error)
            *error = refusal(path, kind);
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::FILE* fopenRegularFile(const QString& path, QString* error, PathKind* kind)
{
    const int fd = openRegularFile(path, error, kind);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "r");
    if (!file) {
        if (error)
            *error = QStringLiteral("'%1' cannot be opened: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
    }
    return file;
}

bool readRegularFile(const QString& path, QByteArray* bytes, QString* error, qint64 maxBytes, PathKind* kind)
{
    const int fd = openRegularFile(path, error, kind);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > maxBytes) {
        if (error)
            *error = QStringLiteral("'%1' is larger than %2 bytes").arg(path).arg(maxBytes);
        ::close(fd);
        return false;
    }
    QByteArray data;
    data.reserve(int(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = QStringLiteral("'%1' cannot be read: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (data.size() + qint64(n) > maxBytes) {
            if (error)
                *error = QStringLiteral("'%1' is larger than %2 bytes").arg(path).arg(maxBytes);
            ::close(fd);
            return false;
        }
        data.append(buffer, int(n));
    }
    ::close(fd);
    *bytes = data;
    return true;
}
