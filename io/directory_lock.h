#pragma once

// One run per directory: an advisory lock (flock) on the lock file
// ".hvl.lock" inside the output directory, held for the whole of a design or
// a fit. The kernel drops it when the process ends, however it ends, so a
// killed run never leaves a stale lock; the lock file itself stays (removing
// it would race with a run that has just opened it). The file holds the
// process id of the holder, for the message a refused run prints.
//
// flock locks belong to an open file description: two DirectoryLock objects
// on one directory exclude each other also inside one process.

#include <QString>

class DirectoryLock {
public:
    enum class Mode {
        Wait,    // block until the holder is done (or the timeout passes)
        Refuse,  // fail at once when the directory is locked
    };

    explicit DirectoryLock(const QString& directory);
    ~DirectoryLock();  // releases the lock
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Takes the lock. With Mode::Wait a negative timeout waits for ever.
    // False with *error (if given) set when the lock is held by another run
    // ("another run (process 1234) is writing in 'dir'") or the lock file
    // cannot be created.
    bool acquire(Mode mode, QString* error = nullptr, int timeoutMilliseconds = -1);
    void release();
    bool isHeld() const { return fd_ >= 0; }
    // True when the lock could not be taken because another run holds it
    // (as opposed to an unwritable directory), after a failed acquire.
    bool heldElsewhere() const { return heldElsewhere_; }

    static QString lockFileName() { return QStringLiteral(".hvl.lock"); }

private:
    QString directory_;
    int fd_ = -1;
    bool heldElsewhere_ = false;
};
