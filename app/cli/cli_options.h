#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// What one call of harvenlotek-cli asks for, after parsing and validation.
// Every value here is already inside the panel's ranges and rounded the way
// the panel's spin boxes round, so the commands never see bad input.

enum class CliCommand { Help, Design, Fit, Run };

// The window's design and "fix angle" rule always work with 1920 pixels
// across, whatever the resolution spin box shows.
constexpr int cliResolutionX = 1920;
// The angle spin box's range.
constexpr double cliAngleLow = 0.0;
constexpr double cliAngleHigh = 80.0;

struct CliDesignOptions {
    int focalLength = 35;
    int prismDistance = 175;
    int prismSize = 100;
    // The angle spin box's value (two decimals).
    double angleDeg = 20.0;
    // The index spin box's value (two decimals); the design takes it as float.
    double refractiveIndex = 1.48;
    bool fixAngle = false;
};

struct CliRequest {
    CliCommand command = CliCommand::Help;
    // For Help: the command whose help is wanted, empty for the tool's.
    QString helpTopic;
    CliDesignOptions design;
    // Fit orders in the order they run; allOrders when "--order all".
    QVector<int> orders;
    bool allOrders = false;
    // Absolute path; validated to exist and to be writable.
    QString outputDir;
    bool json = false;
    // 0: the design's own choice.
    int threads = 0;
};

QString cliCommandName(CliCommand command);

// Exit codes of the tool.
enum CliExitCode { CliExitOk = 0, CliExitFailure = 1, CliExitUsage = 2 };

// Parses the arguments after the program name and checks everything that can
// be checked before a file is written: values, ranges, the output directory
// and, for a fit on its own, its input file. Returns false with a one-line
// message in *error on bad input.
bool parseCliArguments(const QStringList& arguments, CliRequest* request, QString* error);

// The directory a fit of `order` writes its three files to.
QString fitOutputDirectory(const CliRequest& request, int order);

// Help texts: the tool's (empty topic) or a command's.
QString cliHelpText(const QString& topic);
