#include "io/directory_lock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

namespace {

QString holderOf(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    const QByteArray pid = QByteArray(text, n > 0 ? int(n) : 0).trimmed();
    return pid.isEmpty() ? QStringLiteral("another run") : QStringLiteral("another run (process %1)").arg(QString::fromLatin1(pid));
}

void pause(int milliseconds)
{
    timespec t{milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace

DirectoryLock::DirectoryLock(const QString& directory) : directory_(directory) {}

DirectoryLock::~DirectoryLock()
{
    release();
}

bool DirectoryLock::acquire(Mode mode, QString* error, int timeoutMilliseconds)
{
    heldElsewhere_ = false;
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(QDir(directory_).filePath(lockFileName()));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot lock '%1': %2").arg(directory_, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    int waited = 0;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            if (error)
                *error = QStringLiteral("cannot lock '%1': %2").arg(directory_, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return false;
        }
        if (mode == Mode::Refuse || (timeoutMilliseconds >= 0 && waited >= timeoutMilliseconds)) {
            heldElsewhere_ = true;
            if (error)
                *error = QStringLiteral("%1 is writing in '%2'; try again when it is done")
                         .arg(holderOf(fd), QDir(directory_).absolutePath());
            ::close(fd);
            return false;
        }
        // Polling rather than a blocking flock: the wait can end on time.
        pause(20);
        waited += 20;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, pid.constData(), std::size_t(pid.size()), 0);
    fd_ = fd;
    return true;
}

void DirectoryLock::release()
{
    if (fd_ < 0)
        return;
    // No process id is left to name once the lock is free.
    (void)!::ftruncate(fd_, 0);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}
