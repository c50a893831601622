// The whole window as a user drives it: "freeform", then "Compute and show",
// with the two 3D views refreshed by the main window's signals.
#include "app/application_window.h"
#include "mainwindow/shared_state.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
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

// Closes the next modal box as soon as it appears, remembering its texts.
struct ModalBoxCloser {
    QString title;
    QString text;
    bool seen = false;

    void arm()
    {
        QTimer::singleShot(20, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                arm();
                return;
            }
            seen = true;
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
    }
};

int lineCount(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().count('\n');
}

// Pixels of the point colour, unlit (first frame) or lit (every later frame).
int pointPixels(const QImage& image)
{
    const QRgb unlit = qRgb(81, 169, 200);
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb pixel = rgb.pixel(x, y);
            const bool lit = qRed(pixel) > 81 && qRed(pixel) < 120 && qGreen(pixel) > 190 && qBlue(pixel) > 225;
            if ((pixel & 0xffffff) == (unlit & 0xffffff) || lit)
                ++count;
        }
    return count;
}

} // namespace

class TestApplication : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void designThenFit();
    void fitOrderDebugLines_data();
    void fitOrderDebugLines();
    void unreadableReportGivesEmptyBrowser();

private:
    void clickFreeform();
    void clickComputeAndShow(int order);

    QTemporaryDir workDir;
    QString startDir;
    ApplicationWindow* windows = nullptr;
};

void TestApplication::initTestCase()
{
    std::setlocale(LC_NUMERIC, "C");
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
    QVERIFY(workDir.isValid());
    startDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
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

void TestApplication::clickFreeform()
{
    ModalBoxCloser closer;
    closer.arm();
    QSignalSpy done(&windows->mainWindow(), SIGNAL(workdonesignal()));
    QTest::mouseClick(windows->mainWindow().findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    QVERIFY(closer.seen);
    QCOMPARE(closer.title, QStringLiteral("ok"));
    QCOMPARE(closer.text, QStringLiteral("work done"));
    QCOMPARE(done.count(), 1);
}

void TestApplication::clickComputeAndShow(int order)
{
    windows->mainWindow().findChild<QSpinBox*>("spjieci")->setValue(order);
    QSignalSpy done(&windows->mainWindow(), SIGNAL(workdonesignal2()));
    QTest::mouseClick(windows->mainWindow().findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    QCOMPARE(done.count(), 1);
}

void TestApplication::designThenFit()
{
    MyWidget& designView = windows->designPointView();
    MyWidget2& fitView = windows->fittedSurfaceView();
    QCOMPARE(pointPixels(designView.grabFramebuffer()), 0);
    QCOMPARE(pointPixels(fitView.grabFramebuffer()), 0);

    clickFreeform();
    QCOMPARE(lineCount("output.txt"), 1920);
    QCOMPARE(lineCount("outputall.txt"), 207360);
    QVERIFY(pointPixels(designView.grabFramebuffer()) > 1000);
    QCOMPARE(pointPixels(fitView.grabFramebuffer()), 0);

    clickComputeAndShow(3);
    const QString shown = windows->mainWindow().findChild<QTextBrowser*>("textBrowser")->toPlainText();
    QVERIFY2(shown.startsWith(QString::fromUtf8("surface equation\xEF\xBC\x9A")), qPrintable(shown.left(40)));
    QVERIFY(shown.contains(QStringLiteral("fitting precision")));
    QCOMPARE(fitReportText, shown);
    QVERIFY(!QFile::exists("outputall_fig1.txt"));
    QVERIFY(!QFile::exists("outputall_fig2.txt"));
    QVERIFY(lineCount("output_fit_fig1.txt") > 1000);
    QVERIFY(pointPixels(fitView.grabFramebuffer()) > 1000);
}

void TestApplication::fitOrderDebugLines_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("coefficientLines");
    QTest::newRow("order 3") << 3 << QStringList{"jieci 3", " c3"} << 3 + 6;
    QTest::newRow("order 4") << 4 << QStringList{"jieci 4", " c4"} << 6 + 9;
    QTest::newRow("order 5") << 5 << QStringList{"jieci 5"} << 6 + 12;
    QTest::newRow("order 8") << 8 << QStringList{"jieci 8"} << 15 + 25;
}

void TestApplication::fitOrderDebugLines()
{
    QFETCH(int, order);
    QFETCH(QStringList, expected);
    QFETCH(int, coefficientLines);
    clickFreeform();
    debugLines.clear();
    clickComputeAndShow(order);
    QStringList actionLines;
    for (const QString& line : debugLines)
        if (line.startsWith("jieci") || line.startsWith(" c") || line == "Can not open")
            actionLines << line;
    QCOMPARE(actionLines, expected);
    const QString shown = windows->mainWindow().findChild<QTextBrowser*>("textBrowser")->toPlainText();
    QCOMPARE(shown.count(QRegularExpression("^[ab]\\(\\d+\\) +=  ", QRegularExpression::MultilineOption)),
             coefficientLines);
}

void TestApplication::unreadableReportGivesEmptyBrowser()
{
    // A directory where the report should be: the fit cannot write it and
    // the action cannot read it.
    QVERIFY(QDir().mkdir("result_para_fit.txt"));
    clickComputeAndShow(3);
    QVERIFY(debugLines.contains("Can not open"));
    QCOMPARE(windows->mainWindow().findChild<QTextBrowser*>("textBrowser")->toPlainText(), QString());
    QCOMPARE(fitReportText, QString());
}

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
