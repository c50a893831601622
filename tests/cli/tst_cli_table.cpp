// The option table of harvenlotek-cli: every row reaches the help of the
// commands that take it, every other command refuses it, and every range is
// enforced at both ends.

#include "app/cli/cli_option_table.h"
#include "parameters/panel_parameters.h"

#include <QtTest>

#include <climits>

namespace {

QStringList commandNames()
{
    QStringList names;
    for (const CliCommandInfo& c : cliCommandTable())
        names << QString::fromLatin1(c.name);
    return names;
}

QStringList commandsOf(const CliOption& o)
{
    return QString::fromLatin1(o.commands).split(QLatin1Char(' '));
}

bool ranged(const CliOption& o)
{
    return o.kind == CliValue::Whole || o.kind == CliValue::Number || o.kind == CliValue::Positive;
}

struct Parsed {
    bool ok = false;
    QString error;
};

Parsed parse(const QString& command, const QStringList& arguments)
{
    CliArguments a;
    Parsed p;
    p.ok = parseCliOptions(command, arguments, false, &a, &p.error);
    return p;
}

// The arguments that give `o` the value `value` (a switch takes none).
QStringList given(const CliOption& o, const QString& value)
{
    const QString name = QStringLiteral("--") + QLatin1String(o.name);
    return o.kind == CliValue::Switch ? QStringList{name} : QStringList{name, value};
}

}  // namespace

class TestCliTable : public QObject {
    Q_OBJECT
private slots:
    void rowsNameKnownCommands();
    void helpListsEveryOption_data();
    void helpListsEveryOption();
    void otherCommandsRefuse_data();
    void otherCommandsRefuse();
    void rangesEnforced_data();
    void rangesEnforced();
    void choicesEnforced();
    void repeatOnlyWhereAllowed();
    void helpWinsOverBadValues();
    void panelRowsAreThePanel();
};

void TestCliTable::rowsNameKnownCommands()
{
    const QStringList known = commandNames();
    for (const CliOption& o : cliOptionTable())
        for (const QString& command : commandsOf(o))
            QVERIFY2(known.contains(command), qPrintable(QStringLiteral("--%1: %2").arg(o.name, command)));
    // No option twice for one command.
    for (const QString& command : known) {
        QStringList seen;
        for (const CliOption& o : cliOptionTable()) {
            if (!commandsOf(o).contains(command))
                continue;
            QVERIFY2(!seen.contains(QLatin1String(o.name)), qPrintable(command + QLatin1Char(' ') + o.name));
            seen << QString::fromLatin1(o.name);
        }
    }
}

void TestCliTable::helpListsEveryOption_data()
{
    QTest::addColumn<QString>("command");
    for (const QString& command : commandNames())
        QTest::newRow(qPrintable(command)) << command;
}

void TestCliTable::helpListsEveryOption()
{
    QFETCH(QString, command);
    const QString help = cliHelpText(command);
    QVERIFY(help.startsWith(QStringLiteral("Usage: harvenlotek-cli ") + command));
    const QStringList lines = help.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        QVERIFY2(line.size() <= 79, qPrintable(line));
    for (const CliOption& o : cliOptionTable()) {
        const QString head = QStringLiteral("  --") + QLatin1String(o.name)
                             + (o.kind == CliValue::Switch ? QString() : QLatin1Char(' ') + QLatin1String(o.value));
        const bool listed = std::any_of(lines.begin(), lines.end(), [&head](const QString& line) {
            return line == head || line.startsWith(head + QLatin1Char(' '));
        });
        if (!commandsOf(o).contains(command))
            continue;
        QVERIFY2(listed, o.name);
        if (*o.start)
            QVERIFY2(help.simplified().contains(QStringLiteral("default %1").arg(o.start)), o.name);
    }
    // And no option the command does not take.
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1String("  --")))
            continue;
        const QString name = line.mid(4).section(QLatin1Char(' '), 0, 0);
        const auto& table = cliOptionTable();
        QVERIFY2(std::any_of(table.begin(), table.end(),
                             [&](const CliOption& o) {
                                 return name == QLatin1String(o.name) && commandsOf(o).contains(command);
                             }),
                 qPrintable(line));
    }
}

void TestCliTable::otherCommandsRefuse_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("row");
    const auto& table = cliOptionTable();
    for (const QString& command : commandNames()) {
        for (int i = 0; i < int(table.size()); ++i) {
            const CliOption& o = table[std::size_t(i)];
            const bool takenByAnyRow = std::any_of(table.begin(), table.end(), [&](const CliOption& other) {
                return QLatin1String(other.name) == QLatin1String(o.name) && commandsOf(other).contains(command);
            });
            if (!takenByAnyRow)
                QTest::addRow("%s --%s", qPrintable(command), o.name) << command << i;
        }
    }
}

void TestCliTable::otherCommandsRefuse()
{
    QFETCH(QString, command);
    QFETCH(int, row);
    const CliOption& o = cliOptionTable()[std::size_t(row)];
    const QString value = o.kind == CliValue::Choice ? QString::fromLatin1(o.value).section('|', 0, 0)
                                                     : QStringLiteral("1");
    const Parsed p = parse(command, given(o, value));
    QVERIFY(!p.ok);
    QCOMPARE(p.error, QStringLiteral("option --%1 does not apply to %2 (see 'harvenlotek-cli %2 --help')")
                          .arg(o.name, command));
}

void TestCliTable::rangesEnforced_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("accepted");
    for (const CliOption& o : cliOptionTable()) {
        if (!ranged(o))
            continue;
        const QString command = commandsOf(o).first();
        const QString name = QString::fromLatin1(o.name);
        const auto row = [&](const char* what, const QString& value, bool accepted) {
            QTest::addRow("%s --%s %s", qPrintable(command), o.name, what) << command << name << value << accepted;
        };
        const bool whole = o.kind == CliValue::Whole;
        const double below = whole ? o.low - 1 : o.kind == CliValue::Positive ? 0.0 : o.low - 0.001;
        row("below", QString::number(below, 'g', 12), false);
        row("high", QString::number(o.high, 'g', 12), true);
        if (o.high < INT_MAX)
            row("above", QString::number(whole ? o.high + 1 : o.high * 1.001 + 0.001, 'g', 12), false);
        if (o.kind != CliValue::Positive)
            row("low", QString::number(o.low, 'g', 12), true);
        row("not a number", QStringLiteral("ten"), false);
        if (whole)
            row("a fraction", QString::number(o.low + 0.5), false);
        else
            row("infinite", QStringLiteral("inf"), false);
    }
}

void TestCliTable::rangesEnforced()
{
    QFETCH(QString, command);
    QFETCH(QString, option);
    QFETCH(QString, value);
    QFETCH(bool, accepted);
    const Parsed p = parse(command, {QStringLiteral("--") + option, value});
    QCOMPARE(p.ok, accepted);
    if (!accepted) {
        QVERIFY2(p.error.startsWith(QStringLiteral("--%1 must be ").arg(option)), qPrintable(p.error));
        QVERIFY2(p.error.endsWith(QStringLiteral("got '%1'").arg(value)) && !p.error.contains('\n'),
                 qPrintable(p.error));
    }
}

void TestCliTable::choicesEnforced()
{
    for (const CliOption& o : cliOptionTable()) {
        if (o.kind != CliValue::Choice)
            continue;
        const QString command = commandsOf(o).first();
        const QString name = QStringLiteral("--") + QLatin1String(o.name);
        for (const QString& word : QString::fromLatin1(o.value).split('|'))
            QVERIFY2(parse(command, {name, word}).ok, qPrintable(name + ' ' + word));
        const Parsed upper = parse(command, {name, QString::fromLatin1(o.value).section('|', 0, 0).toUpper()});
        QVERIFY(!upper.ok);
        QVERIFY2(upper.error.startsWith(name + QStringLiteral(" must be ")), qPrintable(upper.error));
    }
}

void TestCliTable::repeatOnlyWhereAllowed()
{
    QVERIFY(parse("calibrate", {"--depth", "300", "--depth", "600"}).ok);
    QVERIFY(parse("simulate", {"--depth", "300", "--depth", "600"}).ok);
    const Parsed twice = parse("design", {"--size", "90", "--size", "100"});
    QVERIFY(!twice.ok);
    QCOMPARE(twice.error, QStringLiteral("option --size given twice"));
    // tolerance takes the last value (scripts append to a base command line).
    CliArguments a;
    QString error;
    QVERIFY(parseCliOptions("tolerance", {"--trials", "2", "--trials", "5"}, false, &a, &error));
    QCOMPARE(a.whole("trials", 0), 5);
}

void TestCliTable::helpWinsOverBadValues()
{
    CliArguments a;
    QString error;
    QVERIFY(parseCliOptions("design", {"--focal-length", "400", "--tilt", "3", "--help"}, false, &a, &error));
    QVERIFY(a.help());
}

// The panel options take the window's ranges and start values.
void TestCliTable::panelRowsAreThePanel()
{
    int rows = 0;
    for (const PanelFieldRange& field : panelFieldRanges) {
        if (!*field.option || QLatin1String(field.option) == QLatin1String("order"))
            continue;
        const auto& table = cliOptionTable();
        const auto row = std::find_if(table.begin(), table.end(), [&field](const CliOption& o) {
            return QLatin1String(o.name) == QLatin1String(field.option);
        });
        QVERIFY2(row != table.end(), field.option);
        QCOMPARE(row->low, field.low);
        QCOMPARE(row->high, field.high);
        QCOMPARE(QString::fromLatin1(row->start).toDouble(), field.start);
        QVERIFY(QString::fromLatin1(row->help).startsWith(QLatin1String(field.description)));
        ++rows;
    }
    QCOMPARE(rows, 5);
    const PanelParameters start;
    QCOMPARE(start.focalLength, 35);
    QCOMPARE(start.refractiveIndex, 1.48);
}

QTEST_GUILESS_MAIN(TestCliTable)
#include "tst_cli_table.moc"
