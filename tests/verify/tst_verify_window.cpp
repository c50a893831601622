// The window's "verify" button: it opens a window of its own with the map and
// the table of the design and the fit in the working directory, and leaves
// the panel's controls where they were. With HARVENLOTEK_SCREENSHOT_DIR set,
// both windows are saved there as PNG.
#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "test_support.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <memory>

class TestVerifyWindow : public QObject {
    Q_OBJECT

private slots:
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
        QVERIFY(QFileInfo::exists(QStringLiteral("result_para_fit.json")));
        QTest::mouseClick(verify, Qt::LeftButton);
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

QTEST_MAIN(TestVerifyWindow)
#include "tst_verify_window.moc"
