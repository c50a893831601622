// Helpers shared by the tests of the verifier, the calibration, the prism fit
// and the exports: writing a file and running the command-line tool.
#pragma once

#include <QFile>
#include <QProcess>
#include <QStringList>

// Writes `bytes` to `path`; a null QByteArray(): no file at all, an empty
// non-null one: an empty file.
inline bool putFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return bytes.isNull() || (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

#ifdef HARVENLOTEK_CLI
struct CliResult {
    int code = -1;  // -1: did not finish, or crashed
    QByteArray out;
    QByteArray err;
};

inline CliResult runCli(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    CliResult result;
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit)
        result.code = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
#endif
