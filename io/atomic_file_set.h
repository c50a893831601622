#pragma once

// Result files that are never seen half written, and the files of one stage
// that are never seen half replaced.
//
// One file: its bytes go to a temporary file in the target's own directory
// (".NAME.hvl-tmp-PID-N", created exclusively with the permissions the target
// has or would get), are flushed to the disk (fsync) and only then renamed
// over the target. rename() within one file system is atomic: a reader sees
// the old file or the new one, never a cut one; a kill, a full disk or any
// write error leaves the old file as it was.
//
// Several files of one stage (the design's two, the fit's three): every file
// is first staged as above; nothing is renamed until all are complete. Then a
// small journal ".hvl-commit-SETNAME" is written the same way. It names the
// run (set name, process, time) and lists each temporary file with its
// target, in the fixed order of staging, by their names relative to the
// directory (a link's file elsewhere by its absolute path): a directory
// copied or moved after a kill is finished in its new place. After the journal is in place the
// temporary files are renamed over their targets in that order, the directory
// is flushed and the journal removed. A kill before the journal exists leaves
// the old set (plus temporary files, which recover() deletes); a kill after
// it leaves a journal, and recover() finishes the renames (roll forward), so
// the directory holds the complete new set. A reader that finds the journal
// knows that the set is between two runs. Every commit first finishes a
// journal left behind by an earlier run, so an old journal can never roll
// stale files over newer ones. The journal rather than a manifest kept beside
// the results: the result files keep their exact bytes and names, and a
// directory without a journal always holds one complete set.
//
// Targets must be missing or regular files; a symbolic link to a regular file
// is followed (the file it names is replaced, the link stays). Directories,
// FIFOs, sockets, devices and dangling or looping links are refused before
// anything is written (checkOutputTarget). Paths are passed to the system as
// the bytes QFile::encodeName makes of them.
//
// The class does no locking: callers that may run at the same time in one
// directory hold a DirectoryLock (io/directory_lock.h) around stage, commit
// and recover.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <vector>

// A run of bytes to write; a file is staged from one or more of them.
struct ByteSpan {
    const char* data = nullptr;
    std::size_t size = 0;
};

// Bytes made while they are written: pieces 0 to count - 1, asked for in
// order, each written before the next is asked for (so that a large file need
// not be held whole). A piece with data null and size above 0 means the
// producer failed; the file is then not staged.
struct ByteSource {
    std::size_t count = 0;
    std::function<ByteSpan(std::size_t index)> piece;
};

// Whether a staged file is flushed to the disk before its rename. Files that
// live only within one run (scratch files) may skip it.
enum class Durability { Synced, Unsynced };

// Null when `path` can be written as a result file (missing, or a regular
// file, or a link to one, in a directory that exists); otherwise the reason,
// e.g. "'out/outputall.txt' is a FIFO, not a regular file".
QString checkOutputTarget(const QString& path);

// Writes one file atomically (temporary file, fsync, rename). False with
// *error set (if given) when the target is refused or anything fails; the old
// file is then untouched and no temporary file is left.
bool writeFileAtomically(const QString& path, const char* data, std::size_t size,
                         QString* error = nullptr, Durability durability = Durability::Synced);

class AtomicFileSet {
public:
    // A set of result files in `directory`; `setName` ("design", "fit") names
    // the journal and the run in it. Nothing is touched until stage().
    AtomicFileSet(const QString& directory, const QString& setName);
    // Discards every staged file that was not committed.
    ~AtomicFileSet();
    AtomicFileSet(const AtomicFileSet&) = delete;
    AtomicFileSet& operator=(const AtomicFileSet&) = delete;

    // Checks every target before anything is computed or written; false with
    // errorString() naming the first refused target.
    bool checkTargets(const QStringList& fileNames);

    // Writes the pieces, in order, to a temporary file for `fileName` (a name
    // inside the directory) and flushes it. False (errorString() says why)
    // when the target is refused or the file cannot be written in full; the
    // temporary file is then removed and the set can only be discarded.
    bool stage(const QString& fileName, const std::vector<ByteSpan>& pieces);
    bool stage(const QString& fileName, const char* data, std::size_t size);
    bool stage(const QString& fileName, const ByteSource& pieces);

    // Renames every staged file over its target in staging order (through
    // the journal when there are several). False when the set failed before
    // or a rename failed; notReplaced() then lists the targets that kept
    // their previous contents.
    bool commit();
    // Removes the staged temporary files; the targets stay as they were.
    void discard();

    bool failed() const { return failed_; }
    QString errorString() const { return error_; }
    // Names (as given to stage or checkTargets) whose targets were not
    // replaced by this set: after a failure, every name of the set.
    QStringList notReplaced() const;
    QString directory() const { return directory_; }

    // Finishes what a killed commit left in `directory`: a journal is rolled
    // forward (its remaining temporary files renamed over their targets) and
    // removed; temporary files of runs that never reached their journal are
    // deleted, and so are the scratch files named (files a run makes and
    // deletes itself, left behind by a kill). Only to be called while holding
    // the directory's lock. Returns the number of files it renamed or
    // deleted; *message (if given) tells what it did, empty when there was
    // nothing to do.
    // A journal that cannot be applied (its files lost or never copied, the
    // journal cut, a rename refused) is left as it is, with its temporary
    // files, and
    // *problem (if given) says which files are new and which are not; it is
    // empty when every journal was applied. Such a journal goes when a later
    // commit of its set replaces every file it names; a commit that would
    // not fails with the same message.
    static int recover(const QString& directory, QString* message = nullptr,
                       const QStringList& scratchNames = QStringList(), QString* problem = nullptr);
    // Whether a journal (a commit in progress or interrupted) is present.
    static bool commitPending(const QString& directory);

    // For tests that stop a commit part-way (e.g. _exit in a child process):
    // called with 0 once the journal is in place and with k after the k-th
    // rename. Null (the default) calls nothing.
    using CommitHook = void (*)(int renamed);
    static void setCommitHook(CommitHook hook);

private:
    struct Staged {
        QString name;           // as the caller named it
        QByteArray tempPath;    // encoded paths
        QByteArray targetPath;
    };
    bool fail(const QString& message);
    QByteArray resolveTarget(const QString& fileName);

    QString directory_;
    QString setName_;
    std::vector<Staged> staged_;
    QStringList names_;
    QStringList replaced_;
    QString error_;
    bool failed_ = false;
    bool committed_ = false;
};
