// The verification window on real designs in scratch directories: its prism
// controls (export buttons idle until a prism fit exists, a prism fit that
// writes "prism.json" and joins the verified sources, exports that write
// their files), its predicted calibration, and the main window's button that
// opens it. With HARVENLOTEK_SCREENSHOT set, the prism window is saved there
// as a PNG; with HARVENLOTEK_SCREENSHOT_DIR set, the calibration, main and
// verification windows are saved in that directory.
#include "design/design_run.h"
#include "mainwindow/background_task.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "mainwindow/verification_window.h"
#include "../verify/test_support.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QRegularExpression>
#include <cmath>
#include <algorithm>
#include <QtTest>

#include <memory>

namespace {

// Two lines of figures alike: the same text between the numbers, and each
// pair of numbers within two units of the last digit printed (and 1e-4
// relative).
bool sameFigures(const QString& a, const QString& b)
{
    static const QRegularExpression number(QStringLiteral("-?\\d+(?:\\.(\\d+))?(?:[eE][-+]?\\d+)?"));
    QRegularExpressionMatchIterator ia = number.globalMatch(a), ib = number.globalMatch(b);
    int endA = 0, endB = 0;
    while (ia.hasNext() && ib.hasNext()) {
        const QRegularExpressionMatch ma = ia.next(), mb = ib.next();
        if (a.mid(endA, ma.capturedStart() - endA) != b.mid(endB, mb.capturedStart() - endB))
            return false;
        const double x = ma.captured(0).toDouble(), y = mb.captured(0).toDouble();
        const int decimals = std::max(ma.captured(1).size(), mb.captured(1).size());
        const double unit = std::pow(10.0, -decimals);
        if (std::fabs(x - y) > 2 * unit + 1e-4 * std::max(std::fabs(x), std::fabs(y)))
            return false;
        endA = ma.capturedEnd();
        endB = mb.capturedEnd();
    }
    return !ia.hasNext() && !ib.hasNext() && a.mid(endA) == b.mid(endB);
}

}  // namespace

class TestVerificationWindow : public QObject {
    Q_OBJECT

private slots:
    void prismFitAndExports_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("grid sag") << "pushButton_export_gridsag"
                                  << QStringList{"frame.txt", "surface_entrance_left.dat", "surface_entrance_right.dat",
                                                 "surface_exit_left.dat", "surface_exit_right.dat"};
        QTest::newRow("STEP") << "pushButton_export_STEP" << QStringList{"frame.txt", "prism.step", "surfaces.step"};
        QTest::newRow("drawing") << "pushButton_export_drawing" << QStringList{"frame.txt", "prism_drawing.pdf"};
        QTest::newRow("all") << "pushButton_export_all"
                             << QStringList{"design_surfaces.ply", "frame.txt", "prism.step", "prism.stl",
                                            "prism_drawing.pdf", "surface_entrance_left.dat", "surface_entrance_right.dat",
                                            "surface_exit_left.dat", "surface_exit_right.dat", "surfaces.step"};
    }
    void prismFitAndExports()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, files);
        QTemporaryDir dir;
        const PanelParameters panel;
        DesignRunOptions run;
        run.outputDirectory = dir.path();
        run.panel = &panel;
        QVERIFY(runDesign(toDesignParameters(panel, centralRayHit(panel)), run).gridWritten);

        VerificationWindow window;
        window.verifyDirectory(dir.path(), false, panel);
        window.show();
        auto* exportButton = window.findChild<QPushButton*>(button);
        auto* fitButton = window.findChild<QPushButton*>("pushButton_prismFit");
        QVERIFY(exportButton && !exportButton->isEnabled());
        QVERIFY(!fitButton->isEnabled());  // while the verification runs
        QTRY_VERIFY_WITH_TIMEOUT(!window.task()->isRunning(), 300000);
        QVERIFY(fitButton->isEnabled());

        window.findChild<QSpinBox*>("prismOrder")->setValue(5);
        QTest::mouseClick(fitButton, Qt::LeftButton);
        QVERIFY(!fitButton->isEnabled());
        auto* tableText = window.findChild<QPlainTextEdit*>("verificationTable");
        QTRY_VERIFY_WITH_TIMEOUT(!window.task()->isRunning() && tableText->toPlainText().contains("prism fit of order 5"),
                                 300000);
        QVERIFY(QFileInfo::exists(dir.filePath("prism.json")));
        const QString table = tableText->toPlainText();
        // One row name per source: the prism fit of order 5 is "prism 5".
        QVERIFY2(table.contains("prism 5   left") && !table.contains("fit 5"), qPrintable(table));
        QVERIFY(exportButton->isEnabled());

        QTest::mouseClick(exportButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.task()->isRunning(), 300000);
        for (const QString& file : files)
            QVERIFY2(QFileInfo(dir.filePath(file)).size() > 0, qPrintable(file));
        QVERIFY(window.findChild<QPlainTextEdit*>("verificationTable")->toPlainText().contains("export of order 5"));
        const QByteArray shot = qgetenv("HARVENLOTEK_SCREENSHOT");
        if (!shot.isEmpty() && button.endsWith("all"))
            window.grab().save(QString::fromLocal8Bit(shot));
    }

    // "predict calibration": computed beside a usable window, and the same
    // figures as harvenlotek-cli calibrate for the panel.
    void predictsTheCommandLineFigures()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult cli = runCli({"calibrate", "--output-dir", dir.path()});
        QCOMPARE(cli.code, 0);
        // The figures: the lines after the "calibration" line, up to the total time.
        QStringList expected = QString::fromLocal8Bit(cli.out).split(QLatin1Char('\n'));
        while (!expected.isEmpty() && !expected.first().startsWith(QLatin1String("calibration")))
            expected.removeFirst();
        QVERIFY(expected.size() > 2);
        expected.removeFirst();
        while (!expected.isEmpty() && !expected.last().startsWith(QLatin1String("total time")))
            expected.removeLast();
        expected.removeLast();
        QVERIFY(expected.size() >= 8);

        VerificationWindow window;
        window.verifyDirectory(dir.path(), false, PanelParameters());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY_WITH_TIMEOUT(!window.task()->isRunning(), 300000);
        auto* button = window.findChild<QPushButton*>(QStringLiteral("pushButton_calibrate"));
        auto* text = window.findChild<QPlainTextEdit*>(QStringLiteral("calibrationTable"));
        QVERIFY(button && text);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(!button->isEnabled());  // running on its own thread; the event loop goes on
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 600000);
        const QStringList shown = text->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(shown.first(), QStringLiteral("refraction design"));  // the start value of the design model
        // The same words, and numbers that agree to their last printed digit:
        // OpenCV's results differ in their last bits between two processes
        // (its BLAS kernels follow the heap's alignment), which may flip the
        // rounding of a printed figure by one unit.
        QCOMPARE(shown.size() - 1, expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(sameFigures(shown[i + 1], expected[i]), qPrintable(shown[i + 1] + " / " + expected[i]));
        const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");  // for a person to look at
        if (!shots.isEmpty())
            window.grab().save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("calibration_window.png")));
    }

    // The main window's "verify" button opens a window of its own with the map
    // and the table of the design and the fit in the working directory, and
    // leaves the panel's controls where they were. Last: it changes the
    // working directory and the screen size the panel uses.
    void verifyButtonOpensTheVerification()
    {
        QTemporaryDir dir;
        QCOMPARE(runCli({"design", "--output-dir", dir.path()}).code, 0);
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());

        screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
        screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
        auto window = std::make_unique<MainWindow>();
        window->resize(screenWidth, screenHeight);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto* verify = window->findChild<QPushButton*>(QStringLiteral("pushButton_verify"));
        auto* freeform = window->findChild<QPushButton*>(QStringLiteral("pushButton"));
        auto* fit = window->findChild<QPushButton*>(QStringLiteral("pushButton_2"));
        QVERIFY(verify && freeform && fit);
        QCOMPARE(verify->text(), QStringLiteral("verify"));
        // In the free area: no other control of the panel under it.
        for (QWidget* other : window->findChildren<QWidget*>()) {
            if (other != verify && other->isVisible() && other->parentWidget() == verify->parentWidget()
                && other->objectName() != QLatin1String("centralWidget") && !other->inherits("QMenuBar") && !other->inherits("QToolBar") && !other->inherits("QStatusBar"))
                QVERIFY2(!other->geometry().intersects(verify->geometry()), qPrintable(other->objectName()));
        }

        QTest::mouseClick(fit, Qt::LeftButton);  // a fit of order 3 in the working directory
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 300000);
        QVERIFY(QFileInfo::exists(QStringLiteral("result_para_fit.json")));
        QTest::mouseClick(verify, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 300000);
        auto* table = window->findChild<QPlainTextEdit*>(QStringLiteral("verificationTable"));
        auto* map = window->findChild<QLabel*>(QStringLiteral("verificationMap"));
        QVERIFY(table && map);
        QVERIFY(QTest::qWaitForWindowExposed(table->window()));
        QVERIFY(!table->window()->isModal());
        const QString text = table->toPlainText();
        QVERIFY2(text.contains(QStringLiteral("design    left")) && text.contains(QStringLiteral("fit 3     right")),
                 qPrintable(text));
        QVERIFY(map->pixmap(Qt::ReturnByValue).width() > 1000);
        QVERIFY(window->isEnabled());  // the panel stays usable beside it

        const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            QTest::qWait(200);
            const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
            screen.save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("verify_window_screen.png")));
            window->grab().save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("main_window.png")));
        }
        QDir::setCurrent(previous);
    }
};

QTEST_MAIN(TestVerificationWindow)
#include "tst_verification_window.moc"
