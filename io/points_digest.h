#pragma once

// The identity of a set of design points: the SHA-1 of the bytes of
// "outputall.txt" as written or read, in lower-case hex. Results made from
// the points record it, so that a later reader can tell whether they belong
// to the design beside them. An identity, not a protection against forgery:
// SHA-1 because Qt's SHA-256 takes four to six times as long (about 100 ms
// more per 9 MB design file here).

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <cstddef>

class PointsDigest {
public:
    void add(const char* data, std::size_t size) { hash_.addData(data, static_cast<int>(size)); }
    QString hex() const { return QString::fromLatin1(hash_.result().toHex()); }

private:
    QCryptographicHash hash_{QCryptographicHash::Sha1};
};

inline QString pointsDigestOf(const char* data, std::size_t size)
{
    PointsDigest digest;
    digest.add(data, size);
    return digest.hex();
}
