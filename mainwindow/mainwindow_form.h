#pragma once

class QComboBox;
class QDoubleSpinBox;
class QGraphicsView;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSlider;
class QSpinBox;
class QStatusBar;
class QTextBrowser;
class QToolBar;
class QWidget;

// The widgets of the parameter panel, one field per object name. The record
// owns nothing: the widgets belong to the main window's widget tree.
struct MainWindowForm
{
    QWidget* centralWidget;
    QGraphicsView* graphicsView;
    QGroupBox* groupBox;
    QLabel* label;
    QSpinBox* spinBox_fl;
    QLabel* label_12;
    QSlider* horizontalSlider_fl;
    QLabel* label_2;
    QLabel* label_3;
    QSpinBox* spinBox_rx;
    QLabel* label_4;
    QSpinBox* spinBox_ry;
    QLabel* label_5;
    QLabel* label_6;
    QLineEdit* lineEdit_ps;
    QGroupBox* groupBox_2;
    QDoubleSpinBox* doubleSpinBox_ps;
    QLabel* label_7;
    QDoubleSpinBox* doubleSpinBox_index;
    QLabel* label_13;
    QLabel* label_8;
    QLabel* label_9;
    QSpinBox* spinBox_d;
    QSlider* horizontalSlider_d;
    QLabel* label_10;
    QLabel* label_11;
    QSpinBox* spinBox_p;
    QPushButton* pushButton;
    QLabel* label_14;
    QScrollBar* horizontalScrollBar;
    QRadioButton* radioButton;
    QPushButton* pushButton_2;
    QLabel* label_15;
    QSpinBox* spjieci;
    QTextBrowser* textBrowser;
    // Which design model "freeform" computes, beside the button.
    QComboBox* comboBox_model;
    QMenuBar* menuBar;
    QToolBar* mainToolBar;
    QStatusBar* statusBar;

    // Creates every widget with its form parent and object name, sets the
    // texts, then binds the window's on_<name>_<signal> slots by name.
    void setupForm(QMainWindow* window);
    void retranslateForm(QMainWindow* window);
};
