// The verification window's "predict calibration": computed beside a usable
// window, and the same figures as harvenlotek-cli calibrate for the panel.
// With HARVENLOTEK_SCREENSHOT_DIR set, the window is saved there as PNG.
#include "mainwindow/verification_window.h"
#include "../verify/test_support.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestCalibrationWindow : public QObject {
    Q_OBJECT

private slots:
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
        auto* button = window.findChild<QPushButton*>(QStringLiteral("pushButton_calibrate"));
        auto* text = window.findChild<QPlainTextEdit*>(QStringLiteral("calibrationTable"));
        QVERIFY(button && text);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(!button->isEnabled());  // running on its own thread; the event loop goes on
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 600000);
        const QStringList shown = text->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(shown.first(), QStringLiteral("classic design"));
        QCOMPARE(shown.mid(1), expected);
        const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");  // for a person to look at
        if (!shots.isEmpty())
            window.grab().save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("calibration_window.png")));
    }
};

QTEST_MAIN(TestCalibrationWindow)
#include "tst_calibration_window.moc"
