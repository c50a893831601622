#include "mainwindow/folder_watcher.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QTimer>

#include <sys/stat.h>

namespace {

// A run replaces its files one rename after another: the folder is compared
// once they have settled.
constexpr int settleMs = 250;

}  // namespace

FolderWatcher::FolderWatcher(const QString& directory, const QStringList& fileNames, QObject* parent)
    : QObject(parent), directory_(directory), fileNames_(fileNames)
{
    watcher_ = new QFileSystemWatcher(this);
    watcher_->addPath(directory_);
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(settleMs);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, settle_, [this] { settle_->start(); });
    connect(settle_, &QTimer::timeout, this, &FolderWatcher::compare);
    acknowledge();
}

FolderWatcher::Stamp FolderWatcher::stampOf(const QString& fileName) const
{
    Stamp stamp;
    struct stat st;
    if (::stat(QFile::encodeName(QDir(directory_).filePath(fileName)).constData(), &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modifiedNs = qlonglong(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    }
    return stamp;
}

void FolderWatcher::acknowledge()
{
    for (const QString& name : fileNames_)
        known_[name] = stampOf(name);
}

void FolderWatcher::compare()
{
    QStringList changed;
    for (const QString& name : fileNames_) {
        const Stamp now = stampOf(name);
        if (!(now == known_.value(name)))
            changed << name;
        known_[name] = now;
    }
    if (!changed.isEmpty())
        emit changedElsewhere(changed);
}
