#pragma once

// What the commands of the long studies (tolerance, sweep) share: a
// one-line error, an option's value, the terminal progress line and the
// interrupt that cancels a run.

#include "core/progress.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <cstdint>

// Prints "harvenlotek-cli: MESSAGE" on standard error; returns `code`.
int failWith(int code, const QString& message);

class CliArguments;

// The options of the command args[0] on the option table; false with the
// exit code in *code when the run stops here (its help printed, or bad
// input refused with one line).
bool parseStudyOptions(const QStringList& args, bool positional, CliArguments* parsed, int* code);

// "12/1000 trials, 3.1 trials/s, 5m12s left" on one terminal line (a line
// per tenth when standard error is not a terminal).
class ProgressLine {
public:
    ProgressLine(std::int64_t items, const char* unit);
    void update(double fraction);
    void finish();

private:
    std::int64_t items_;
    const char* unit_;
    bool terminal_;
    QElapsedTimer timer_;
    qint64 shown_ = -1000;
    int lastTenth_ = -1;
};

// While it lives, SIGINT and SIGTERM cancel `progress`.
class InterruptCancels {
public:
    explicit InterruptCancels(core::Progress* progress);
    ~InterruptCancels();
    InterruptCancels(const InterruptCancels&) = delete;
    InterruptCancels& operator=(const InterruptCancels&) = delete;
};
