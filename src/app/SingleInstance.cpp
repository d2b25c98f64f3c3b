#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>

#include "FeedSocket.h"

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
    Lock = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
    // A lock is stale only when its holder has died; a live monitor keeps it however long it runs.
    Lock->setStaleLockTime(0);
    if (Lock->tryLock(0)) {
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
    if (Lock->error() != QLockFile::LockFailedError) {
        Error = QStringLiteral("cannot use the lock file %1").arg(base + QStringLiteral(".lock"));
        return Result::Error;
    }
    Lock.reset();
    // The first start may hold the lock but not yet listen: try again for a while.
    QDeadlineTimer deadline(ContactMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(base + QStringLiteral(".sock"));
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(kActivate);
            socket.waitForBytesWritten(1000);
            socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
            return Result::Second;
        }
        QThread::msleep(50);
    }
    return Result::Second;
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
