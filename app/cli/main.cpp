// harvenlotek-cli: the design and the fit of the window, without a display.

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_report.h"
#include "io/byte_paths.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void writeTo(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void reportError(const QString& message)
{
    writeTo(stderr, QByteArrayLiteral("harvenlotek-cli: ") + message.toLocal8Bit() + '\n');
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("harvenlotek-cli"));
    // Directory names that are not UTF-8 reach the file system unchanged.
    useByteExactFileNames();

    CliRequest request;
    QString error;
    if (!parseCliArguments(QCoreApplication::arguments().mid(1), &request, &error)) {
        reportError(error);
        return CliExitUsage;
    }
    if (request.command == CliCommand::Help) {
        writeTo(stdout, cliHelpText(request.helpTopic).toLocal8Bit());
        return CliExitOk;
    }

    CliReport report;
    const int code = runCliRequest(request, &report, &error);
    if (code != CliExitOk) {
        reportError(error);
        return code;
    }
    writeTo(stdout, request.json ? formatSummaryJson(report)
                                 : formatSummaryText(report).toLocal8Bit());
    return CliExitOk;
}
