#pragma once

// The options of every harvenlotek-cli command, held in one table
// (cli_option_table.cpp): parsing, range checks, "--help" and the
// "option does not apply" refusals all come from it.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <vector>

// How an option's value is read and checked.
enum class CliValue {
    Switch,    // no value
    Text,      // any text; checked by the command
    Whole,     // a whole number from low to high
    Number,    // a finite number from low to high
    Positive,  // a finite number above 0, up to high
    Choice,    // one of the words of the value name, "a|b|c"
};

struct CliOption {
    const char* name;      // without "--"
    const char* value;     // value name in the help; a trailing "..." lets the option repeat
    CliValue kind;
    double low;
    double high;
    const char* start;     // the default as the help shows it; "" for none
    const char* commands;  // the commands that take it, blank-separated
    const char* help;      // what it is and its unit, one sentence; the help wraps it
};

// Every option, in the order the help lists them. An option may have several
// rows for disjoint sets of commands (the value reads differently there).
const std::vector<CliOption>& cliOptionTable();

// A command: its name, the words after it in the usage line, one line for the
// tool's help and the paragraph of its own help.
struct CliCommandInfo {
    const char* name;
    const char* usage;
    const char* summary;
    const char* about;
    bool lastWins = false;  // a repeated option takes its last value instead of being refused
};
const std::vector<CliCommandInfo>& cliCommandTable();
// "prism, design, fit, ..." and "prism, design, ... and calibrate".
QString cliCommandList(const QString& lastJoin);

// The values of one command's options, parsed and checked against the table.
class CliArguments {
public:
    bool isSet(const char* name) const { return parser_.isSet(QString::fromLatin1(name)); }
    QString text(const char* name) const { return parser_.value(QString::fromLatin1(name)); }
    QStringList texts(const char* name) const { return parser_.values(QString::fromLatin1(name)); }
    int whole(const char* name, int fallback) const { return isSet(name) ? text(name).toInt() : fallback; }
    double number(const char* name, double fallback) const { return isSet(name) ? text(name).toDouble() : fallback; }
    const QStringList& positional() const { return positional_; }
    bool help() const { return help_; }

private:
    friend bool parseCliOptions(const QString&, const QStringList&, bool, CliArguments*, QString*);
    QCommandLineParser parser_;
    QStringList positional_;
    bool help_ = false;
};

// Parses the arguments after `command` on the table's options: unknown
// options, options the command does not take, values given twice and values
// out of range are refused with a one-line message (which ends in a pointer
// to the command's help). "--help" wins over everything else (help() true,
// nothing checked). Positional arguments are refused unless `positional`.
bool parseCliOptions(const QString& command, const QStringList& arguments, bool positional, CliArguments* parsed,
                     QString* error);

// "Usage: ..." of a command, its paragraph, its options from the table and
// the exit codes; for an empty command, the tool's help.
QString cliHelpText(const QString& command);
