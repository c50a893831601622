#pragma once

// Notices when another process changes the result files of a folder: the
// window that owns it says so instead of showing results another run has
// replaced. The folder is watched (QFileSystemWatcher), since result files
// are replaced by rename; after a change settles, each named file's identity
// (device, inode, size, modification time) is compared with the state last
// acknowledged. The owner acknowledges after each of its own writes, so only
// changes it did not make are reported.

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

class FolderWatcher : public QObject
{
    Q_OBJECT

public:
    FolderWatcher(const QString& directory, const QStringList& fileNames, QObject* parent = nullptr);

    // The files as they are now are the owner's own (or already reported).
    void acknowledge();

signals:
    // Files of the folder changed by someone else, by name, in the order given.
    void changedElsewhere(const QStringList& fileNames);

private:
    struct Stamp {
        bool exists = false;
        qulonglong device = 0, inode = 0;
        qlonglong size = 0, modifiedNs = 0;
        bool operator==(const Stamp& o) const
        {
            return exists == o.exists && device == o.device && inode == o.inode && size == o.size
                   && modifiedNs == o.modifiedNs;
        }
    };
    Stamp stampOf(const QString& fileName) const;
    void compare();

    QString directory_;
    QStringList fileNames_;
    QHash<QString, Stamp> known_;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr;
};
