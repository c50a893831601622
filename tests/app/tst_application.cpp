// The whole window as a user drives it: "freeform", then "Compute and show",
// with the two 3D views refreshed by the main window's signals; and
// harvenlotek-cli, which must write the window's files byte for byte.
#include "app/application_window.h"
#include "mainwindow/shared_state.h"

#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>
#include <clocale>

namespace {

QStringList debugLines;

void collectDebugLines(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Pixels of the point colour, unlit (first frame) or lit (every later frame).
int pointPixels(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb pixel = rgb.pixel(x, y);
            const bool lit = qRed(pixel) > 81 && qRed(pixel) < 120 && qGreen(pixel) > 190 && qBlue(pixel) > 225;
            if ((pixel & 0xffffff) == (qRgb(81, 169, 200) & 0xffffff) || lit)
                ++count;
        }
    return count;
}

// The C library's numbers follow the user's locale once it is adopted (as
// QApplication does); with a decimal comma the files must not change.
struct CLibraryLocale {
    explicit CLibraryLocale(const QByteArray& name)
        : active(name.isEmpty() || std::setlocale(LC_ALL, name.constData()) != nullptr) {}
    ~CLibraryLocale() { std::setlocale(LC_ALL, "C"); }
    const bool active;
};

} // namespace

class TestApplication : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void designThenFitAsTheTool_data();
    void designThenFitAsTheTool();
    void fitDebugLines_data();
    void fitDebugLines();

private:
    void clickComputeAndShow(int order);
    QString shownReport() { return windows->mainWindow().findChild<QTextBrowser*>("textBrowser")->toPlainText(); }

    QTemporaryDir workDir;
    QTemporaryDir localeDir; // a decimal-comma locale built for the test
    ApplicationWindow* windows = nullptr;
};

void TestApplication::initTestCase()
{
    std::setlocale(LC_NUMERIC, "C");
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
    QVERIFY(workDir.isValid() && QDir::setCurrent(workDir.path()));
    QProcess::execute("localedef", {"-i", "de_DE", "-f", "UTF-8", localeDir.filePath("de_DE.UTF-8")});
    qputenv("LOCPATH", localeDir.path().toLocal8Bit());
}

void TestApplication::init()
{
    for (const QFileInfo& entry : QDir(workDir.path()).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
        QVERIFY(entry.isDir() ? QDir(entry.filePath()).removeRecursively() : QFile::remove(entry.filePath()));
    windows = new ApplicationWindow;
    windows->show();
    QVERIFY(QTest::qWaitForWindowExposed(windows->container()));
    debugLines.clear();
    qInstallMessageHandler(collectDebugLines);
}

void TestApplication::cleanup()
{
    qInstallMessageHandler(nullptr);
    delete windows;
    windows = nullptr;
}

void TestApplication::clickComputeAndShow(int order)
{
    windows->mainWindow().findChild<QSpinBox*>("spjieci")->setValue(order);
    QSignalSpy done(&windows->mainWindow(), SIGNAL(workdonesignal2()));
    QTest::mouseClick(windows->mainWindow().findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    QCOMPARE(done.count(), 1);
}

void TestApplication::designThenFitAsTheTool_data()
{
    // The tool's design options, set on the panel too; "fix angle" clicked.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("fixAngle");
    QTest::addColumn<int>("order");
    QTest::addColumn<QByteArray>("windowLocale");
    QTest::newRow("start values") << QStringList{} << false << 3 << QByteArray();
    QTest::newRow("fix angle") << QStringList{} << true << 5 << QByteArray();
    // The rounded angle is shown already, so the sketch keeps the exact one.
    QTest::newRow("fix angle, spin box at 8.85") << QStringList{"--angle", "8.85"} << true << 4 << QByteArray();
    QTest::newRow("other values, two decimals")
        << QStringList{"--focal-length", "20", "--distance", "150", "--size", "80", "--angle", "25.456", "--index", "1.5049"}
        << false << 8 << QByteArray();
    QTest::newRow("decimal-comma locale") << QStringList{} << false << 6 << QByteArray("de_DE.UTF-8");
}

void TestApplication::designThenFitAsTheTool()
{
    QFETCH(QStringList, options);
    QFETCH(bool, fixAngle);
    QFETCH(int, order);
    QFETCH(QByteArray, windowLocale);
    const CLibraryLocale locale(windowLocale);
    if (!locale.active)
        QSKIP("no decimal-comma locale could be built here (localedef and the locales package are needed)");
    MainWindow& panel = windows->mainWindow();
    QCOMPARE(pointPixels(windows->designPointView().grabFramebuffer()), 0);
    QCOMPARE(pointPixels(windows->fittedSurfaceView().grabFramebuffer()), 0);

    const QMap<QString, QString> controls{{"--focal-length", "spinBox_fl"}, {"--distance", "spinBox_d"},
        {"--size", "spinBox_p"}, {"--angle", "doubleSpinBox_ps"}, {"--index", "doubleSpinBox_index"}};
    for (int i = 0; i < options.size(); i += 2)
        QVERIFY(panel.findChild<QWidget*>(controls.value(options.at(i)))->setProperty("value", options.at(i + 1).toDouble()));
    // No event is processed before "freeform": the sketch has not been
    // repainted for these values, and the design must use them all the same.
    if (fixAngle) {
        auto* button = panel.findChild<QRadioButton*>("radioButton");
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
        QVERIFY(button->isChecked());
        options << "--fix-angle";
    }

    QString box;
    QTimer closer; // closes the "work done" box once it is up
    connect(&closer, &QTimer::timeout, [&box] {
        if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box = shown->windowTitle() + ": " + shown->text();
            shown->accept();
        }
    });
    closer.start(20);
    QSignalSpy designed(&panel, SIGNAL(workdonesignal()));
    QTest::mouseClick(panel.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    QCOMPARE(box, QString("ok: work done"));
    QCOMPARE(designed.count(), 1);
    QVERIFY(pointPixels(windows->designPointView().grabFramebuffer()) > 1000);
    QCOMPARE(pointPixels(windows->fittedSurfaceView().grabFramebuffer()), 0);

    clickComputeAndShow(order);
    const QString shown = shownReport();
    QVERIFY2(shown.startsWith(QString::fromUtf8("surface equation\xEF\xBC\x9A")), qPrintable(shown.left(40)));
    QCOMPARE(fitReportText, shown);
    QVERIFY(pointPixels(windows->fittedSurfaceView().grabFramebuffer()) > 1000);

    QTemporaryDir cliDir;
    QProcess cli;
    cli.setWorkingDirectory(cliDir.path());
    cli.start(QStringLiteral(HARVENLOTEK_CLI), QStringList{"run", "--json", "--order", QString::number(order)} + options);
    QVERIFY(cli.waitForFinished(600000));
    QCOMPARE(cli.exitCode(), 0);
    for (const char* name : {"output.txt", "outputall.txt", "output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt"}) {
        const QByteArray expected = readAll(name);
        QVERIFY2(!expected.isEmpty() && readAll(QDir(cliDir.path()).filePath(name)) == expected, name);
    }

    // The summary parses, holds the angle the panel shows and the report's residuals.
    const QJsonObject summary = QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
    for (const char* key : {"command", "outputDir", "parameters", "design", "fits", "totalSeconds"})
        QVERIFY2(summary.contains(key), key);
    QCOMPARE(summary["parameters"]["angleDeg"].toDouble(), panel.findChild<QDoubleSpinBox*>("doubleSpinBox_ps")->value());
    QCOMPARE(summary["design"]["gridPoints"].toInt(), 207360);
    QCOMPARE(summary["design"]["nonFinitePoints"].toInt(), 0);
    const QJsonObject fit = summary["fits"][0].toObject();
    QCOMPARE(fit["order"].toInt(), order);
    for (const char* key : {"Res1", "Res2"}) {
        const QString text = QString::asprintf("%s= %12.6f", key, fit[QString(key).toLower()].toDouble());
        QVERIFY2(shown.contains(text), qPrintable(text));
    }
}

void TestApplication::fitDebugLines_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("order 3") << 3 << QStringList{"jieci 3", " c3"};
    QTest::newRow("order 4") << 4 << QStringList{"jieci 4", " c4"};
    QTest::newRow("order 5") << 5 << QStringList{"jieci 5"};
    QTest::newRow("order 8") << 8 << QStringList{"jieci 8"};
    // A report that cannot be written is refused with a box before the fit
    // runs (tests/reliability).
}

void TestApplication::fitDebugLines()
{
    QFETCH(int, order);
    QFETCH(QStringList, expected);
    QFile design("outputall.txt");
    QByteArray rows;  // enough points for the 25 terms of order 8, spread so that no fit is singular
    for (int i = 0; i < 30; ++i) {
        const QByteArray y = QByteArray::number(0.5 * (i * 7 % 13) - 3);
        rows += QByteArray::number(0.5 * i) + ' ' + y + " 3 " + QByteArray::number(1 + 0.25 * i) + ' ' + y + " 6\n";
    }
    QVERIFY(design.open(QIODevice::WriteOnly) && design.write(rows) > 0);
    design.close();
    const bool unreadable = expected.contains("Can not open");
    QVERIFY(!unreadable || QDir().mkdir("result_para_fit.txt"));
    clickComputeAndShow(order);
    QStringList actionLines;
    for (const QString& line : debugLines)
        if (line.startsWith("jieci") || line.startsWith(" c") || line == "Can not open")
            actionLines << line;
    QCOMPARE(actionLines, expected);
    QCOMPARE(shownReport().isEmpty(), unreadable);
    QCOMPARE(fitReportText, shownReport());
}

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
