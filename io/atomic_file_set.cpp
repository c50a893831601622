#include "io/atomic_file_set.h"

#include "io/safe_input.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char tempMarker[] = ".hvl-tmp-";
constexpr char journalPrefix[] = ".hvl-commit-";

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString shown(const QByteArray& encoded)
{
    return QFile::decodeName(encoded);
}

QByteArray directoryOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

QByteArray baseNameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// fsync of a directory makes the renames and removals in it durable.
void syncDirectory(const QByteArray& directory)
{
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::atomic<int> tempCounter{0};
AtomicFileSet::CommitHook commitHook = nullptr;

// Creates a new temporary file beside `target`; returns its descriptor.
int createTempFile(const QByteArray& target, QByteArray* tempPath, int* errorCode)
{
    const QByteArray dir = directoryOf(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray path = dir + '/' + '.' + baseNameOf(target) + tempMarker
                          + QByteArray::number(qint64(::getpid())) + '-'
                          + QByteArray::number(tempCounter.fetch_add(1));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            *tempPath = path;
            return fd;
        }
        if (errno != EEXIST) {
            *errorCode = errno;
            return -1;
        }
    }
    *errorCode = EEXIST;
    return -1;
}

bool writeAll(int fd, const char* data, std::size_t size, int* errorCode)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *errorCode = errno;
            return false;
        }
        if (n == 0) {
            *errorCode = ENOSPC;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Writes the pieces to a new temporary file beside target and flushes it.
// On failure removes it and returns an empty path with *message set.
QByteArray writeTemp(const QByteArray& target, const ByteSource& pieces, Durability durability, QString* message);

QByteArray writeTemp(const QByteArray& target, const std::vector<ByteSpan>& pieces, Durability durability,
                     QString* message)
{
    return writeTemp(target, ByteSource{pieces.size(), [&pieces](std::size_t i) { return pieces[i]; }}, durability,
                     message);
}

QByteArray writeTemp(const QByteArray& target, const ByteSource& pieces, Durability durability, QString* message)
{
    QByteArray tempPath;
    int code = 0;
    const int fd = createTempFile(target, &tempPath, &code);
    if (fd < 0) {
        *message = QStringLiteral("cannot create a file in '%1': %2").arg(shown(directoryOf(target)), systemError(code));
        return QByteArray();
    }
    // The new file keeps the permissions of the one it replaces.
    struct stat old;
    if (::stat(target.constData(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);
    bool ok = true;
    for (std::size_t i = 0; ok && i < pieces.count; ++i) {
        const ByteSpan piece = pieces.piece(i);
        if (!piece.data && piece.size > 0) {
            code = ENOMEM;
            ok = false;
        } else if (!writeAll(fd, piece.data, piece.size, &code)) {
            ok = false;
        }
    }
    if (ok && durability == Durability::Synced && ::fsync(fd) != 0) {
        code = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        code = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(tempPath.constData());
        *message = QStringLiteral("cannot write '%1': %2").arg(shown(target), systemError(code));
        return QByteArray();
    }
    return tempPath;
}

QString checkEncodedTarget(const QByteArray& encoded, QByteArray* resolved)
{
    const QString path = shown(encoded);
    const PathKind kind = classifyPath(path);
    if (kind == PathKind::Regular || kind == PathKind::Missing) {
        struct stat st;
        if (kind == PathKind::Regular && ::lstat(encoded.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            char real[PATH_MAX];
            if (!::realpath(encoded.constData(), real))
                return QStringLiteral("'%1' cannot be resolved: %2").arg(path, systemError(errno));
            *resolved = QByteArray(real);
        } else {
            *resolved = encoded;
        }
        const QByteArray dir = directoryOf(*resolved);
        struct stat ds;
        if (::stat(dir.constData(), &ds) != 0 || !S_ISDIR(ds.st_mode))
            return QStringLiteral("directory '%1' does not exist").arg(shown(dir));
        if (::access(dir.constData(), W_OK | X_OK) != 0)
            return QStringLiteral("directory '%1' is not writable").arg(shown(dir));
        return QString();
    }
    return QStringLiteral("'%1' is %2, not a regular file; it is not written").arg(path, describePathKind(kind));
}

QByteArray journalPath(const QByteArray& directory, const QString& setName)
{
    return directory + '/' + journalPrefix + setName.toUtf8();
}

// A path as the journal stores it: relative to the journal's directory when
// the file lies in it (so that the journal still applies after the folder is
// copied or moved), absolute otherwise (the file a link in the folder names).
QByteArray canonicalDirectory(const QByteArray& directory)
{
    char real[PATH_MAX];
    return ::realpath(directory.constData(), real) ? QByteArray(real) : directory;
}

QByteArray journalEntryPath(const QByteArray& directory, const QByteArray& path)
{
    const QByteArray pathDirectory = canonicalDirectory(directoryOf(path));
    if (pathDirectory == canonicalDirectory(directory))
        return baseNameOf(path);
    return pathDirectory + '/' + baseNameOf(path);
}

// A stored path back: a relative one lies in the journal's directory. An
// absolute one (journals of older versions stored every path so) is taken
// as the file of that name in the journal's directory when its temporary
// file is there: the folder was copied or moved since.
QByteArray resolveEntryPath(const QByteArray& directory, const QByteArray& stored, bool preferLocal)
{
    if (!stored.startsWith('/'))
        return directory + '/' + stored;
    if (preferLocal)
        return directory + '/' + baseNameOf(stored);
    return stored;
}

bool exists(const QByteArray& path)
{
    return ::access(path.constData(), F_OK) == 0;
}

struct JournalEntry {
    QByteArray temp;
    QByteArray target;
};

// What rolling a journal forward did.
struct RollForward {
    int renamed = 0;
    QString problem;  // why it could not be applied (the journal then stays)
    QList<QByteArray> kept;  // the temporary files it names, kept with it
};

// Rolls one journal forward: renames its remaining temporary files over
// their targets and removes it. The renames of a commit happen in the
// journal's order, so the temporary files still there must be the last ones;
// a journal whose files are not all there in that way (lost, or never
// copied), that is cut or unreadable, or whose renames fail is not applied:
// it stays, so that every later call reports the mixed set, and `problem`
// says what is wrong and which files are new.
RollForward rollForward(const QByteArray& journal, QStringList* done)
{
    RollForward result;
    const QByteArray directory = directoryOf(journal);
    const QString setName = shown(baseNameOf(journal).mid(int(sizeof journalPrefix) - 1));
    std::vector<JournalEntry> entries;
    const auto cannot = [&](const QString& why) {
        for (const JournalEntry& entry : entries)
            result.kept << entry.temp;
        result.problem = QStringLiteral("the interrupted replacement of the %1 files in '%2' cannot be finished: %3")
                             .arg(setName, shown(directory), why);
        return result;
    };
    QFile file(shown(journal));
    if (!file.open(QIODevice::ReadOnly))
        return cannot(QStringLiteral("its journal %1 cannot be read").arg(shown(baseNameOf(journal))));
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    bool complete = !lines.isEmpty() && lines.first() == "harvenlotek result set" && lines.contains("end");
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 3 || fields[0] != "file")
            continue;
        const QByteArray temp = QByteArray::fromHex(fields[1]);
        const QByteArray target = QByteArray::fromHex(fields[2]);
        if (temp.isEmpty() || target.isEmpty()) {
            complete = false;
            break;
        }
        const bool local = temp.startsWith('/') && exists(directory + '/' + baseNameOf(temp));
        entries.push_back({resolveEntryPath(directory, temp, local), resolveEntryPath(directory, target, local)});
    }
    if (!complete || entries.empty())
        return cannot(QStringLiteral("its journal %1 is cut or not one").arg(shown(baseNameOf(journal))));
    // The files renamed before the interruption, then those still to rename.
    std::size_t first = 0;
    while (first < entries.size() && !exists(entries[first].temp))
        ++first;
    QStringList fresh, old, missing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QString name = shown(baseNameOf(entries[i].target));
        if (i < first)
            (exists(entries[i].target) ? fresh : missing) << name;
        else if (exists(entries[i].temp))
            old << name;
        else
            missing << name;
    }
    if (!missing.isEmpty()) {
        QString why = QStringLiteral("the new %1 is missing").arg(missing.join(QStringLiteral(", ")));
        if (!fresh.isEmpty())
            why += QStringLiteral("; new: %1").arg(fresh.join(QStringLiteral(", ")));
        if (!old.isEmpty())
            why += QStringLiteral("; from the run before: %1").arg(old.join(QStringLiteral(", ")));
        return cannot(why + QStringLiteral("; the files are a mix of two runs until the stage runs again"));
    }
    for (std::size_t i = first; i < entries.size(); ++i) {
        if (::rename(entries[i].temp.constData(), entries[i].target.constData()) != 0) {
            const int code = errno;
            return cannot(QStringLiteral("'%1' cannot be replaced: %2; the files are a mix of two runs until the "
                                         "stage runs again")
                              .arg(shown(entries[i].target), systemError(code)));
        }
        ++result.renamed;
        done->append(shown(baseNameOf(entries[i].target)));
        syncDirectory(directoryOf(entries[i].target));
    }
    ::unlink(journal.constData());
    syncDirectory(directory);
    return result;
}

// The targets a journal names (resolved as rollForward does).
QList<QByteArray> journalTargets(const QByteArray& journal)
{
    QList<QByteArray> targets;
    QFile file(shown(journal));
    if (!file.open(QIODevice::ReadOnly))
        return targets;
    const QByteArray directory = directoryOf(journal);
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3 && fields[0] == "file")
            targets << directory + '/' + baseNameOf(QByteArray::fromHex(fields[2]));
    }
    return targets;
}

} // namespace

QString checkOutputTarget(const QString& path)
{
    QByteArray resolved;
    return checkEncodedTarget(QFile::encodeName(path), &resolved);
}

bool writeFileAtomically(const QString& path, const char* data, std::size_t size, QString* error,
                         Durability durability)
{
    QByteArray target;
    QString message = checkEncodedTarget(QFile::encodeName(path), &target);
    if (message.isEmpty()) {
        const QByteArray temp = writeTemp(target, {ByteSpan{data, size}}, durability, &message);
        if (!temp.isEmpty()) {
            if (::rename(temp.constData(), target.constData()) == 0) {
                if (durability == Durability::Synced)
                    syncDirectory(directoryOf(target));
                return true;
            }
            message = QStringLiteral("cannot replace '%1': %2").arg(path, systemError(errno));
            ::unlink(temp.constData());
        }
    }
    if (error)
        *error = message;
    return false;
}

AtomicFileSet::AtomicFileSet(const QString& directory, const QString& setName)
    : directory_(directory), setName_(setName)
{
}

AtomicFileSet::~AtomicFileSet()
{
    if (!committed_)
        discard();
}

bool AtomicFileSet::fail(const QString& message)
{
    if (!failed_)
        error_ = message;
    failed_ = true;
    discard();
    return false;
}

QByteArray AtomicFileSet::resolveTarget(const QString& fileName)
{
    if (!names_.contains(fileName))
        names_.append(fileName);
    QByteArray resolved;
    const QString message =
        checkEncodedTarget(QFile::encodeName(QDir(directory_).filePath(fileName)), &resolved);
    if (!message.isEmpty()) {
        fail(message);
        return QByteArray();
    }
    return resolved;
}

bool AtomicFileSet::checkTargets(const QStringList& fileNames)
{
    for (const QString& name : fileNames) {
        if (!names_.contains(name))
            names_.append(name);
    }
    for (const QString& name : fileNames) {
        if (resolveTarget(name).isEmpty())
            return false;
    }
    return !failed_;
}

bool AtomicFileSet::stage(const QString& fileName, const char* data, std::size_t size)
{
    return stage(fileName, std::vector<ByteSpan>{ByteSpan{data, size}});
}

bool AtomicFileSet::stage(const QString& fileName, const std::vector<ByteSpan>& pieces)
{
    return stage(fileName, ByteSource{pieces.size(), [&pieces](std::size_t i) { return pieces[i]; }});
}

bool AtomicFileSet::stage(const QString& fileName, const ByteSource& pieces)
{
    if (!names_.contains(fileName))
        names_.append(fileName);
    if (failed_ || committed_)
        return fail(error_.isEmpty() ? QStringLiteral("the file set was already committed") : error_);
    const QByteArray target = resolveTarget(fileName);
    if (target.isEmpty())
        return false;
    QString message;
    const QByteArray temp = writeTemp(target, pieces, Durability::Synced, &message);
    if (temp.isEmpty())
        return fail(message);
    for (Staged& s : staged_) {
        if (s.targetPath == target) {  // staged again: the later bytes win
            ::unlink(s.tempPath.constData());
            s.tempPath = temp;
            return true;
        }
    }
    staged_.push_back({fileName, temp, target});
    return true;
}

bool AtomicFileSet::commit()
{
    if (failed_ || committed_)
        return false;
    const QByteArray dir = QFile::encodeName(directory_);
    // An older interrupted commit of this set is finished first, so that its
    // temporary files can never be renamed over what this one writes.
    const QByteArray journal = journalPath(dir, setName_);
    if (::access(journal.constData(), F_OK) == 0) {
        QStringList ignored;
        const RollForward earlier = rollForward(journal, &ignored);
        // A journal that cannot be applied goes only when this set replaces
        // every file it names: the mix it leaves is then gone.
        if (!earlier.problem.isEmpty()) {
            QList<QByteArray> ours;
            for (const Staged& s : staged_)
                ours << canonicalDirectory(directoryOf(s.targetPath)) + '/' + baseNameOf(s.targetPath);
            for (const QByteArray& target : journalTargets(journal)) {
                if (!ours.contains(canonicalDirectory(directoryOf(target)) + '/' + baseNameOf(target)))
                    return fail(earlier.problem);
            }
        }
    }
    const bool useJournal = staged_.size() > 1;
    if (useJournal) {
        QByteArray text = "harvenlotek result set\nrun " + setName_.toUtf8() + " process "
                          + QByteArray::number(qint64(::getpid())) + " at "
                          + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + '\n';
        for (const Staged& s : staged_)
            text += "file " + journalEntryPath(dir, s.tempPath).toHex() + ' '
                    + journalEntryPath(dir, s.targetPath).toHex() + '\n';
        text += "end\n";
        QString message;
        const QByteArray temp = writeTemp(journal, {ByteSpan{text.constData(), std::size_t(text.size())}},
                                          Durability::Synced, &message);
        if (temp.isEmpty())
            return fail(message);
        if (::rename(temp.constData(), journal.constData()) != 0) {
            const int code = errno;
            ::unlink(temp.constData());
            return fail(QStringLiteral("cannot write the journal in '%1': %2").arg(directory_, systemError(code)));
        }
        syncDirectory(dir);
    }
    committed_ = true;
    if (commitHook)
        commitHook(0);
    int renamed = 0;
    for (const Staged& s : staged_) {
        if (::rename(s.tempPath.constData(), s.targetPath.constData()) != 0) {
            const int code = errno;
            error_ = QStringLiteral("cannot replace '%1': %2").arg(shown(s.targetPath), systemError(code));
            failed_ = true;
            // The journal stays: recover() finishes the set later.
            return false;
        }
        replaced_.append(s.name);
        syncDirectory(directoryOf(s.targetPath));
        if (commitHook)
            commitHook(++renamed);
    }
    if (useJournal) {
        ::unlink(journal.constData());
        syncDirectory(dir);
    }
    staged_.clear();
    return true;
}

void AtomicFileSet::discard()
{
    if (committed_)
        return;
    for (const Staged& s : staged_)
        ::unlink(s.tempPath.constData());
    staged_.clear();
}

QStringList AtomicFileSet::notReplaced() const
{
    QStringList result;
    for (const QString& name : names_) {
        if (!replaced_.contains(name))
            result.append(name);
    }
    return result;
}

void AtomicFileSet::setCommitHook(CommitHook hook)
{
    commitHook = hook;
}

bool AtomicFileSet::commitPending(const QString& directory)
{
    const QByteArray dir = QFile::encodeName(directory);
    DIR* d = ::opendir(dir.constData());
    if (!d)
        return false;
    bool found = false;
    while (dirent* entry = ::readdir(d)) {
        if (std::strncmp(entry->d_name, journalPrefix, sizeof journalPrefix - 1) == 0
            && std::strstr(entry->d_name, tempMarker) == nullptr) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int AtomicFileSet::recover(const QString& directory, QString* message, const QStringList& scratchNames,
                           QString* problem)
{
    const QByteArray dir = QFile::encodeName(directory);
    QList<QByteArray> journals;
    QList<QByteArray> temps;
    if (DIR* d = ::opendir(dir.constData())) {
        while (dirent* entry = ::readdir(d)) {
            const QByteArray name(entry->d_name);
            if (name.contains(tempMarker))
                temps.append(dir + '/' + name);
            else if (name.startsWith(journalPrefix))
                journals.append(dir + '/' + name);
        }
        ::closedir(d);
    }
    int count = 0;
    QStringList finished, problems;
    for (const QByteArray& journal : journals) {
        const RollForward rolled = rollForward(journal, &finished);
        count += rolled.renamed;
        if (!rolled.problem.isEmpty())
            problems << rolled.problem;
        for (const QByteArray& temp : rolled.kept)
            temps.removeAll(temp);
    }
    if (problem)
        *problem = problems.join(QStringLiteral("; "));
    int removed = 0;
    for (const QString& name : scratchNames)
        temps.append(dir + '/' + QFile::encodeName(name));
    for (const QByteArray& temp : temps) {
        if (::access(temp.constData(), F_OK) == 0 && ::unlink(temp.constData()) == 0)
            ++removed;
    }
    if (removed > 0)
        syncDirectory(dir);
    if (message) {
        QStringList parts;
        if (!finished.isEmpty())
            parts << QStringLiteral("finished the interrupted replacement of %1").arg(finished.join(QStringLiteral(", ")));
        if (removed > 0)
            parts << QStringLiteral("removed %1 file(s) left by an unfinished run").arg(removed);
        *message = parts.join(QStringLiteral("; "));
    }
    return count + removed;
}
