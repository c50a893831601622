#pragma once

// harvenlotek-cli sweep: the one-shot prism run over a grid of panel values
// (tolerance/sweep.h), and the merge of its shards.

#include <QString>
#include <QStringList>

bool isSweepCommand(const QString& command);
// Runs it on the arguments after the program name; returns the exit code
// (0, 1 when the files could not be written, 2 for bad input, 130 when
// interrupted), having printed any message as one line on standard error.
int runSweepCommand(const QStringList& arguments);
// "merge" of sweep shard folders into `outputDir`.
int mergeSweepFolders(const QString& outputDir, const QStringList& shardDirectories);
