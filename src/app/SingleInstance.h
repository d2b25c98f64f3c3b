#pragma once
// One monitor per user: the first start holds a lock named after the program (a lock file on
// POSIX systems, a named mutex on Windows: one small file each) and listens on a local socket
// beside it; a later start finds the lock taken, asks the running one to come to the front and
// ends without making a window.
#include <functional>
#include <memory>

#include <QLocalServer>
#include <QObject>
#include <QString>

// What holds the lock, whatever the platform's kind of lock; letting go of it frees the lock.
struct CInstanceLock {
    virtual ~CInstanceLock() = default;
};

class CSingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` names the lock and the socket ("Kestrel2005"); `dir` the per-user folder they live
    // in (empty: this user's private runtime folder).
    explicit CSingleInstance(QString name, QString dir = {}, QObject* parent = nullptr);
    ~CSingleInstance() override;

    enum class Result { First, Second, Error };
    // First: this process runs the monitor and now answers later starts (a lock file that no
    // running monitor holds, empty or garbage or a link, is taken over). Second: another one runs
    // and answered the request to come forward. Error: the folder or the lock is unusable, or a
    // running holder of the lock does not answer; ErrorText says why.
    Result Acquire();
    QString ErrorText() const { return Error; }
    // Lets go of the lock and the socket (also done by the destructor).
    void Release();

    // Called on the first instance, on its event loop, for every later start.
    std::function<void()> OnActivate;
    // How long a later start tries to reach the first one.
    int ContactMs = 3000;

private:
    void OnConnection();
    Result Serve(const QString& base);
    // True when a running first instance answered the request to come forward.
    bool ContactFirst(const QString& base);

    QString Name, Dir, Error;
    std::unique_ptr<CInstanceLock> Lock;
    std::unique_ptr<QLocalServer> Server;
};

// This user's private folder for the program's locks and sockets.
QString PrivateRuntimeDir(QString* error = nullptr);
