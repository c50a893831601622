// The io module on real files: the strict reader against the lenient one,
// what a path is and whether it opens, result sets stopped at every step of
// their commit, the directory lock across processes, byte-exact names.
#include "design/design_files.h"
#include "io/atomic_file_set.h"
#include "io/byte_paths.h"
#include "io/design_points_reader.h"
#include "io/directory_lock.h"
#include "io/safe_input.h"
#include "textio/number_text.h"
#include "test_files.h"

#include <QtTest>

#include <cstring>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int stopAt = -1;
void stopHook(int renamed)
{
    if (renamed == stopAt)
        _exit(9);
}

} // namespace

class TestIo : public QObject {
    Q_OBJECT
private slots:
    // Lines as the design writes them (its own number writer), and other
    // good forms: the strict reader gives the same doubles, bit for bit.
    void strictReaderAgreesWithLenientReader_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("plain") << QByteArray("1 2 3 4 5 6\n");
        QTest::newRow("nan, -nan, -0, exponents") << QByteArray("nan -nan -0 1e-05 -1.23457e+08 0.1\n");
        QTest::newRow("tabs, CRLF") << QByteArray("\t1  2 3 4 5\t6\r\n7 8 9 10 11 12\n");
        QTest::newRow("six numbers, no line end at the end") << QByteArray("1 2 3 4 5 6\n7 8 9 10 11 -1.5e-3");
        std::mt19937_64 random(14);
        QByteArray designLines;
        char number[designNumberMaxLength];
        for (int i = 0; i < 19998; ++i) {
            const double scale = std::ldexp(1.0, int(random() % 60) - 30);
            const double v = (double(random() >> 11) / 9007199254740992.0 - 0.5) * scale;
            designLines.append(number, int(formatDesignNumber(number, v) - number)).append(i % 6 == 5 ? '\n' : ' ');
        }
        QTest::newRow("3333 lines of random design numbers") << designLines;
    }
    void strictReaderAgreesWithLenientReader()
    {
        QFETCH(QByteArray, text);
        std::vector<double> strict, lenient;
        DesignPointsError error;
        QVERIFY2(parseDesignPoints(text.constData(), std::size_t(text.size()), &strict, &error), qPrintable(error.message()));
        readNumbers(text.constData(), std::size_t(text.size()), &lenient);
        QCOMPARE(strict.size(), lenient.size());
        QVERIFY(std::memcmp(strict.data(), lenient.data(), strict.size() * sizeof(double)) == 0);
    }

    void strictReaderRefuses_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("expectedLines");
        QTest::addColumn<QString>("message");
        const QByteArray good("1 2 3 4 5 6\n");
        QTest::newRow("empty") << QByteArray() << 0 << "the file is empty";
        QTest::newRow("5 numbers") << good + "1 2 3 4 5\n" << 0 << "line 2: 5 numbers, expected 6";
        QTest::newRow("7 numbers") << good + good + "1 2 3 4 5 6 7\n" << 0 << "line 3: more than 6 numbers";
        QTest::newRow("blank line") << good + "\n" + good << 0 << "line 2: 0 numbers, expected 6";
        QTest::newRow("cut last line") << good + "1 2 3 4" << 0
                                       << "line 2: 4 numbers, expected 6; the last line has no line end";
        QTest::newRow("cut last line, five numbers") << good + good + "1 2 3 4 5" << 0
                                                     << "line 3: 5 numbers, expected 6; the last line has no line end";
        QTest::newRow("word") << good + "1 2 x3 4 5 6\n" << 0 << "line 2: 'x3' is not a number";
        QTest::newRow("number glued to a word") << QByteArray("1 2 3 4 5 6abc\n") << 0 << "line 1: '6abc' is not";
        QTest::newRow("infinity") << QByteArray("1 2 3 4 5 -inf\n") << 0 << "line 1: '-inf' is infinite";
        QTest::newRow("1e308") << QByteArray("1 2 1e308 4 5 6\n") << 0 << "line 1: '1e308' is beyond";
        QTest::newRow("1e400") << QByteArray("1 2 1e400 4 5 6\n") << 0 << "line 1: '1e400' is out of range";
        QTest::newRow("NUL byte") << QByteArray("1 2 3\0 4 5 6\n", 13) << 0 << "line 1: '3\\x00' is not a number";
        QTest::newRow("long line") << QByteArray(600, '1') + "\n" << 0 << "line 1: longer than 512 bytes";
        QTest::newRow("count") << good + good << 3 << "2 lines, expected 3";
    }
    void strictReaderRefuses()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, expectedLines);
        QFETCH(QString, message);
        std::vector<double> values{42.0};
        DesignPointsError error;
        QVERIFY(!parseDesignPoints(text.constData(), std::size_t(text.size()), &values, &error, expectedLines));
        QVERIFY2(error.message().startsWith(message), qPrintable(error.message()));
        QCOMPARE(values, std::vector<double>{42.0});  // nothing appended
    }

    void pathKinds_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("kind");
        for (auto [name, kind] : {std::pair{"regular", PathKind::Regular}, {"link to regular", PathKind::Regular},
                                  {"missing", PathKind::Missing}, {"directory", PathKind::Directory},
                                  {"fifo", PathKind::Fifo}, {"socket", PathKind::Socket},
                                  {"link to /dev/null", PathKind::Device}, {"dangling link", PathKind::DanglingLink},
                                  {"link loop", PathKind::LinkLoop}})
            QTest::newRow(name) << QString(name) << int(kind);
    }
    void pathKinds()
    {
        QFETCH(QString, setup);
        QFETCH(int, kind);
        QTemporaryDir dir;
        const QString p = dir.filePath("f"), target = dir.filePath("target");
        const QByteArray e = QFile::encodeName(p);
        putFile(target, "1 2 3 4 5 6\n");
        if (setup == "regular") putFile(p, "x");
        if (setup == "link to regular") QVERIFY(symlink("target", e) == 0);
        if (setup == "directory") QVERIFY(QDir().mkdir(p));
        if (setup == "fifo") QVERIFY(mkfifo(e, 0600) == 0);
        if (setup == "link to /dev/null") QVERIFY(symlink("/dev/null", e) == 0);
        if (setup == "dangling link") QVERIFY(symlink("nowhere", e) == 0);
        if (setup == "link loop") QVERIFY(symlink("f", e) == 0);
        if (setup == "socket") {
            const int s = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, e.constData(), sizeof address.sun_path - 1);
            QVERIFY(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
            close(s);
        }
        QCOMPARE(int(classifyPath(p)), kind);
        QString error;
        const int fd = openRegularFile(p, &error);  // never blocks on the FIFO
        QCOMPARE(fd >= 0, kind == int(PathKind::Regular));
        if (fd >= 0)
            close(fd);
        else
            QVERIFY2(error.contains(describePathKind(PathKind(kind))) || kind == int(PathKind::Missing), qPrintable(error));
        // As a result target: regular and missing are written, the rest refused untouched.
        const bool writable = kind == int(PathKind::Regular) || kind == int(PathKind::Missing);
        QCOMPARE(writeFileAtomically(p, "new\n", 4, &error), writable);
        if (writable)  // (QFile would block on the FIFO)
            QCOMPARE(fileBytes(setup == "link to regular" ? target : p), QByteArray("new\n"));
        QCOMPARE(QFileInfo(p).isSymLink(), setup.contains("link"));  // a link stays a link
        QVERIFY(!entries(dir.path()).join(' ').contains(".hvl-tmp"));
    }

    // A set stopped at every step: before the journal the old files stay; from
    // the journal on, recover() completes the new set, also in a copy of the
    // folder or where it was moved to (a copy leaves the original as it
    // was). Never a mix after it.
    void stoppedCommits_data()
    {
        QTest::addColumn<int>("stop");  // -1: before the journal, k: after k renames
        QTest::addColumn<QString>("then");  // "", "copy" or "move" the folder before recovering
        for (const QString& then : {QString(), QStringLiteral("copy"), QStringLiteral("move")})
            for (int k = -1; k <= 3; ++k)
                QTest::newRow(qPrintable(QString("stop %1 %2").arg(k).arg(then))) << k << then;
    }
    void stoppedCommits()
    {
        QFETCH(int, stop);
        QFETCH(QString, then);
        QTemporaryDir dir, elsewhere;
        QString path = dir.path();
        const QStringList names{"a.txt", "b.txt", "c.txt"};
        for (const QString& name : names)
            putFile(dir.filePath(name), "old " + name.toLatin1());
        const pid_t child = fork();
        if (child == 0) {
            stopAt = stop;
            AtomicFileSet::setCommitHook(stopHook);
            AtomicFileSet set(dir.path(), "test");
            for (const QString& name : names)
                set.stage(name, QByteArray("new " + name.toLatin1()).constData(), std::size_t(name.size() + 4));
            if (stop == -1)
                _exit(9);
            _exit(set.commit() ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 9);
        for (int i = 0; i < 3; ++i)  // renamed in their order, no cut file
            QCOMPARE(fileBytes(dir.filePath(names[i])), QByteArray(i < stop ? "new " : "old ") + names[i].toLatin1());
        QCOMPARE(AtomicFileSet::commitPending(dir.path()), stop >= 0);
        const QStringList left = entries(dir.path());
        if (!then.isEmpty()) {
            path = elsewhere.filePath("results");
            QCOMPARE(QProcess::execute(then == "copy" ? "cp" : "mv",
                                       then == "copy" ? QStringList{"-a", dir.path(), path} : QStringList{dir.path(), path}),
                     0);
        }
        QString problem;
        AtomicFileSet::recover(path, nullptr, QStringList(), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(!AtomicFileSet::commitPending(path));
        for (const QString& name : names)
            QCOMPARE(fileBytes(QDir(path).filePath(name)), QByteArray(stop >= 0 ? "new " : "old ") + name.toLatin1());
        QCOMPARE(entries(path), names);
        if (then == "copy")  // the original keeps its unfinished commit for its own next run
            QCOMPARE(entries(dir.path()), left);
    }

    // A journal that cannot be applied (a new file lost, the journal cut) is
    // reported with what is new and what is not, and stays, so that every
    // later look at the folder sees the mix, until a commit of the whole set
    // replaces it; a commit of part of the set is refused.
    void unappliableJournals_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QStringList>("recommit");  // the names a later commit stages
        QTest::addColumn<QString>("message");
        const QStringList all{"a.txt", "b.txt", "c.txt"};
        QTest::newRow("a new file lost") << "lose c.txt" << all
                                         << "the new c.txt is missing; new: a.txt; from the run before: b.txt";
        QTest::newRow("journal cut") << "cut" << all << "is cut or not one";
        QTest::newRow("partial commit after it") << "lose c.txt" << QStringList{"a.txt", "b.txt"}
                                                 << "the new c.txt is missing";
    }
    void unappliableJournals()
    {
        QFETCH(QString, damage);
        QFETCH(QStringList, recommit);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QStringList names{"a.txt", "b.txt", "c.txt"};
        for (const QString& name : names)
            putFile(dir.filePath(name), "old " + name.toLatin1());
        const pid_t child = fork();
        if (child == 0) {
            stopAt = 1;
            AtomicFileSet::setCommitHook(stopHook);
            AtomicFileSet set(dir.path(), "test");
            for (const QString& name : names)
                set.stage(name, QByteArray("new " + name.toLatin1()).constData(), std::size_t(name.size() + 4));
            _exit(set.commit() ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 9);
        const QString journal = dir.filePath(".hvl-commit-test");
        if (damage == "cut") {
            const QByteArray text = fileBytes(journal);
            putFile(journal, text.left(text.indexOf("end")));
        } else {
            const QStringList temps = QDir(dir.path()).entryList({".c.txt.hvl-tmp-*"}, QDir::Files | QDir::Hidden);
            QCOMPARE(temps.size(), 1);
            QVERIFY(QFile::remove(dir.filePath(temps.first())));
        }
        for (int pass = 0; pass < 2; ++pass) {  // reported again by the next look
            QString problem;
            AtomicFileSet::recover(dir.path(), nullptr, QStringList(), &problem);
            QVERIFY2(problem.contains("the interrupted replacement of the test files") && problem.contains(message),
                     qPrintable(problem));
            QVERIFY(AtomicFileSet::commitPending(dir.path()));
            QCOMPARE(fileBytes(dir.filePath("a.txt")), QByteArray("new a.txt"));
            QCOMPARE(fileBytes(dir.filePath("b.txt")), QByteArray("old b.txt"));
        }
        AtomicFileSet again(dir.path(), "test");
        for (const QString& name : recommit)
            QVERIFY(again.stage(name, QByteArray("3rd " + name.toLatin1()).constData(), std::size_t(name.size() + 4)));
        const bool whole = recommit.size() == names.size();
        QCOMPARE(again.commit(), whole);
        QCOMPARE(AtomicFileSet::commitPending(dir.path()), !whole);
        if (!whole)
            QVERIFY2(again.errorString().contains(message), qPrintable(again.errorString()));
        for (const QString& name : names)  // all replaced, or the mix as it was
            QCOMPARE(fileBytes(dir.filePath(name)),
                     whole ? "3rd " + name.toLatin1() : name == "a.txt" ? QByteArray("new a.txt") : "old " + name.toLatin1());
    }

    void failedSetReplacesNothing()
    {
        QTemporaryDir dir;
        putFile(dir.filePath("a.txt"), "old a");
        QVERIFY(QDir().mkdir(dir.filePath("b.txt")));
        AtomicFileSet set(dir.path(), "test");
        QVERIFY(set.stage("a.txt", "new a", 5));
        QVERIFY(!set.stage("b.txt", "new b", 5));
        QVERIFY(!set.commit() && set.errorString().contains("is a directory"));
        QCOMPARE(set.notReplaced(), QStringList({"a.txt", "b.txt"}));
        QCOMPARE(fileBytes(dir.filePath("a.txt")), QByteArray("old a"));
        QCOMPARE(entries(dir.path()), QStringList({"a.txt", "b.txt"}));
    }

    void directoryLock_data()
    {
        QTest::addColumn<QString>("holder");  // none, this process, a live child, a killed child
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("taken");
        QTest::newRow("free") << "none" << int(DirectoryLock::Mode::Refuse) << true;
        QTest::newRow("held here, refuse") << "self" << int(DirectoryLock::Mode::Refuse) << false;
        QTest::newRow("held here, wait 100 ms") << "self" << int(DirectoryLock::Mode::Wait) << false;
        QTest::newRow("held by a child, refuse") << "child" << int(DirectoryLock::Mode::Refuse) << false;
        QTest::newRow("held by a child that ends, wait") << "child" << int(DirectoryLock::Mode::Wait) << true;
        QTest::newRow("held by a killed child") << "killed" << int(DirectoryLock::Mode::Refuse) << true;
    }
    void directoryLock()
    {
        QFETCH(QString, holder);
        QFETCH(int, mode);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        DirectoryLock first(dir.path());
        pid_t child = 0;
        int ready[2];
        QVERIFY(pipe(ready) == 0);
        if (holder == "self")
            QVERIFY(first.acquire(DirectoryLock::Mode::Refuse));
        if (holder != "none" && holder != "self") {
            child = fork();
            if (child == 0) {
                DirectoryLock held(dir.path());
                held.acquire(DirectoryLock::Mode::Refuse);
                (void)!write(ready[1], "x", 1);
                usleep(holder == "killed" ? 10000000 : 300000);
                _exit(0);
            }
            char c;
            QCOMPARE(read(ready[0], &c, 1), ssize_t(1));
            if (holder == "killed") {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
        DirectoryLock second(dir.path());
        QString error;
        const int timeout = holder == "child" ? -1 : 100;
        QCOMPARE(second.acquire(DirectoryLock::Mode(mode), &error, timeout), taken);
        QCOMPARE(second.heldElsewhere(), !taken);
        if (!taken)
            QVERIFY2(error.contains(QString("process %1").arg(holder == "self" ? getpid() : child)), qPrintable(error));
        if (child > 0 && holder != "killed")
            waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
    }

    void byteExactNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("latin-1 byte") << QByteArray("d\xffx");
        QTest::newRow("cut sequence") << QByteArray("a\xc3(");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80z");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
        QTest::newRow("valid UTF-8") << QByteArray("Pr\xc3\xa4zision \xf0\x9f\x94\xad");
    }
    void byteExactNames()
    {
        QFETCH(QByteArray, name);
        useByteExactFileNames();
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
        QVERIFY(mkdir(path.constData(), 0700) == 0);
        const QString decoded = QFile::decodeName(path);
        QCOMPARE(QFile::encodeName(decoded), path);
        QVERIFY(QFileInfo(decoded).isDir());
        const QString last = decoded.mid(decoded.lastIndexOf('/') + 1);
        if (name.startsWith("Pr"))  // valid UTF-8 decodes as before
            QCOMPARE(last, QString::fromUtf8(name));
        else  // each undecodable byte b is carried as U+DC00 + b
            QVERIFY(std::any_of(last.begin(), last.end(), [](QChar c) { return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF; }));
        QVERIFY(rmdir(path.constData()) == 0);  // QDir skips names that are not UTF-8
    }
};

QTEST_GUILESS_MAIN(TestIo)
#include "tst_io.moc"
