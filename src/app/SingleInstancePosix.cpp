// The guard on POSIX systems: a lock file in this user's private runtime folder.
#include <cerrno>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QLockFile>

#include "app/SingleInstance.h"
#include "tracking/feed/FeedSocket.h"

namespace {
struct CFileLock : CInstanceLock {
    explicit CFileLock(const QString& path) : File(path) {}
    ~CFileLock() override { File.unlock(); }
    QLockFile File;
};
}  // namespace

QString PrivateRuntimeDir(QString* error) {
    std::string dir = kestrel::feed::FeedSocketDir();
    std::string why;
    if (!kestrel::feed::PrepareSocketDir(dir, why)) {
        if (error) *error = QString::fromStdString(why);
        return {};
    }
    return QString::fromStdString(dir);
}

CSingleInstance::Result CSingleInstance::Acquire() {
    if (Dir.isEmpty()) {
        Dir = PrivateRuntimeDir(&Error);
        if (Dir.isEmpty()) return Result::Error;
    }
    const QString base = Dir + u'/' + Name;
    const QString lockPath = base + QStringLiteral(".lock");
    auto file = std::make_unique<CFileLock>(lockPath);
    QLockFile& lock = file->File;
    Lock = std::move(file);
    // A lock is stale only when its holder has died; a live monitor keeps it however long it runs.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) return Serve(base);
    if (lock.error() != QLockFile::LockFailedError) {
        Error = QStringLiteral("cannot use the lock file %1").arg(lockPath);
        Lock.reset();
        return Result::Error;
    }
    // Only a running monitor that answers counts as one.
    if (ContactFirst(base)) {
        Lock.reset();
        return Result::Second;
    }
    qint64 pid = 0;
    QString host, app;
    if (lock.getLockInfo(&pid, &host, &app) && pid > 0 &&
        (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
        Error = QStringLiteral("another monitor (process %1) holds %2 but does not answer")
                    .arg(pid)
                    .arg(lockPath);
        Lock.reset();
        return Result::Error;
    }
    // Empty, garbage, a link, or the lock of a run that is gone: no monitor's. Take it over,
    // removing a link as a link, never what it points to; a folder stays.
    const QByteArray native = QFile::encodeName(lockPath);
    struct stat st {};
    if (lstat(native.constData(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        unlink(native.constData());
    if (lock.tryLock(0)) return Serve(base);
    Error = QStringLiteral(
                "%1 is not a lock file of ours and cannot be replaced (a folder?): "
                "remove it")
                .arg(lockPath);
    Lock.reset();
    return Result::Error;
}
