// harvenlotek-cli under faults: killed at seeded random moments of a design
// and of a fit, on a full disk, on corrupt or special input files, and two
// runs in one directory at once. After each trial every result set is the
// previous good one or the new complete one, never a mix, never a cut file.
#include "fit/fit_files.h"
#include "io/atomic_file_set.h"
#include "io/byte_paths.h"
#include "../io/test_files.h"

#include <QtTest>

#include <random>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Design-like rows that fit well, `count` of them: every point inside both
// windows, spread over them (points on one line would leave the fit
// singular); the z of a surface can be given as a text ("nan").
QByteArray smallRows(int count, const char* z1 = nullptr, const char* z2 = nullptr)
{
    QByteArray rows;
    for (int i = 0; i < count; ++i) {
        const double x = -20 + 0.02 * i, y = -10 + 0.2 * (i * 37 % 100);
        rows += QString::asprintf("%g %g %s %g %g %s\n", x, y,
                                  z1 ? z1 : qPrintable(QString::asprintf("%g", 1 + 0.01 * x * x)), 1 + 0.01 * i, y,
                                  z2 ? z2 : qPrintable(QString::asprintf("%g", 2 + 0.001 * i)))
                    .toLatin1();
    }
    return rows;
}

const QStringList designFiles{"output.txt", "outputall.txt", "design.json"};
const QStringList fitFiles{"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt", "result_para_fit.json"};
const QStringList settingsB{"--focal-length", "30"};  // the new run; A are the start values

struct Run {
    int code = -1;
    QByteArray err;
    bool hung = false;
};

void start(QProcess* p, const QString& dir, const QStringList& args)
{
    p->setWorkingDirectory(dir);
    p->start(HARVENLOTEK_CLI, args);
}

// Starts the tool with a library that ends it right after its N-th rename
// of a result file (stop_after_rename.cpp).
void startStoppingAfterRename(QProcess* p, const QString& dir, const QStringList& args, int renames)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", STOP_AFTER_RENAME);
    env.insert("HVL_STOP_AFTER_RENAME", QString::number(renames));
    p->setProcessEnvironment(env);
    start(p, dir, args);
}

Run finish(QProcess* p)
{
    Run r;
    r.hung = p->state() != QProcess::NotRunning && !p->waitForFinished(60000);
    if (r.hung)
        p->kill(), p->waitForFinished();
    r.code = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    r.err = p->readAllStandardError();
    return r;
}

Run cli(const QString& dir, const QStringList& args)
{
    QProcess p;
    start(&p, dir, args);
    return finish(&p);
}

// Counts of the fault trials, printed at the end.
struct Tally {
    int tried = 0, refused = 0, completed = 0, keptOld = 0, finishedAfterKill = 0, lost = 0, mixed = 0, hangs = 0;
    int scratchLeft = 0;  // per-surface point files of a killed fit, until the next fit
} tally;

} // namespace

class TestReliability : public QObject {
    Q_OBJECT
    QTemporaryDir refA, refB, refSmall;
    QMap<QString, QByteArray> a, b, small;  // file name -> bytes of a good run
    int designMs = 0, fitMs = 0;             // how long the runs of B took here

    QMap<QString, QByteArray> filesOf(const QString& dir) const
    {
        QMap<QString, QByteArray> m;
        for (const QString& n : designFiles + fitFiles)
            m[n] = fileBytes(QDir(dir).filePath(n));
        return m;
    }
    void place(const QString& dir, const QMap<QString, QByteArray>& from, const QStringList& names)
    {
        for (const QString& n : names)
            putFile(QDir(dir).filePath(n), from[n]);
    }
    // Which complete set `names` holds: 'A', 'B', or 0 (a mix or a file of neither).
    char setOf(const QString& dir, const QStringList& names, const QMap<QString, QByteArray>& newSet)
    {
        bool allOld = true, allNew = true;
        for (const QString& n : names) {
            const QByteArray got = fileBytes(QDir(dir).filePath(n));
            allOld = allOld && got == a[n];
            allNew = allNew && got == newSet[n];
            if (got != a[n] && got != newSet[n])
                ++tally.lost;  // a cut, empty or missing file
        }
        return allOld ? 'A' : allNew ? 'B' : 0;
    }
    // After a trial: the sets as a reader finds them, then after the next
    // run's recovery; nothing but results and the lock file left.
    void checkSets(const QString& dir, const QStringList& changed, const QMap<QString, QByteArray>& newSet, bool killed)
    {
        const char seen = setOf(dir, changed, newSet);
        const bool pending = AtomicFileSet::commitPending(dir);
        QVERIFY2(seen || pending, "a mix of two runs without a journal saying so");
        AtomicFileSet::recover(dir, nullptr, fitScratchFileNames());  // as the next run does
        const char after = setOf(dir, changed, newSet);
        if (!after)
            ++tally.mixed;
        QVERIFY2(after, "a mix of two runs after recovery");
        if (killed)
            (pending ? tally.finishedAfterKill : after == 'A' ? tally.keptOld : tally.completed)++;
        for (const QString& n : entries(dir))
            QVERIFY2(n == ".hvl.lock" || designFiles.contains(n) || fitFiles.contains(n), qPrintable(n));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(cli(refA.path(), {"run", "--order", "3"}).code == 0);
        // B in two steps, timed, so that the kills fall across whole runs.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(cli(refB.path(), QStringList{"design"} + settingsB).code == 0);
        designMs = int(timer.restart());
        QVERIFY(cli(refB.path(), {"fit", "--order", "3"}).code == 0);
        fitMs = int(timer.elapsed());
        a = filesOf(refA.path());
        b = filesOf(refB.path());
        for (const QString& n : designFiles + fitFiles)
            QVERIFY2(a[n] != b[n] && a[n].size() > 100, qPrintable(n));
        // A small design output of 2000 rows for the input cases.
        putFile(refSmall.filePath("outputall.txt"), smallRows(2000));
        QVERIFY(cli(refSmall.path(), {"fit", "--order", "3"}).code == 0);
        small = filesOf(refSmall.path());
    }

    void cleanupTestCase()
    {
        qInfo("fault trials: %d tried, %d refused cleanly, %d completed, %d kept the previous set, "
              "%d finished by the next run, %d files lost, %d mixed, %d hangs; %d killed fits left point files (removed by the next run)",
              tally.tried, tally.refused, tally.completed, tally.keptOld, tally.finishedAfterKill, tally.lost,
              tally.mixed, tally.hangs, tally.scratchLeft);
        QCOMPARE(tally.lost + tally.mixed + tally.hangs, 0);
    }

    // SIGKILL at a seeded random moment of a design (20) and of a fit (10),
    // as a fraction of the run's time here, up to 1.2 times it.
    void kills_data()
    {
        QTest::addColumn<bool>("fit");
        QTest::addColumn<int>("permille");
        std::mt19937 random(20261207);
        for (int i = 0; i < 30; ++i) {
            const int permille = int(random() % 1200u);
            QTest::newRow(qPrintable(QString("%1 kill %2 at %3 permille").arg(i >= 20 ? "fit" : "design").arg(i).arg(permille)))
                << (i >= 20) << permille;
        }
    }
    void kills()
    {
        QFETCH(bool, fit);
        QFETCH(int, permille);
        const int delayMs = (fit ? fitMs : designMs) * permille / 1000;
        QTemporaryDir dir;
        // Old: everything of A; a fit run reads B's design and writes B's fit.
        place(dir.path(), a, fitFiles);
        place(dir.path(), fit ? b : a, designFiles);
        QProcess p;
        start(&p, dir.path(), fit ? QStringList{"fit", "--order", "3"} : QStringList{"design"} + settingsB);
        QVERIFY(p.waitForStarted());
        ++tally.tried;
        const bool killed = !p.waitForFinished(delayMs);
        if (killed)
            p.kill();
        const Run r = finish(&p);
        tally.hangs += r.hung;
        QVERIFY(killed || r.code == 0);
        tally.completed += !killed;
        tally.scratchLeft += !entries(dir.path()).filter("outputall_fig").isEmpty();
        checkSets(dir.path(), fit ? fitFiles : designFiles, b, killed);
        QCOMPARE(setOf(dir.path(), fit ? designFiles : fitFiles, fit ? b : a), fit ? 'B' : 'A');  // the other set untouched
    }

    // A tmpfs too small for the new files: the run says so, the old stay.
    void fullDisk_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("design") << (QStringList{"design"} + settingsB);
        QTest::newRow("fit") << QStringList{"fit", "--order", "4"};
    }
    void fullDisk()
    {
        QFETCH(QStringList, args);
        QTemporaryDir dir;
        if (mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=36m") != 0)
            QSKIP("cannot mount a tmpfs here (needs root and mount rights): the full-disk case is not run");
        place(dir.path(), a, designFiles + fitFiles);  // about 31 MB of 36
        const Run r = cli(dir.path(), args);
        ++tally.tried;
        tally.refused += r.code == 1;
        QStringList after = entries(dir.path()), expected = QStringList({".hvl.lock"}) + designFiles + fitFiles;
        std::sort(after.begin(), after.end());
        std::sort(expected.begin(), expected.end());
        const bool same = filesOf(dir.path()) == a;
        umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("No space left on device") && r.err.count('\n') == 1, r.err.constData());
        QVERIFY2(r.err.contains("not replaced: " + (args[0] == "fit" ? fitFiles : designFiles).join(", ").toUtf8()),
                 r.err.constData());
        QVERIFY(same);
        QCOMPARE(after, expected);
    }

    // The corrupt and special inputs: exit 2, the line and the
    // reason in one line, the previous fit files as they were.
    void corruptInputs_data()
    {
        QTest::addColumn<QByteArray>("design");  // "<fifo>", "<dir>", "<dangling>", "<loop>": special files
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QStringList fit3{"fit", "--order", "3"};
        const QByteArray good = "1 2 3 4 5 6\n", row5 = "1 2 3 4 5\n", row7 = "1 2 3 4 5 6 7\n";
        std::mt19937 random(14);
        QByteArray noise(4096, 0);
        for (char& c : noise)
            c = char(random());
        const QByteArray goodRows = good.repeated(6);
        QTest::newRow("empty") << QByteArray() << fit3 << "outputall.txt: the file is empty";
        QTest::newRow("random bytes") << noise << fit3 << "outputall.txt: line 1: '";
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe" "1\0 \0" "2\0", 8) + QByteArray("\n\0", 2) << fit3 << "line 1: '\\xff\\xfe1\\x00' is not a number";
        QTest::newRow("cut last line") << goodRows + "1 2 3 4." << fit3 << "line 7: 4 numbers, expected 6; the last line has no line end";
        QTest::newRow("5 numbers") << goodRows + row5 << fit3 << "line 7: 5 numbers, expected 6";
        QTest::newRow("7 numbers") << goodRows + row7 << fit3 << "line 7: more than 6 numbers";
        QTest::newRow("all NaN") << QByteArray("nan nan nan nan nan nan\n").repeated(50) << fit3 << "surface 1 has 0 points";
        QTest::newRow("every z of surface 1 NaN") << smallRows(2000, "nan", "2") << fit3 << "surface 1: every z is NaN";
        QTest::newRow("every z of surface 2 NaN") << smallRows(2000, "1", "nan") << fit3 << "surface 2: every z is NaN";
        QTest::newRow("one z NaN") << smallRows(2000) + "1 2 nan 4 5 6\n" << fit3
                                   << "surface 1: 1 of the 2001 points inside its window have a NaN z";
        QTest::newRow("singular") << good.repeated(30) << fit3 << "the order-3 fit is not finite (its normal equations are singular";
        QTest::newRow("1e308") << goodRows + "1 2 1e308 4 5 6\n" << fit3 << "line 7: '1e308' is beyond";
        QTest::newRow("50 MB line") << QByteArray(50 << 20, '7') + "\n" << fit3 << "line 1: longer than 512 bytes";
        QTest::newRow("too few points for order 8") << good.repeated(24) << QStringList{"fit", "--order", "8"} << "surface 2 has 24 points";
        QTest::newRow("focal length 4") << QByteArray("<design>") << QStringList{"run", "--order", "3", "--focal-length", "4"} << "surface 1 has 0 points";
        QTest::newRow("FIFO") << QByteArray("<fifo>") << fit3 << "is a FIFO, not a regular file";
        QTest::newRow("directory") << QByteArray("<dir>") << fit3 << "is a directory, not a regular file";
        QTest::newRow("dangling link") << QByteArray("<dangling>") << fit3 << "is a dangling symbolic link";
        QTest::newRow("link loop") << QByteArray("<loop>") << fit3 << "is a loop of symbolic links";
        QTest::newRow("dangling link as a result") << QByteArray("<dangling result>") << QStringList{"design"} << "output.txt' is a dangling symbolic link";
        QTest::newRow("FIFO as a result") << QByteArray("<fifo result>") << fit3 << "result_para_fit.txt' is a FIFO";
    }
    void corruptInputs()
    {
        QFETCH(QByteArray, design);
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QTemporaryDir dir;
        place(dir.path(), small, fitFiles);
        const QByteArray input = QFile::encodeName(dir.filePath("outputall.txt"));
        if (design == "<fifo>")
            QVERIFY(mkfifo(input, 0600) == 0);
        else if (design == "<dir>")
            QVERIFY(QDir().mkdir(dir.filePath("outputall.txt")));
        else if (design == "<dangling>")
            QVERIFY(symlink("nowhere", input) == 0);
        else if (design == "<loop>")
            QVERIFY(symlink("outputall.txt", input) == 0);
        else if (design == "<dangling result>")
            QVERIFY(symlink("nowhere", QFile::encodeName(dir.filePath("output.txt"))) == 0);
        else if (design == "<fifo result>") {
            place(dir.path(), small, {"outputall.txt"});
            QVERIFY(QFile::remove(dir.filePath("result_para_fit.txt")));
            QVERIFY(mkfifo(QFile::encodeName(dir.filePath("result_para_fit.txt")), 0600) == 0);
        } else if (design != "<design>")
            putFile(dir.filePath("outputall.txt"), design);
        const Run r = cli(dir.path(), args);
        ++tally.tried;
        tally.hangs += r.hung;
        tally.refused += r.code == 2;
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message.toUtf8()) && r.err.count('\n') == 1, r.err.constData());
        for (const QString& n : fitFiles)
            QVERIFY(design == "<fifo result>" && n == "result_para_fit.txt" ? QFileInfo(dir.filePath(n)).exists()
                                                                           : fileBytes(dir.filePath(n)) == small[n]);
        for (const QString& n : entries(dir.path()))
            QVERIFY2(!n.contains("hvl-") && !n.startsWith("outputall_fig"), qPrintable(n));
    }

    // A row of NaN among good ones is dropped by the split, as it always was:
    // the fit is that of the good rows.
    void nanRowDroppedBySplit()
    {
        QTemporaryDir dir;
        const QByteArray rows = smallRows(2000);
        const int middle = rows.indexOf('\n', rows.size() / 2) + 1;
        putFile(dir.filePath("outputall.txt"), rows.left(middle) + "nan nan nan nan nan nan\n" + rows.mid(middle));
        const Run r = cli(dir.path(), {"fit", "--order", "3"});
        QVERIFY2(r.code == 0, r.err.constData());
        for (const QString n : {"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt"})
            QCOMPARE(fileBytes(dir.filePath(n)), small[n]);
    }

    // Killed right after each rename of a commit (the journal's is the
    // first), the folder then copied or moved elsewhere: the next call there
    // finishes the set (one complete set, the new one), and a copy leaves the
    // original as it was. Then a journal that cannot be applied (a new file
    // lost in the copy): every call says so, `verify` refuses the mix, and a
    // fit replaces the whole set.
    void killedAtRenameThenCopied_data()
    {
        QTest::addColumn<bool>("fit");
        QTest::addColumn<int>("renames");
        QTest::addColumn<bool>("move");
        for (bool fit : {false, true})
            for (int k = 1; k <= (fit ? 5 : 4); ++k)
                for (bool move : {false, true})
                    QTest::newRow(qPrintable(QString("%1 stopped after rename %2, %3")
                                                 .arg(fit ? "fit" : "design").arg(k).arg(move ? "moved" : "copied")))
                        << fit << k << move;
    }
    void killedAtRenameThenCopied()
    {
        QFETCH(bool, fit);
        QFETCH(int, renames);
        QFETCH(bool, move);
        const QStringList fit3{"fit", "--order", "3"}, designB = QStringList{"design"} + settingsB;
        QTemporaryDir dir, elsewhere;
        place(dir.path(), a, fitFiles);
        place(dir.path(), fit ? b : a, designFiles);
        QProcess p;
        startStoppingAfterRename(&p, dir.path(), fit ? fit3 : designB, renames);
        const Run r = finish(&p);
        ++tally.tried;
        tally.hangs += r.hung;
        QCOMPARE(r.code, 9);
        QVERIFY(AtomicFileSet::commitPending(dir.path()));
        QMap<QString, QByteArray> left;
        for (const QString& n : entries(dir.path()))
            left[n] = fileBytes(dir.filePath(n));
        const QString copy = elsewhere.filePath("results");
        QCOMPARE(QProcess::execute(move ? "mv" : "cp", move ? QStringList{dir.path(), copy} : QStringList{"-a", dir.path(), copy}), 0);
        const Run next = cli(copy, fit ? designB : fit3);  // the other stage
        QVERIFY2(next.code == 0 && next.err.isEmpty(), next.err.constData());
        const QStringList changed = fit ? fitFiles : designFiles;
        const char seen = setOf(copy, changed, b);
        tally.mixed += !seen;
        QCOMPARE(seen, 'B');
        ++tally.finishedAfterKill;
        QCOMPARE(setOf(copy, designFiles + fitFiles, b), 'B');
        for (const QString& n : entries(copy))
            QVERIFY2(n == ".hvl.lock" || designFiles.contains(n) || fitFiles.contains(n), qPrintable(n));
        if (!move) {
            QMap<QString, QByteArray> now;
            for (const QString& n : entries(dir.path()))
                now[n] = fileBytes(dir.filePath(n));
            QVERIFY(now == left);
        }
    }

    void unappliableJournal()
    {
        QTemporaryDir dir;
        place(dir.path(), a, fitFiles);
        place(dir.path(), b, designFiles);
        QProcess p;
        startStoppingAfterRename(&p, dir.path(), {"fit", "--order", "3"}, 2);  // the journal and one fitted-point file
        QCOMPARE(finish(&p).code, 9);
        const QStringList temps = QDir(dir.path()).entryList({".result_para_fit.txt.hvl-tmp-*"}, QDir::Files | QDir::Hidden);
        QCOMPARE(temps.size(), 1);
        QVERIFY(QFile::remove(dir.filePath(temps.first())));
        const QByteArray said = "the interrupted replacement of the fit files in '" + QFile::encodeName(dir.path())
                                + "' cannot be finished: the new result_para_fit.txt is missing; new: output_fit_fig";
        Run r = cli(dir.path(), QStringList{"design"} + settingsB);
        QVERIFY2(r.code == 0 && r.err.contains(said), r.err.constData());
        r = cli(dir.path(), {"verify"});
        QVERIFY2(r.code == 2 && r.err.contains(said) && r.err.count('\n') == 1, r.err.constData());
        QVERIFY(AtomicFileSet::commitPending(dir.path()));
        r = cli(dir.path(), {"fit", "--order", "3"});
        QVERIFY2(r.code == 0 && r.err.contains(said), r.err.constData());
        QVERIFY(!AtomicFileSet::commitPending(dir.path()));
        QCOMPARE(setOf(dir.path(), designFiles + fitFiles, b), 'B');
    }

    // `verify` refuses a fit that is not of the design beside it, and says
    // what differs; the fit of the design itself is verified.
    void foreignFitRefused_data()
    {
        QTest::addColumn<char>("design");
        QTest::addColumn<char>("fit");
        QTest::addColumn<QString>("message");  // empty: verified
        QTest::newRow("fit of B beside A") << 'A' << 'B' << "the fit in this folder belongs to another design (focal length 30 mm, not 35 mm)";
        QTest::newRow("fit of A beside B") << 'B' << 'A' << "the fit in this folder belongs to another design (focal length 35 mm, not 30 mm)";
        QTest::newRow("fit of B beside B") << 'B' << 'B' << "";
    }
    void foreignFitRefused()
    {
        QFETCH(char, design);
        QFETCH(char, fit);
        QFETCH(QString, message);
        QTemporaryDir dir;
        place(dir.path(), design == 'A' ? a : b, designFiles);
        place(dir.path(), fit == 'A' ? a : b, fitFiles);
        const Run r = cli(dir.path(), {"verify", "--step", "40"});
        QCOMPARE(r.code, message.isEmpty() ? 0 : 2);
        QVERIFY2(r.err.contains(message.toUtf8()) && r.err.count('\n') == (message.isEmpty() ? 0 : 1), r.err.constData());
    }

    // An output directory whose name is not UTF-8 is found and written.
    void nonUtf8Directory()
    {
        useByteExactFileNames();
        QTemporaryDir dir;
        const QByteArray raw = QFile::encodeName(dir.path()) + "/r\xe9sultats";
        QVERIFY(mkdir(raw.constData(), 0700) == 0);
        const QString out = QFile::decodeName(raw);
        place(out, small, {"outputall.txt"});
        const Run r = cli(dir.path(), {"fit", "--order", "3", "--output-dir", out});
        QVERIFY2(r.code == 0, r.err.constData());
        for (const QString& n : fitFiles)
            QCOMPARE(fileBytes(QDir(out).filePath(n)), small[n]);
        for (const QString& n : fitFiles + QStringList{"outputall.txt", ".hvl.lock"})
            QVERIFY(unlink(QFile::encodeName(QDir(out).filePath(n))) == 0);
        QVERIFY(rmdir(raw.constData()) == 0);  // QDir skips names that are not UTF-8
    }

    // Two runs started together in one directory: one waits its turn or is
    // refused with exit 3; the sets left are complete ones.
    void concurrentRuns_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<int>("offsetMs");
        const QStringList designB = QStringList{"design"} + settingsB, fit3{"fit", "--order", "3"};
        QTest::newRow("design and design") << designB << QStringList{"design"} << 0;
        QTest::newRow("design and design, 300 ms apart") << QStringList{"design"} << designB << 300;
        QTest::newRow("design and fit") << designB << fit3 << 0;
        QTest::newRow("fit and design, 200 ms apart") << fit3 << designB << 200;
    }
    void concurrentRuns()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(int, offsetMs);
        QTemporaryDir dir;
        place(dir.path(), a, designFiles + fitFiles);
        QProcess p1, p2;
        start(&p1, dir.path(), first);
        QVERIFY(p1.waitForStarted());
        if (offsetMs > 0)
            QTest::qSleep(offsetMs);
        start(&p2, dir.path(), second);
        const Run r1 = finish(&p1), r2 = finish(&p2);
        tally.tried += 2;
        tally.hangs += r1.hung + r2.hung;
        for (const Run& r : {r1, r2}) {
            QVERIFY2(r.code == 0 || (r.code == 3 && r.err.contains("is writing in")), r.err.constData());
            tally.refused += r.code == 3;
        }
        QVERIFY(r1.code == 0 || r2.code == 0);
        checkSets(dir.path(), designFiles, b, false);
        checkSets(dir.path(), fitFiles, b, false);
        // A fit that ran read a complete design: its files are A's or B's fit.
    }
};

QTEST_GUILESS_MAIN(TestReliability)
#include "tst_reliability.moc"
