#pragma once
// One monitor per user: the first start holds a lock named after the program and listens on a
// local socket beside it; a later start finds the lock taken, asks the running one to come to
// the front and ends without making a window.
#include <functional>
#include <memory>

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class CSingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` names the lock and the socket ("Kestrel2005"); `dir` the per-user folder they live
    // in (empty: this user's private runtime folder).
    explicit CSingleInstance(QString name, QString dir = {}, QObject* parent = nullptr);
    ~CSingleInstance() override;

    enum class Result { First, Second, Error };
    // First: this process runs the monitor and now answers later starts. Second: another one
    // runs and has been asked to come forward (or could not be reached in time; it runs all the
    // same). Error: the folder is unusable; ErrorText says why.
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

    QString Name, Dir, Error;
    std::unique_ptr<QLockFile> Lock;
    std::unique_ptr<QLocalServer> Server;
};

// This user's private folder for the program's locks and sockets.
QString PrivateRuntimeDir(QString* error = nullptr);
