#pragma once

// Reads a JSON result file whose top level is an object: a regular file
// only (a FIFO in its place must not block), parsed whole. False with a
// one-line *error when it cannot be read or is not a JSON object.

#include <QJsonObject>
#include <QString>

bool readJsonObjectFile(const QString& path, QJsonObject* object, QString* error);
