// The verification window's prism controls on a real design in a scratch
// directory: export buttons idle until a prism fit exists, a prism fit that
// writes "prism.json" and joins the verified sources, exports that write
// their files. With HARVENLOTEK_SCREENSHOT set, the window is saved there as
// a PNG.
#include "design/design_run.h"
#include "mainwindow/verification_window.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class TestVerificationWindow : public QObject {
    Q_OBJECT

private slots:
    void prismFitAndExports_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("grid sag") << "pushButton_export_gridsag" << QStringList{"surface_entrance.dat", "surface_exit.dat"};
        QTest::newRow("all") << "pushButton_export_all"
                             << QStringList{"design_surfaces.ply", "prism.stl", "surface_entrance.dat", "surface_exit.dat"};
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
        QVERIFY(exportButton && !exportButton->isEnabled());

        window.findChild<QSpinBox*>("prismOrder")->setValue(5);
        QTest::mouseClick(window.findChild<QPushButton*>("pushButton_prismFit"), Qt::LeftButton);
        QVERIFY(QFileInfo::exists(dir.filePath("prism.json")));
        const QString table = window.findChild<QPlainTextEdit*>("verificationTable")->toPlainText();
        QVERIFY2(table.contains("prism fit of order 5") && table.contains("prism"), qPrintable(table));
        QVERIFY(exportButton->isEnabled());

        QTest::mouseClick(exportButton, Qt::LeftButton);
        for (const QString& file : files)
            QVERIFY2(QFileInfo(dir.filePath(file)).size() > 0, qPrintable(file));
        QVERIFY(window.findChild<QPlainTextEdit*>("verificationTable")->toPlainText().contains("export of order 5"));
        const QByteArray shot = qgetenv("HARVENLOTEK_SCREENSHOT");
        if (!shot.isEmpty() && button.endsWith("all"))
            window.grab().save(QString::fromLocal8Bit(shot));
    }
};

QTEST_MAIN(TestVerificationWindow)
#include "tst_verification_window.moc"
