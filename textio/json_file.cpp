#include "textio/json_file.h"

#include "io/safe_input.h"

#include <QJsonDocument>

bool readJsonObjectFile(const QString& path, QJsonObject* object, QString* error)
{
    QByteArray bytes;
    QString reason;
    if (!readRegularFile(path, &bytes, &reason)) {
        *error = QStringLiteral("cannot read %1 (%2)").arg(path, reason);
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        *error = QStringLiteral("%1 is not valid JSON (%2)")
                     .arg(path, parse.error != QJsonParseError::NoError ? parse.errorString()
                                                                        : QStringLiteral("not an object"));
        return false;
    }
    *object = doc.object();
    return true;
}
