#include "kestrel-feed/PushSocket.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <windows.h>
#include <winhttp.h>

namespace kestrel::feed::kabu {

namespace {

// WinHTTP's own words for its errors (12001…12192 come from winhttp.dll), the system's for
// the rest.
QString ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE from = nullptr;
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
        from = GetModuleHandleW(L"winhttp.dll");
        if (from) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    const DWORD n =
        FormatMessageW(flags, from, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s =
        n && text ? QString::fromWCharArray(text, static_cast<int>(n)).trimmed() : QString();
    if (text) LocalFree(text);
    const QString number = QStringLiteral("error %1").arg(code);
    return s.isEmpty() ? number : s + QStringLiteral(" (") + number + QLatin1Char(')');
}

}  // namespace

// The connection lives on a thread of its own, in WinHTTP's blocking calls; what it learns is
// posted to the socket's own thread. The handles are shared so that Abort, on the socket's
// thread, can close them under a blocked receive, and the thread may outlive the socket by the
// moment it takes to notice.
struct PushSocket::Impl {
    struct Shared {
        std::mutex M;
        std::condition_variable Ended;
        bool Aborted = false;  // set under M: nothing is posted after it
        bool Finished = false;
        HINTERNET Session = nullptr, Connect = nullptr, Request = nullptr, Ws = nullptr;
    };
    std::shared_ptr<Shared> S = std::make_shared<Shared>();
    std::thread Thread;
    bool Aborted = false;  // on the socket's thread: a signal already on its way is dropped

    static void Close(HINTERNET& h) {
        if (h) WinHttpCloseHandle(h);
        h = nullptr;
    }
};

PushSocket::PushSocket(QObject* parent) : QObject(parent), D(std::make_unique<Impl>()) {}

PushSocket::~PushSocket() { Abort(); }

void PushSocket::Open(const QUrl& url) {
    if (D->Thread.joinable()) return;
    const bool secure = url.scheme() == QLatin1String("wss");
    const std::wstring host = url.host().toStdWString();
    const auto port = static_cast<INTERNET_PORT>(url.port(secure ? 443 : 80));
    QString target = url.path(QUrl::FullyEncoded);
    if (target.isEmpty()) target = QStringLiteral("/");
    if (url.hasQuery()) target += QLatin1Char('?') + url.query(QUrl::FullyEncoded);
    const std::wstring path = target.toStdWString();
    std::shared_ptr<Impl::Shared> s = D->S;

    // Runs `what` on the socket's thread, unless the socket was aborted.
    auto post = [this, s](auto what) {
        std::lock_guard<std::mutex> lock(s->M);
        if (s->Aborted) return;
        QMetaObject::invokeMethod(
            this,
            [this, what] {
                if (!D->Aborted) what();
            },
            Qt::QueuedConnection);
    };

    D->Thread = std::thread([s, host, port, path, secure, post, this] {
        QString failed;
        auto fail = [&failed](const char* step) {
            failed = QString::fromLatin1(step) + QStringLiteral(": ") + ErrorText(GetLastError());
        };
        // Each handle is kept where Abort can close it; a socket aborted meanwhile stops here.
        auto keep = [&s](HINTERNET Impl::Shared::*slot, HINTERNET h) {
            std::lock_guard<std::mutex> lock(s->M);
            if (h && s->Aborted) {
                WinHttpCloseHandle(h);
                return HINTERNET(nullptr);
            }
            (*s).*slot = h;
            return h;
        };
        HINTERNET connect = nullptr, request = nullptr, ws = nullptr;
        HINTERNET session = keep(&Impl::Shared::Session,
                                 WinHttpOpen(L"Kestrel", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            fail("WinHttpOpen");
        } else {
            // The handshake is bounded like any request; the connection itself then waits
            // for frames as long as it stays open (the app sends none over the lunch break).
            WinHttpSetTimeouts(session, 10'000, 10'000, 10'000, 10'000);
            connect = keep(&Impl::Shared::Connect, WinHttpConnect(session, host.c_str(), port, 0));
            if (!connect) fail("WinHttpConnect");
        }
        if (connect) {
            request = keep(
                &Impl::Shared::Request,
                WinHttpOpenRequest(connect, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
            if (!request) fail("WinHttpOpenRequest");
        }
        if (request) {
            DWORD status = 0, size = sizeof status;
            if (!WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
                fail("WinHttpSetOption");
            else if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0,
                                         0))
                fail("WinHttpSendRequest");
            else if (!WinHttpReceiveResponse(request, nullptr))
                fail("WinHttpReceiveResponse");
            else if (!WinHttpQueryHeaders(
                         request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
                fail("WinHttpQueryHeaders");
            else if (status != HTTP_STATUS_SWITCH_PROTOCOLS)
                failed =
                    QStringLiteral("the server answered HTTP %1, not an upgrade to a WebSocket")
                        .arg(status);
            else if (!(ws = keep(&Impl::Shared::Ws, WinHttpWebSocketCompleteUpgrade(request, 0))))
                fail("WinHttpWebSocketCompleteUpgrade");
        }
        if (ws) {
            // Frames wait as long as the connection stays open (0: no time-out).
            DWORD noLimit = 0;
            WinHttpSetOption(ws, WINHTTP_OPTION_RECEIVE_TIMEOUT, &noLimit, sizeof noLimit);
        }
        bool closeFrame = false;
        int closeCode = 0;
        if (ws) {
            post([this] { emit Opened(); });
            std::string message;
            char buffer[16 * 1024];
            for (;;) {
                DWORD got = 0;
                WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
                const DWORD rc = WinHttpWebSocketReceive(ws, buffer, sizeof buffer, &got, &type);
                if (rc != NO_ERROR) {
                    failed = QStringLiteral("WinHttpWebSocketReceive: ") + ErrorText(rc);
                    break;
                }
                if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
                    USHORT code = 0;
                    DWORD reasonSize = 0;
                    char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH];
                    closeFrame = true;
                    closeCode = WinHttpWebSocketQueryCloseStatus(ws, &code, reason, sizeof reason,
                                                                 &reasonSize) == NO_ERROR
                                    ? code
                                    : 1005;  // a close frame without a status
                    break;
                }
                if (type != WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE &&
                    type != WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE) {
                    message.clear();  // binary frames mean nothing to the feed
                    continue;
                }
                message.append(buffer, got);
                if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
                    QString text =
                        QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
                    message.clear();
                    post([this, text] { emit Frame(text); });
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(s->M);
            Impl::Close(s->Ws);
            Impl::Close(s->Request);
            Impl::Close(s->Connect);
            Impl::Close(s->Session);
        }
        if (failed.isEmpty() && !closeFrame) failed = QStringLiteral("the connection was cut");
        post([this, closeFrame, closeCode, failed] {
            D->Aborted = true;  // the one Closed
            emit Closed(closeFrame, closeFrame ? closeCode : 1006, failed);
        });
        std::lock_guard<std::mutex> lock(s->M);
        s->Finished = true;
        s->Ended.notify_all();
    });
}

void PushSocket::Abort() {
    D->Aborted = true;
    if (!D->Thread.joinable()) return;
    std::shared_ptr<Impl::Shared> s = D->S;
    {
        std::unique_lock<std::mutex> lock(s->M);
        s->Aborted = true;
        // Closing the handles ends a call blocked on them; a receive ends with an error.
        if (s->Ws)
            WinHttpWebSocketShutdown(s->Ws, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
        Impl::Close(s->Ws);
        Impl::Close(s->Request);
        Impl::Close(s->Connect);
        Impl::Close(s->Session);
        // A thread still inside a call that does not end on a closed handle is let go: it
        // holds its own share of the handles and posts nothing more.
        s->Ended.wait_for(lock, std::chrono::seconds(2), [&] { return s->Finished; });
    }
    if (s->Finished)
        D->Thread.join();
    else
        D->Thread.detach();
}

}  // namespace kestrel::feed::kabu
