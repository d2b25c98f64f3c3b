#pragma once
// The PUSH connection of the kabuステーション API: a WebSocket that only ever receives text
// frames. Where Qt has Qt WebSockets it carries the connection; on Windows it is WinHTTP's own
// WebSocket client, which is part of the system (the Windows Qt built for MinGW comes without
// Qt WebSockets). Either way the framing, the handshake and the close are the library's.
#include <memory>

#include <QObject>
#include <QString>
#include <QUrl>

namespace kestrel::feed::kabu {

class PushSocket : public QObject {
    Q_OBJECT
public:
    explicit PushSocket(QObject* parent = nullptr);
    ~PushSocket() override;

    // Once per socket.
    void Open(const QUrl& url);
    // Ends the connection at once; no signal comes after it.
    void Abort();

signals:
    void Opened();
    void Frame(const QString& text);
    // Once, when the connection ends or does not open. `closeFrame`: the other side closed it
    // with a close frame, whose code is `code`; otherwise `reason` says what failed.
    void Closed(bool closeFrame, int code, const QString& reason);

private:
    struct Impl;
    std::unique_ptr<Impl> D;
};

}  // namespace kestrel::feed::kabu
