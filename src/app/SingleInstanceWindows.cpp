// The guard on Windows: the named mutex "Kestrel2005" of this session. The local socket (a named
// pipe there) only brings the first window forward.
#include <windows.h>

#include "app/SingleInstance.h"

namespace {
struct CNamedMutex : CInstanceLock {
    explicit CNamedMutex(HANDLE handle) : Handle(handle) {}
    ~CNamedMutex() override { CloseHandle(Handle); }
    HANDLE Handle;
};
}  // namespace

// Pipes and mutexes have names, not folders: there is nothing to prepare.
QString PrivateRuntimeDir(QString*) { return {}; }

CSingleInstance::Result CSingleInstance::Acquire() {
    // A folder given (tests) only scopes the names.
    const QString base = Dir.isEmpty() ? Name : Dir + u'/' + Name;
    const std::wstring mutexName =
        QString(base).replace(u'\\', u'/').replace(u'/', u'_').toStdWString();
    HANDLE handle = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (!handle) {
        Error = QStringLiteral("cannot make the mutex %1 (error %2)")
                    .arg(QString::fromStdWString(mutexName))
                    .arg(GetLastError());
        return Result::Error;
    }
    const bool held = GetLastError() == ERROR_ALREADY_EXISTS;
    Lock = std::make_unique<CNamedMutex>(handle);
    if (!held) return Serve(base);
    Lock.reset();
    // Only a running monitor that answers counts as one.
    if (ContactFirst(base)) return Result::Second;
    Error = QStringLiteral("another monitor holds %1 but does not answer")
                .arg(QString::fromStdWString(mutexName));
    return Result::Error;
}
