#include "app/SingleInstance.h"

#include <cerrno>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include "tracking/feed/FeedSocket.h"

namespace {
constexpr char kActivate[] = "ACTIVATE\n";
constexpr char kDone[] = "OK\n";
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

CSingleInstance::CSingleInstance(QString name, QString dir, QObject* parent)
    : QObject(parent), Name(std::move(name)), Dir(std::move(dir)) {}

CSingleInstance::~CSingleInstance() { Release(); }

CSingleInstance::Result CSingleInstance::Acquire() {
    if (Dir.isEmpty()) {
        Dir = PrivateRuntimeDir(&Error);
        if (Dir.isEmpty()) return Result::Error;
    }
    const QString base = Dir + u'/' + Name;
    const QString lockPath = base + QStringLiteral(".lock");
    Lock = std::make_unique<QLockFile>(lockPath);
    // A lock is stale only when its holder has died; a live monitor keeps it however long it runs.
    Lock->setStaleLockTime(0);
    if (Lock->tryLock(0)) return Serve(base);
    if (Lock->error() != QLockFile::LockFailedError) {
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
    if (Lock->getLockInfo(&pid, &host, &app) && pid > 0 &&
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
    if (Lock->tryLock(0)) return Serve(base);
    Error = QStringLiteral(
                "%1 is not a lock file of ours and cannot be replaced (a folder?): "
                "remove it")
                .arg(lockPath);
    Lock.reset();
    return Result::Error;
}

CSingleInstance::Result CSingleInstance::Serve(const QString& base) {
    Server = std::make_unique<QLocalServer>();
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(base + QStringLiteral(".sock"));  // left by a crashed run
    if (!Server->listen(base + QStringLiteral(".sock"))) {
        Error = Server->errorString();
        Server.reset();
        Lock->unlock();
        return Result::Error;
    }
    connect(Server.get(), &QLocalServer::newConnection, this, &CSingleInstance::OnConnection);
    return Result::First;
}

bool CSingleInstance::ContactFirst(const QString& base) {
    // The first start may hold the lock but not yet listen: try again for a while.
    QDeadlineTimer deadline(ContactMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(base + QStringLiteral(".sock"));
        if (socket.waitForConnected(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(kActivate);
            socket.waitForBytesWritten(1000);
            while (!socket.canReadLine() && socket.waitForReadyRead(static_cast<int>(
                                                std::max<qint64>(1, deadline.remainingTime())))) {
            }
            if (socket.canReadLine()) {
                const QByteArray reply = socket.readLine(64);
                if (reply == QByteArrayView(kDone)) return true;
            }
        }
        QThread::msleep(50);
    }
    return false;
}

void CSingleInstance::Release() {
    if (Server) {
        Server->close();
        Server.reset();
    }
    if (Lock) {
        Lock->unlock();
        Lock.reset();
    }
}

void CSingleInstance::OnConnection() {
    while (QLocalSocket* client = Server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            // Only the one request is understood; anything else is dropped with the client.
            while (client->canReadLine()) {
                QByteArray line = client->readLine(64);
                if (line == kActivate) {
                    client->write(kDone);
                    client->flush();  // out before whatever the activation does next
                    if (OnActivate) OnActivate();
                } else {
                    client->disconnectFromServer();
                    return;
                }
            }
            if (client->bytesAvailable() > 64) client->disconnectFromServer();
        });
    }
}
