// The tool against the window: the same panel settings, the same clicks on
// "freeform" and "Compute and show", byte for byte the same files.

#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Closes the design's "work done" box once it is up.
void closeNextModalBox()
{
    QTimer::singleShot(20, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->accept();
        else
            closeNextModalBox();
    });
}

}  // namespace

class TestCliWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void sameFilesAsWindow_data();
    void sameFilesAsWindow();
};

void TestCliWindow::initTestCase()
{
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
}

void TestCliWindow::sameFilesAsWindow_data()
{
    // Panel values set before the clicks: focal length, distance, size,
    // angle, index (0: left at the start value); then whether "fix angle" is
    // clicked, the fit order, and the tool's arguments.
    QTest::addColumn<QVector<double>>("panel");
    QTest::addColumn<bool>("fixAngle");
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("start values") << QVector<double>{0, 0, 0, 0, 0} << false << 3
                                  << QStringList{"run", "--order", "3"};
    QTest::newRow("fix angle") << QVector<double>{0, 0, 0, 0, 0} << true << 5
                               << QStringList{"run", "--fix-angle", "--order", "5"};
    QTest::newRow("fix angle, spin box already at 8.85")
        << QVector<double>{0, 0, 0, 8.85, 0} << true << 4
        << QStringList{"run", "--angle", "8.85", "--fix-angle", "--order", "4"};
    QTest::newRow("other values")
        << QVector<double>{20, 150, 80, 25.46, 1.5} << false << 8
        << QStringList{"run", "--focal-length", "20", "--distance", "150", "--size", "80",
                       "--angle", "25.46", "--index", "1.5", "--order", "8"};
}

void TestCliWindow::sameFilesAsWindow()
{
    QFETCH(QVector<double>, panel);
    QFETCH(bool, fixAngle);
    QFETCH(int, order);
    QFETCH(QStringList, arguments);
    QTemporaryDir windowDir;
    QTemporaryDir cliDir;

    const QString startDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(windowDir.path()));
    {
        MainWindow window;
        window.resize(screenWidth, screenHeight);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const char* controls[] = {"spinBox_fl", "spinBox_d", "spinBox_p", "doubleSpinBox_ps",
                                  "doubleSpinBox_index"};
        for (int i = 0; i < 5; ++i) {
            if (panel.at(i) != 0.0)
                QVERIFY(window.findChild<QWidget*>(controls[i])->setProperty("value", panel.at(i)));
        }
        // The design takes the point of the latest paint.
        QGraphicsView* view = window.findChild<QGraphicsView*>("graphicsView");
        view->viewport()->repaint();
        if (fixAngle) {
            auto* button = window.findChild<QRadioButton*>("radioButton");
            QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
            QVERIFY(button->isChecked());
            view->viewport()->repaint();
        }
        closeNextModalBox();
        QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
        window.findChild<QSpinBox*>("spjieci")->setValue(order);
        QTest::mouseClick(window.findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    }
    QVERIFY(QDir::setCurrent(startDir));

    QProcess cli;
    cli.setWorkingDirectory(cliDir.path());
    cli.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    QVERIFY(cli.waitForFinished(600000));
    QCOMPARE(cli.exitCode(), 0);

    for (const char* name : {"output.txt", "outputall.txt", "output_fit_fig1.txt",
                             "output_fit_fig2.txt", "result_para_fit.txt"}) {
        const QByteArray expected = readAll(QDir(windowDir.path()).filePath(name));
        QVERIFY2(!expected.isEmpty(), name);
        QVERIFY2(readAll(QDir(cliDir.path()).filePath(name)) == expected, name);
    }
}

QTEST_MAIN(TestCliWindow)
#include "tst_cli_window.moc"
