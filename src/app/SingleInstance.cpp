#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

namespace {
constexpr char kActivate[] = "ACTIVATE\n";
constexpr char kDone[] = "OK\n";
}  // namespace

CSingleInstance::CSingleInstance(QString name, QString dir, QObject* parent)
    : QObject(parent), Name(std::move(name)), Dir(std::move(dir)) {}

CSingleInstance::~CSingleInstance() { Release(); }

CSingleInstance::Result CSingleInstance::Serve(const QString& base) {
    Server = std::make_unique<QLocalServer>();
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(base + QStringLiteral(".sock"));  // left by a crashed run
    if (!Server->listen(base + QStringLiteral(".sock"))) {
        Error = Server->errorString();
        Server.reset();
        Lock.reset();
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
    Lock.reset();
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
