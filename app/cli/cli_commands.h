#pragma once

#include "app/cli/cli_options.h"
#include "app/cli/cli_report.h"

// Runs the design and/or the fits of a validated request and fills *report.
// Returns CliExitOk, or CliExitFailure with a one-line message in *error when
// a result file could not be written, or CliExitUsage when the input turns
// out bad before anything was written (design points of another shape for a
// prism fit, an export whose surfaces cross).
int runCliRequest(const CliRequest& request, CliReport* report, QString* error);
