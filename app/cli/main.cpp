// harvenlotek-cli: the design and the fit of the window, without a display.

#include "app/cli/cli_commands.h"
#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_report.h"
#include "app/cli/cli_simulate.h"
#include "app/cli/cli_study.h"
#include "app/cli/cli_sweep.h"
#include "app/cli/cli_tolerance.h"
#include "io/byte_paths.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

void writeTo(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv)
{
    // An error map and the export's drawing are drawn with fonts, which need
    // a GUI application; the offscreen platform needs no display.
    bool map = argc > 1 && std::strcmp(argv[1], "prism") == 0;  // its report holds the maps
    for (int i = 1; i < argc; ++i)
        map = map || std::strcmp(argv[i], "--map") == 0 || std::strncmp(argv[i], "--map=", 6) == 0
              || std::strcmp(argv[i], "export") == 0;
    // So are the plots of a tolerance run and of a sweep.
    map = map || (argc > 1 && (std::strcmp(argv[1], "tolerance") == 0 || std::strcmp(argv[1], "merge") == 0
                               || std::strcmp(argv[1], "sweep") == 0));
    if (map)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Without a session the GUI application warns about its runtime
    // directory, which the tool never uses: that one line is dropped.
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& message) {
            if (!message.startsWith(QLatin1String("QStandardPaths:")))
                writeTo(stderr, message.toLocal8Bit() + '\n');
        });
    std::unique_ptr<QCoreApplication> application(map ? new QGuiApplication(argc, argv)
                                                      : new QCoreApplication(argc, argv));
    qInstallMessageHandler(previous);
    QCoreApplication::setApplicationName(QStringLiteral("harvenlotek-cli"));
    // Directory names that are not UTF-8 reach the file system unchanged.
    useByteExactFileNames();

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("simulate"))
        return runSimulateCommand(arguments);
    if (isSweepCommand(QCoreApplication::arguments().value(1)))
        return runSweepCommand(QCoreApplication::arguments().mid(1));
    if (isToleranceCommand(QCoreApplication::arguments().value(1)))
        return runToleranceCommand(QCoreApplication::arguments().mid(1));

    CliRequest request;
    QString error;
    if (!parseCliArguments(arguments, &request, &error))
        return failWith(CliExitUsage, error);
    if (request.command == CliCommand::Help) {
        writeTo(stdout, cliHelpText(request.helpTopic).toLocal8Bit());
        return CliExitOk;
    }

    CliReport report;
    const int code = runCliRequest(request, &report, &error);
    if (code != CliExitOk)
        return failWith(code, error);
    const CliVerification& v = report.verification;
    if (request.command == CliCommand::Verify) {
        QByteArray json = verify::verificationJson(v.sources, v.results);
        if (v.hasSensitivity)
            json = report::withFormSensitivity(json, v.sensitivity);
        writeTo(stdout, request.json ? json : formatVerificationText(v).toLocal8Bit());
        if (request.json && v.geometryFromOptions)
            failWith(CliExitOk, QStringLiteral("no design.json: the geometry comes from the panel options"));
        return CliExitOk;
    }
    QByteArray summary = request.json ? formatSummaryJson(report) : formatSummaryText(report).toLocal8Bit();
    if (report.hasVerification) {
        if (request.json) {
            // One object: the run's members, then "verification".
            const int end = summary.lastIndexOf('}');
            summary = summary.left(end) + ",\"verification\":" + verify::verificationEntriesJson(v.sources, v.results)
                      + "}\n";
        } else {
            summary += '\n' + formatVerificationText(v).toLocal8Bit();
        }
    }
    writeTo(stdout, summary);
    return CliExitOk;
}
