// scripts/tolerance-slurm.sh on a real Slurm: a single-node cluster brought
// up for the test (single_node_slurm.sh; needs root, slurm-wlm and munge),
// a 4-task array of shards and the merge job after it; the merged table must
// equal the unsharded run's byte for byte. Where the cluster cannot start
// the test is skipped with the reason, and the program exits with CTest's
// skip code.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

bool skipped = false;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int run(const QString& program, const QStringList& args, const QProcessEnvironment& env, QByteArray* out,
        int timeoutMs = 600000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

class TestToleranceSlurm : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void arrayOfShardsThenMerge();
    void sweepArrayThenMerge();
    void cleanupTestCase();

private:
    // Waits until the queue is empty; false (with the queue) when a task failed.
    bool queueEmptied(QByteArray* queue);
    QTemporaryDir dir_;
    QString cluster_;
    QProcessEnvironment env_;
};

void TestToleranceSlurm::initTestCase()
{
    QVERIFY(dir_.isValid());
    const QString script = QStringLiteral(HARVENLOTEK_SOURCE_DIR "/tests/tolerance/single_node_slurm.sh");
    // munged runs as the munge user: it must reach its folder inside ours.
    QFile::setPermissions(dir_.path(), QFile::permissions(dir_.path()) | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    cluster_ = dir_.filePath(QStringLiteral("cluster"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QByteArray out;
    const int started = run(QStringLiteral("bash"), {script, QStringLiteral("start"), cluster_}, env, &out, 120000);
    if (started == 77) {
        skipped = true;
        QSKIP(out.trimmed().constData());
    }
    QVERIFY2(started == 0, out.constData());
    env.insert(QStringLiteral("SLURM_CONF"), cluster_ + QStringLiteral("/slurm.conf"));
    env_ = env;
}

bool TestToleranceSlurm::queueEmptied(QByteArray* queue)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QThread::msleep(500);
        run(QStringLiteral("squeue"), {"-h", "-o", "%i %T %r"}, env_, queue);
        // A failed task leaves the merge waiting for ever.
        if (queue->contains("DependencyNeverSatisfied"))
            break;
    } while (!queue->trimmed().isEmpty() && timer.elapsed() < 600000);
    return queue->trimmed().isEmpty();
}

void TestToleranceSlurm::arrayOfShardsThenMerge()
{
    const QProcessEnvironment env = env_;
    QByteArray out;

    const QString cli = QStringLiteral(HARVENLOTEK_CLI);
    const QString prism = dir_.filePath(QStringLiteral("prism"));
    QVERIFY(QDir().mkpath(prism));
    QVERIFY2(run(cli, {"run", "--fit-model", "prism", "--order", "4", "--design-model", "refraction", "--output-dir",
                       prism},
                 env, &out) == 0,
             out.constData());
    const QString whole = dir_.filePath(QStringLiteral("whole"));
    QVERIFY(QDir().mkpath(whole));
    const QStringList common{"--prism", prism, "--trials", "6", "--seed", "21", "--threads", "1"};
    QVERIFY2(run(cli, QStringList{"tolerance", "--output-dir", whole} + common, env, &out) == 0, out.constData());

    const QString sharded = dir_.filePath(QStringLiteral("slurm"));
    QVERIFY2(run(QStringLiteral(HARVENLOTEK_SOURCE_DIR "/scripts/tolerance-slurm.sh"),
                 QStringList{"--cli", cli, "--shards", "4", "--output-dir", sharded} + common, env, &out)
                 == 0,
             out.constData());
    QVERIFY2(out.contains("array ") && out.contains("merge "), out.constData());
    const QString merged = sharded + QStringLiteral("/tolerance_trials.csv");
    QByteArray queue;
    QVERIFY2(queueEmptied(&queue), queue.constData());
    for (int i = 0; i < 4; ++i)
        QVERIFY2(QFile::exists(sharded + QStringLiteral("/shard-%1/tolerance_trials.csv").arg(i)),
                 qPrintable(QStringLiteral("shard %1 left no table").arg(i)));
    QVERIFY2(QFile::exists(merged), "the merge job left no table");
    QCOMPARE(readAll(merged), readAll(whole + QStringLiteral("/tolerance_trials.csv")));
}

// The same script with --param: a sweep's shards as the array's tasks.
void TestToleranceSlurm::sweepArrayThenMerge()
{
    const QString cli = QStringLiteral(HARVENLOTEK_CLI);
    const QStringList grid{"--param", "angle=18:22:3", "--order", "3", "--verify-step", "64", "--target-points", "4",
                           "--threads", "1"};
    const QString whole = dir_.filePath(QStringLiteral("sweep-whole"));
    QByteArray out;
    QVERIFY2(run(cli, QStringList{"sweep", "--output-dir", whole} + grid, env_, &out) == 0, out.constData());
    const QString sharded = dir_.filePath(QStringLiteral("sweep-slurm"));
    QVERIFY2(run(QStringLiteral(HARVENLOTEK_SOURCE_DIR "/scripts/tolerance-slurm.sh"),
                 QStringList{"--cli", cli, "--shards", "3", "--output-dir", sharded} + grid, env_, &out)
                 == 0,
             out.constData());
    QByteArray queue;
    QVERIFY2(queueEmptied(&queue), queue.constData());
    QVERIFY2(QFile::exists(sharded + QStringLiteral("/sweep_points.csv")), "the merge job left no table");
    QCOMPARE(readAll(sharded + QStringLiteral("/sweep_points.csv")), readAll(whole + QStringLiteral("/sweep_points.csv")));
}

void TestToleranceSlurm::cleanupTestCase()
{
    if (cluster_.isEmpty())
        return;
    QByteArray out;
    run(QStringLiteral("bash"),
        {QStringLiteral(HARVENLOTEK_SOURCE_DIR "/tests/tolerance/single_node_slurm.sh"), QStringLiteral("stop"),
         cluster_},
        QProcessEnvironment::systemEnvironment(), &out);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QTEST_FUNCTION_TIMEOUT", "900000");
    TestToleranceSlurm test;
    const int failed = QTest::qExec(&test, argc, argv);
    return failed == 0 && skipped ? 77 : failed;
}

#include "tst_tolerance_slurm.moc"
