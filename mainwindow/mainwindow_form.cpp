#include "mainwindow/mainwindow_form.h"

#include "core/sensor.h"
#include "parameters/panel_parameters.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>

namespace {

template <typename Widget, typename... Args>
Widget* make(QWidget* parent, const char* name, Args... args)
{
    Widget* widget = new Widget(args..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

} // namespace

void MainWindowForm::setupForm(QMainWindow* window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(981, 640);

    centralWidget = make<QWidget>(window, "centralWidget");
    graphicsView = make<QGraphicsView>(centralWidget, "graphicsView");
    groupBox = make<QGroupBox>(centralWidget, "groupBox");
    label = make<QLabel>(groupBox, "label");
    label->setEnabled(true);
    QSizePolicy labelPolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    labelPolicy.setHorizontalStretch(0);
    labelPolicy.setVerticalStretch(0);
    labelPolicy.setHeightForWidth(label->sizePolicy().hasHeightForWidth());
    label->setSizePolicy(labelPolicy);
    spinBox_fl = make<QSpinBox>(groupBox, "spinBox_fl");
    label_12 = make<QLabel>(groupBox, "label_12");
    horizontalSlider_fl = make<QSlider>(groupBox, "horizontalSlider_fl", Qt::Horizontal);
    label_2 = make<QLabel>(groupBox, "label_2");
    label_3 = make<QLabel>(groupBox, "label_3");
    spinBox_rx = make<QSpinBox>(groupBox, "spinBox_rx");
    label_4 = make<QLabel>(groupBox, "label_4");
    spinBox_ry = make<QSpinBox>(groupBox, "spinBox_ry");
    label_5 = make<QLabel>(groupBox, "label_5");
    label_6 = make<QLabel>(groupBox, "label_6");
    lineEdit_ps = make<QLineEdit>(groupBox, "lineEdit_ps");
    groupBox_2 = make<QGroupBox>(centralWidget, "groupBox_2");
    doubleSpinBox_ps = make<QDoubleSpinBox>(groupBox_2, "doubleSpinBox_ps");
    label_7 = make<QLabel>(groupBox_2, "label_7");
    doubleSpinBox_index = make<QDoubleSpinBox>(groupBox_2, "doubleSpinBox_index");
    label_13 = make<QLabel>(groupBox_2, "label_13");
    label_8 = make<QLabel>(groupBox_2, "label_8");
    label_9 = make<QLabel>(groupBox_2, "label_9");
    spinBox_d = make<QSpinBox>(groupBox_2, "spinBox_d");
    const PanelFieldRange& distance = panelFieldRange(PanelField::PrismDistance);
    spinBox_d->setRange(static_cast<int>(distance.low), static_cast<int>(distance.high));
    horizontalSlider_d = make<QSlider>(groupBox_2, "horizontalSlider_d", Qt::Horizontal);
    label_10 = make<QLabel>(groupBox_2, "label_10");
    label_11 = make<QLabel>(groupBox_2, "label_11");
    spinBox_p = make<QSpinBox>(groupBox_2, "spinBox_p");
    const PanelFieldRange& size = panelFieldRange(PanelField::PrismSize);
    spinBox_p->setRange(static_cast<int>(size.low), static_cast<int>(size.high));
    spinBox_p->setSingleStep(static_cast<int>(size.step));
    pushButton = make<QPushButton>(centralWidget, "pushButton");
    label_14 = make<QLabel>(centralWidget, "label_14");
    horizontalScrollBar = make<QScrollBar>(centralWidget, "horizontalScrollBar", Qt::Horizontal);
    radioButton = make<QRadioButton>(centralWidget, "radioButton");
    pushButton_2 = make<QPushButton>(centralWidget, "pushButton_2");
    label_15 = make<QLabel>(centralWidget, "label_15");
    spjieci = make<QSpinBox>(centralWidget, "spjieci");
    textBrowser = make<QTextBrowser>(centralWidget, "textBrowser");
    comboBox_model = make<QComboBox>(centralWidget, "comboBox_model");
    comboBox_model->addItem(QStringLiteral("classic"));
    comboBox_model->addItem(QStringLiteral("refraction"));
    // A null scene rectangle: the view follows the scene's own bounds.
    graphicsView->setSceneRect(QRectF());
    window->setCentralWidget(centralWidget);

    menuBar = make<QMenuBar>(window, "menuBar");
    menuBar->setGeometry(QRect(0, 0, 981, 17));
    window->setMenuBar(menuBar);
    mainToolBar = make<QToolBar>(window, "mainToolBar");
    window->addToolBar(Qt::TopToolBarArea, mainToolBar);
    statusBar = make<QStatusBar>(window, "statusBar");
    window->setStatusBar(statusBar);

    retranslateForm(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::retranslateForm(QMainWindow* window)
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("MainWindow", text); };
    window->setWindowTitle(tr("MainWindow"));
    groupBox->setTitle(tr("Camera"));
    label->setText(tr("focual length"));
    label_12->setText(tr("mm"));
    label_2->setText(tr("resolution"));
    label_3->setText(tr("X"));
    label_4->setText(tr("Y"));
    label_5->setText(tr("pixel size"));
    label_6->setText(tr("mm"));
    lineEdit_ps->setText(QString::number(pixelPitch));
    groupBox_2->setTitle(tr("Prism"));
    label_7->setText(tr("angle"));
    label_13->setText(tr("refractive index"));
    label_8->setText(tr("distance"));
    label_9->setText(tr("mm"));
    label_10->setText(tr("size"));
    label_11->setText(tr("mm"));
    pushButton->setText(tr("freeform"));
    label_14->setText(tr("Virtual camera"));
    radioButton->setText(tr("fix angle"));
    pushButton_2->setText(tr("Compute and show"));
    label_15->setText(tr("p"));
    comboBox_model->setToolTip(tr("design model: classic, or refraction (both surfaces obey the law of refraction everywhere)"));
}
