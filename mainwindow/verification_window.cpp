#include "mainwindow/verification_window.h"

#include "fit/fit_json.h"
#include "parameters/panel_parameters.h"
#include "verify_map/verify_map.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QVBoxLayout>

VerificationWindow::VerificationWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("verificationWindow"));
    setWindowTitle(QStringLiteral("verification"));
    auto* layout = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    map = new QLabel(scroll);
    map->setObjectName(QStringLiteral("verificationMap"));
    scroll->setWidget(map);
    scroll->setWidgetResizable(false);
    table = new QPlainTextEdit(this);
    table->setObjectName(QStringLiteral("verificationTable"));
    table->setReadOnly(true);
    table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    table->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(scroll, 3);
    layout->addWidget(table, 1);
    resize(1500, 900);
}

void VerificationWindow::verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::vector<verify::VerifySource> sources;
    std::vector<verify::VerifyResult> results;
    QString text;
    verify::VerifySource design;
    bool fromPanel = false;
    QString error;
    if (verify::loadDesignSource(directory, panel, &design, &fromPanel, &error)) {
        sources.push_back(design);
        const bool fitThere = QFileInfo::exists(QDir(directory).filePath(QString::fromLatin1(fitJsonFileName)));
        if (withFit && fitThere) {
            verify::VerifySource fit;
            int order = 0;
            if (verify::loadFitSource(directory, design.geometry, &fit, &order, &error))
                sources.push_back(fit);
            else
                text += error + QLatin1Char('\n');
        }
        verify::VerifyOptions options;
        options.keepPixels = true;
        for (const verify::VerifySource& source : sources)
            results.push_back(verify::verifyPrism(source.geometry, source.surfaces, options));
        text = verify::verificationTable(sources, results) + text;
        if (fromPanel)
            text += QStringLiteral("no design.json: the geometry comes from the panel's values\n");
        const QImage image = verify::renderVerificationMap(sources, results);
        map->setPixmap(QPixmap::fromImage(image.scaledToWidth(1400, Qt::SmoothTransformation)));
        map->adjustSize();
    } else {
        text = QStringLiteral("nothing to verify: %1\n").arg(error);
        map->clear();
    }
    table->setPlainText(text);
    QApplication::restoreOverrideCursor();
}
