#pragma once

// harvenlotek-cli tolerance / merge: Monte Carlo tolerancing of a prism fit
// and the merge of its shards (tolerance/).

#include <QString>
#include <QStringList>

// Whether `command` (the first argument) is one of these commands.
bool isToleranceCommand(const QString& command);
// Runs it on the arguments after the program name; returns the exit code
// (0, 1 when a run failed, 2 for bad input, 130 when interrupted), having
// printed any message as one line on standard error.
int runToleranceCommand(const QStringList& arguments);
