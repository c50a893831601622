// The window with FIFOs where its views read files (it must start, not hang),
// and its boxes instead of writing when another run holds the directory or
// the fit's input is malformed. Needs an X server with OpenGL (Xvfb).
#include "app/application_window.h"
#include "io/directory_lock.h"
#include "mainwindow/background_task.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "../io/test_files.h"

#include <QDoubleSpinBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QtTest>

#include <clocale>
#include <sys/stat.h>

class TestReliabilityWindow : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString box;
    QTimer closer;  // closes a modal box once it is up

private slots:
    void initTestCase()
    {
        std::setlocale(LC_NUMERIC, "C");
        screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
        screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
        QVERIFY(QDir::setCurrent(dir.path()));
        connect(&closer, &QTimer::timeout, [this] {
            if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box = shown->windowTitle() + ": " + shown->text();
                shown->accept();
            }
        });
        closer.start(20);
    }

    // Every file the views read at start-up is a FIFO: the window comes up
    // with empty views (a hang here ends in the test's timeout).
    void fifosAtStartUp()
    {
        for (const char* name : {"outputall.txt", "output_fit_fig1.txt", "output_fit_fig2.txt"})
            QVERIFY(mkfifo(name, 0600) == 0);
        ApplicationWindow windows;
        windows.show();
        QVERIFY(QTest::qWaitForWindowExposed(windows.container()));
        windows.designPointView().shownew();
        windows.fittedSurfaceView().shownew();
        QCOMPARE(windows.designPointView().points().pointCount(), 0);
        QCOMPARE(windows.fittedSurfaceView().points().pointCount(), 0);
        for (const char* name : {"outputall.txt", "output_fit_fig1.txt", "output_fit_fig2.txt"})
            QVERIFY(QFile::remove(name));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("design");  // "outputall.txt"; empty: the lock is held
        QTest::addColumn<QString>("expected");
        QTest::newRow("freeform, lock held") << "pushButton" << QByteArray() << "not run: The design was not run: another run (process";
        QTest::newRow("fit, lock held") << "pushButton_2" << QByteArray() << "not run: The fit was not run: another run (process";
        QTest::newRow("fit, 5 numbers") << "pushButton_2" << QByteArray("1 2 3 4 5 6\n1 2 3 4 5\n")
                                        << "fit refused: The fit of order 3 wrote nothing: outputall.txt: line 2: 5 numbers, expected 6.";
        QTest::newRow("fit, too few points") << "pushButton_2" << QByteArray("1 2 3 4 5 6\n")
                                             << "fit refused: The fit of order 3 wrote nothing: surface 1 has 1 points";
    }
    void refusals()
    {
        QFETCH(QString, button);
        QFETCH(QByteArray, design);
        QFETCH(QString, expected);
        const QByteArray oldDesign = design.isEmpty() ? QByteArray("old design\n") : design;
        for (const char* name : {"output.txt", "outputall.txt", "result_para_fit.txt"})
            putFile(name, name == QByteArray("outputall.txt") ? oldDesign : "old\n");
        DirectoryLock other(".");
        QVERIFY(!design.isEmpty() || other.acquire(DirectoryLock::Mode::Refuse));
        ApplicationWindow windows;
        windows.show();
        QVERIFY(QTest::qWaitForWindowExposed(windows.container()));
        auto* report = windows.mainWindow().findChild<QTextBrowser*>("textBrowser");
        report->setText("previous report");
        QSignalSpy designDone(&windows.mainWindow(), SIGNAL(workdonesignal()));
        QSignalSpy fitDone(&windows.mainWindow(), SIGNAL(workdonesignal2()));
        box.clear();
        QTest::mouseClick(windows.mainWindow().findChild<QPushButton*>(button), Qt::LeftButton);
        // The action runs on the window's worker; its box comes when it ends.
        QTRY_VERIFY2_WITH_TIMEOUT(box.startsWith(expected), qPrintable(box), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!windows.mainWindow().task()->isRunning(), 60000);
        QCOMPARE(designDone.count() + fitDone.count(), 0);
        QCOMPARE(report->toPlainText(), QString("previous report"));
        for (const char* name : {"output.txt", "result_para_fit.txt"})
            QCOMPARE(fileBytes(name), QByteArray("old\n"));
        QVERIFY(!QFile::exists("output_fit_fig1.txt") && !QFile::exists("outputall_fig1.txt"));
    }

    // Two windows on one folder. The first designs (angle 20) and fits; the
    // second designs at angle 30: the first window says that its folder
    // changed, its verification leaves out the fit of its own design beside
    // the other one, and its next fit, of the second's design, is flagged
    // with a box and in the same note. The second's own fit is not flagged.
    void fitOfAnotherWindowsDesign()
    {
        QTemporaryDir here;
        QVERIFY(QDir::setCurrent(here.path()));
        MainWindow first, second;
        first.show();
        second.show();
        QVERIFY(QTest::qWaitForWindowExposed(&second));
        // A click, then the action's end on the window's worker and the box
        // it brings (closed by the closer), if any.
        const auto click = [this](MainWindow& window, const char* name) {
            box.clear();
            QTest::mouseClick(window.findChild<QPushButton*>(name), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!window.task()->isRunning(), 180000);
            QTest::qWait(200);
        };
        click(first, "pushButton");
        QCOMPARE(box, QString("ok: work done"));
        click(first, "pushButton_2");
        QVERIFY2(box.isEmpty(), qPrintable(box));
        second.findChild<QDoubleSpinBox*>("doubleSpinBox_ps")->setValue(30);
        click(second, "pushButton");
        QCOMPARE(box, QString("ok: work done"));
        QTRY_COMPARE(first.findChild<QLabel*>("label_folder")->text(),
                     QString("Another window or program changed the results in this folder: output.txt, "
                             "outputall.txt, design.json."));
        // The second saw the first's files arrive, but nothing of its own is foreign.
        QVERIFY(!second.findChild<QLabel*>("label_folder")->text().contains("another design"));

        click(first, "pushButton_verify");
        QString tables;
        for (const QPlainTextEdit* table : first.findChildren<QPlainTextEdit*>())
            tables += table->toPlainText();
        QVERIFY2(tables.contains(QString::fromUtf8(
                     "the fit in this folder belongs to another design (angle 20\u00b0, not 30\u00b0); it is not verified")),
                 qPrintable(tables));

        click(first, "pushButton_2");
        const QString foreign = QString::fromUtf8("the fit in this folder belongs to another design (angle 30\u00b0, not 20\u00b0)");
        QVERIFY2(box.startsWith("another design: " + foreign), qPrintable(box));
        QCOMPARE(first.findChild<QLabel*>("label_folder")->text(), foreign + '.');
        click(second, "pushButton_2");
        QVERIFY2(box.isEmpty(), qPrintable(box));
        QVERIFY(QDir::setCurrent(dir.path()));
    }
};

QTEST_MAIN(TestReliabilityWindow)
#include "tst_reliability_window.moc"
