// The folders are the modules, and their includes run one way: a cycle
// between folders fails this test, with one include that closes it named.

#include <QtTest>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <functional>

namespace {

// A module is a top-level folder; the applications' subfolders (app/cli, ...)
// are modules of their own. Tests, benchmarks, scripts and build trees are
// not modules.
QString moduleOf(const QString& relativePath)
{
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    if (parts.size() == 1) return QStringLiteral(".");
    if (parts[0] == QLatin1String("app") && parts.size() > 2) return parts[0] + QLatin1Char('/') + parts[1];
    return parts[0];
}

bool skipped(const QString& relativePath)
{
    static const QStringList skip = {QStringLiteral("tests"), QStringLiteral("bench"), QStringLiteral("scripts"),
                                     QStringLiteral(".git")};
    const QString top = relativePath.section(QLatin1Char('/'), 0, 0);
    return skip.contains(top) || top.startsWith(QLatin1String("build"));
}

// Edge "from -> to" with the first include that makes it.
using Edges = QMap<QString, QMap<QString, QString>>;

Edges moduleEdges(const QString& root)
{
    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s*\"([^\"]+)\""),
                                            QRegularExpression::MultilineOption);
    const QDir base(root);
    Edges edges;
    QDirIterator it(root, {QStringLiteral("*.h"), QStringLiteral("*.cpp")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (skipped(relative)) continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) continue;
        const QString text = QString::fromUtf8(file.readAll());
        const QString from = moduleOf(relative);
        auto matches = include.globalMatch(text);
        while (matches.hasNext()) {
            const QString name = matches.next().captured(1);
            // Includes are written from the source root; one that names no
            // file there is a system or same-folder header.
            if (!QFileInfo::exists(base.filePath(name))) continue;
            const QString to = moduleOf(QDir::cleanPath(name));
            if (to != from && !edges[from].contains(to))
                edges[from][to] = relative + QStringLiteral(" -> ") + name;
        }
    }
    return edges;
}

// Each cycle as "a -> b -> a: include, include", found by depth-first search
// (one cycle per back edge).
QStringList cycles(const Edges& edges)
{
    QStringList found;
    QMap<QString, int> state;  // 0 new, 1 on the path, 2 done
    QStringList path;
    std::function<void(const QString&)> visit = [&](const QString& module) {
        state[module] = 1;
        path << module;
        for (auto e = edges.value(module).cbegin(); e != edges.value(module).cend(); ++e) {
            if (state.value(e.key()) == 1) {
                const QStringList loop = path.mid(path.indexOf(e.key())) << e.key();
                QStringList why;
                for (int i = 0; i + 1 < loop.size(); ++i) why << edges[loop[i]][loop[i + 1]];
                found << loop.join(QStringLiteral(" -> ")) + QStringLiteral(": ") + why.join(QStringLiteral("; "));
            } else if (state.value(e.key()) == 0) {
                visit(e.key());
            }
        }
        path.removeLast();
        state[module] = 2;
    };
    for (auto m = edges.cbegin(); m != edges.cend(); ++m)
        if (state.value(m.key()) == 0) visit(m.key());
    return found;
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

}  // namespace

class ModulesTest : public QObject {
    Q_OBJECT

private slots:
    void sourceTreeHasNoCycle()
    {
        const Edges edges = moduleEdges(QStringLiteral(HARVENLOTEK_SOURCE_DIR));
        QVERIFY2(edges.size() >= 10, "the source tree was not found");
        const QStringList found = cycles(edges);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }

    // Small trees: file -> its includes, and the modules a cycle must name
    // (empty: none).
    void plantedTrees_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("cycle");
        QTest::newRow("one way") << QStringList{"a/x.h:b/y.h", "b/y.h:"} << QStringList{};
        QTest::newRow("two folders") << QStringList{"a/x.h:b/y.h", "b/y.cpp:a/x.h", "b/y.h:"}
                                     << QStringList{"a", "b"};
        QTest::newRow("three folders") << QStringList{"a/x.h:b/y.h", "b/y.h:c/z.h", "c/z.cpp:a/x.h", "c/z.h:"}
                                       << QStringList{"a", "b", "c"};
        QTest::newRow("within a folder") << QStringList{"a/x.h:a/w.h", "a/w.h:a/x.h"} << QStringList{};
        QTest::newRow("application subfolders") << QStringList{"app/cli/m.cpp:app/w.h", "app/w.h:app/cli/m.h",
                                                               "app/cli/m.h:"}
                                                << QStringList{"app", "app/cli"};
        QTest::newRow("tests may include anything") << QStringList{"a/x.h:tests/t.h", "tests/t.h:a/x.h"}
                                                    << QStringList{};
        QTest::newRow("system headers") << QStringList{"a/x.h:vector", "vector:a/x.h"} << QStringList{};
    }

    void plantedTrees()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, cycle);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString& entry : files) {
            const QString name = entry.section(QLatin1Char(':'), 0, 0);
            const QString target = entry.section(QLatin1Char(':'), 1);
            const QByteArray text = target.isEmpty() ? QByteArray("#pragma once\n")
                                                     : "#include \"" + target.toUtf8() + "\"\n";
            QVERIFY(writeFile(dir.filePath(name), text));
        }
        const QStringList found = cycles(moduleEdges(dir.path()));
        if (cycle.isEmpty()) {
            QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
            return;
        }
        QCOMPARE(found.size(), 1);
        for (const QString& module : cycle)
            QVERIFY2(found[0].contains(module + QStringLiteral(" ->")), qPrintable(found[0]));
    }

    // The real tree with one include planted against the layering: the
    // parameter model reaching up into the design.
    void plantedCycleInTheSourceTree()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QDir source(QStringLiteral(HARVENLOTEK_SOURCE_DIR));
        QDirIterator it(source.path(), {QStringLiteral("*.h"), QStringLiteral("*.cpp")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString relative = source.relativeFilePath(it.next());
            if (skipped(relative)) continue;
            QFile in(source.filePath(relative));
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY(writeFile(dir.filePath(relative), in.readAll()));
        }
        QVERIFY(cycles(moduleEdges(dir.path())).isEmpty());
        QFile planted(dir.filePath(QStringLiteral("parameters/panel_parameters.cpp")));
        QVERIFY(planted.open(QIODevice::Append));
        planted.write("#include \"design/design_record.h\"\n");
        planted.close();
        const QStringList found = cycles(moduleEdges(dir.path()));
        QVERIFY2(found.size() == 1 && found[0].contains(QLatin1String("parameters/panel_parameters.cpp -> design/")),
                 qPrintable(found.join(QLatin1Char('\n'))));
    }
};

QTEST_APPLESS_MAIN(ModulesTest)
#include "tst_modules.moc"
