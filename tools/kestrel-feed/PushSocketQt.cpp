#include "kestrel-feed/PushSocket.h"

#include <QWebSocket>

namespace kestrel::feed::kabu {

struct PushSocket::Impl {
    QWebSocket Socket{QString(), QWebSocketProtocol::VersionLatest};
    bool CloseFrame = false;
    bool Done = false;
};

PushSocket::PushSocket(QObject* parent) : QObject(parent), D(std::make_unique<Impl>()) {
    QWebSocket& ws = D->Socket;
    connect(&ws, &QWebSocket::connected, this, &PushSocket::Opened);
    connect(&ws, &QWebSocket::textMessageReceived, this, &PushSocket::Frame);
    // Only a close frame from the other side comes this way; a cut connection closes without
    // one, and Qt reports the normal close code for both.
    connect(&ws, &QWebSocket::aboutToClose, this, [this] { D->CloseFrame = true; });
    connect(&ws, &QWebSocket::disconnected, this, [this] {
        if (D->Done) return;
        D->Done = true;
        QWebSocket& s = D->Socket;
        emit Closed(
            D->CloseFrame,
            D->CloseFrame ? s.closeCode() : QWebSocketProtocol::CloseCodeAbnormalDisconnection,
            s.errorString());
    });
}

PushSocket::~PushSocket() { Abort(); }

void PushSocket::Open(const QUrl& url) {
    // No pings: the app does not answer them, and a client that waits for a pong drops.
    D->Socket.open(url);
}

void PushSocket::Abort() {
    if (D->Done) return;
    D->Done = true;
    D->Socket.disconnect(this);
    D->Socket.abort();
}

}  // namespace kestrel::feed::kabu
