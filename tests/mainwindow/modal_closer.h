#pragma once

// Closes every modal box and file dialog a test's clicks bring up, and
// remembers the last box's title and text. A file dialog is given
// `fileToChoose`, typed into its name field as a user would (selectFile
// leaves a field that has the focus alone, and the dialog would then wait).
//
// The closing itself is queued, not done inside the timer's slot: a dialog
// that opens another box while it closes (file not found, replace the file?)
// runs that box's loop from the queued call, and the timer, whose slot has
// returned, closes it in turn.

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QTimer>

struct ModalCloser {
    QTimer timer;
    QString lastBox;   // "title: text"
    QString lastText;  // the text alone
    QString fileToChoose;

    explicit ModalCloser(int intervalMs = 20)
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                lastBox = box->windowTitle() + ": " + box->text();
                lastText = box->text();
                QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
            } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    name->setText(fileToChoose);
                else
                    dialog->selectFile(fileToChoose);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
        });
        timer.start(intervalMs);
    }
};
