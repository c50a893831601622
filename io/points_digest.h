#pragma once

// The identity of a set of design points: the SHA-256 of the bytes of
// "outputall.txt" as written or read, in lower-case hex. Results made from
// the points record it, so that a later reader can tell whether they belong
// to the design beside them.

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <cstddef>

class PointsDigest {
public:
    void add(const char* data, std::size_t size) { hash_.addData(data, static_cast<int>(size)); }
    QString hex() const { return QString::fromLatin1(hash_.result().toHex()); }

private:
    QCryptographicHash hash_{QCryptographicHash::Sha256};
};

inline QString pointsDigestOf(const char* data, std::size_t size)
{
    PointsDigest digest;
    digest.add(data, size);
    return digest.hex();
}
