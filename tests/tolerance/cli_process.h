#pragma once

// The tolerance and sweep tests run harvenlotek-cli as a separate process
// (HARVENLOTEK_CLI, the built program) and read the files it wrote.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Run {
    int code = -1;  // -1: killed after the timeout, or crashed
    QByteArray out;
    QByteArray err;
};

inline Run runCli(const QStringList& args, int timeoutMs = 900000)
{
    QProcess p;
    p.start(QStringLiteral(HARVENLOTEK_CLI), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
