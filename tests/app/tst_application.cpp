// The whole window as a user drives it: "freeform", then "Compute and show",
// with the two 3D views refreshed by the main window's signals; and
// harvenlotek-cli, which must write the window's files byte for byte. The
// window fits the screen it is shown on.
#include "app/application_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/shared_state.h"

#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
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
    void fitsTheScreen();
    void designPrismAndTheVerificationWindow();
    void designThenFitAsTheTool_data();
    void designThenFitAsTheTool();

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
}

void TestApplication::cleanup()
{
    delete windows;
    windows = nullptr;
}

void TestApplication::clickComputeAndShow(int order)
{
    windows->mainWindow().findChild<QSpinBox*>("spjieci")->setValue(order);
    QSignalSpy done(&windows->mainWindow(), SIGNAL(workdonesignal2()));
    QTest::mouseClick(windows->mainWindow().findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 300000);
}

// The whole window within the screen's available area, and no label or
// button of the panel cut short.
void TestApplication::fitsTheScreen()
{
    QTest::qWait(100);
    const QSize available = QGuiApplication::primaryScreen()->availableGeometry().size();
    const QSize shown = windows->container()->frameGeometry().size();
    QVERIFY2(shown.height() <= available.height() && shown.width() <= available.width(),
             qPrintable(QString("%1 x %2").arg(shown.width()).arg(shown.height())));
    MainWindow& panel = windows->mainWindow();
    const QRect area = panel.rect();
    for (QWidget* widget : panel.findChildren<QWidget*>()) {
        if (!widget->isVisible() || widget->window() != panel.window())
            continue;
        const QRect inPanel(widget->mapTo(&panel, QPoint(0, 0)), widget->size());
        QVERIFY2(area.contains(inPanel), qPrintable(widget->objectName()));
        if (qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget)) {
            if (widget->objectName().startsWith("label_") && (widget->objectName() == "label_figures"
                || widget->objectName() == "label_resultFolder" || widget->objectName() == "label_stage"))
                continue;
            QVERIFY2(widget->sizeHint().width() <= widget->width() + 1, qPrintable(widget->objectName()));
        }
        QVERIFY2(!widget->toolTip().isEmpty() || !qobject_cast<QAbstractSpinBox*>(widget),
                 qPrintable(widget->objectName()));
    }
}

// "Design prism" in the whole window, with the verification window open:
// the progress bar moves while the event loop goes on, the figures come up,
// and the verification window follows the new result folder. With
// HARVENLOTEK_SCREENSHOT_DIR set, the screen is saved there during and after
// the run (window_running.png, window_result.png), for a person to look at.
void TestApplication::designPrismAndTheVerificationWindow()
{
    MainWindow& panel = windows->mainWindow();
    QTest::mouseClick(panel.findChild<QPushButton*>("pushButton_verify"), Qt::LeftButton);
    auto* table = panel.findChild<QPlainTextEdit*>("verificationTable");
    QVERIFY(table);
    QTRY_VERIFY_WITH_TIMEOUT(!panel.task()->isRunning(), 300000);
    QVERIFY2(table->toPlainText().startsWith("nothing to verify"), qPrintable(table->toPlainText()));
    table->window()->move(QGuiApplication::primaryScreen()->availableGeometry().width() / 2, 40);
    table->window()->resize(table->window()->width() / 2, table->window()->height() / 2);

    const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");
    auto* bar = panel.findChild<QProgressBar*>("progressBar");
    QTest::mouseClick(panel.findChild<QPushButton*>("pushButton_designPrism"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 0 && bar->value() > 0, 300000);  // a fraction arrived
    if (!shots.isEmpty()) {
        table->window()->lower();
        QGuiApplication::primaryScreen()->grabWindow(0).save(QDir(QString::fromLocal8Bit(shots)).filePath("window_running.png"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!panel.task()->isRunning() && !panel.resultFolder().isEmpty(), 900000);
    // The verification of the new result runs next, on the same worker.
    QTRY_VERIFY_WITH_TIMEOUT(!panel.task()->isRunning() && table->toPlainText().contains("prism 8"), 300000);
    QCOMPARE(table->window()->findChild<QLabel*>("verificationMap")->pixmap(Qt::ReturnByValue).isNull(), false);
    QVERIFY(panel.findChild<QLabel*>("label_figures")->text().startsWith("direction error RMS"));
    if (!shots.isEmpty()) {
        table->window()->hide();
        QTest::qWait(300);
        QGuiApplication::primaryScreen()->grabWindow(0).save(QDir(QString::fromLocal8Bit(shots)).filePath("window_result.png"));
    }
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
    QTRY_COMPARE_WITH_TIMEOUT(designed.count(), 1, 300000);
    QCOMPARE(box, QString("ok: work done"));
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

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
