#include "common/FileSaveOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "common/TextFile.h"

namespace kestrel {
namespace {

std::error_code Errno(int err) { return {err, std::generic_category()}; }
std::error_code LastErrno() { return Errno(errno); }

std::atomic<FileSaveOps*>& CurrentSlot() {
    static FileSaveOps system;
    static std::atomic<FileSaveOps*> slot{&system};
    return slot;
}

#ifdef _WIN32
// The C runtime's calls set errno, MoveFileExW only the Win32 code: bring both to errno, so a
// message reads the same whichever step failed.
int ErrnoOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        default:
            return EIO;
    }
}
#else
// The rename is only lasting once the folder's own entry is on disk. Best effort: the new file
// is in place already, and some file systems cannot sync a folder.
void SyncFolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}
#endif

}  // namespace

#ifdef _WIN32
std::error_code FileSaveOps::CreateNew(const std::string& path, const std::string&, int& fd) {
    fd = _wopen(WidePath(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
    return fd < 0 ? LastErrno() : std::error_code();
}

std::error_code FileSaveOps::Write(int fd, const char* data, size_t size, size_t& written) {
    int n = _write(fd, data, static_cast<unsigned>(std::min<size_t>(size, size_t{1} << 30)));
    if (n < 0) return LastErrno();
    written = static_cast<size_t>(n);
    return {};
}

std::error_code FileSaveOps::Sync(int fd) {
    return _commit(fd) != 0 ? LastErrno() : std::error_code();
}
std::error_code FileSaveOps::Close(int fd) {
    return _close(fd) != 0 ? LastErrno() : std::error_code();
}

std::error_code FileSaveOps::Rename(const std::string& from, const std::string& to) {
    if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    return Errno(ErrnoOf(GetLastError()));
}

std::error_code FileSaveOps::Remove(const std::string& path) {
    return _wunlink(WidePath(path).c_str()) != 0 ? LastErrno() : std::error_code();
}
#else
std::error_code FileSaveOps::CreateNew(const std::string& path, const std::string& modeOf,
                                       int& fd) {
    // O_EXCL already refuses a link at the name; O_NOFOLLOW says so once more.
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return LastErrno();
    // A file that is replaced keeps its permissions, so a private file stays private. Where
    // the file system has none to give, the new file simply keeps 0644 less the umask.
    struct stat st {};
    if (stat(modeOf.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, st.st_mode & 0777);
    return {};
}

std::error_code FileSaveOps::Write(int fd, const char* data, size_t size, size_t& written) {
    ssize_t n;
    do n = ::write(fd, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return LastErrno();
    written = static_cast<size_t>(n);
    return {};
}

std::error_code FileSaveOps::Sync(int fd) {
    return ::fsync(fd) != 0 ? LastErrno() : std::error_code();
}

std::error_code FileSaveOps::Close(int fd) {
    // On Linux the descriptor is gone even when close reports EINTR; what was written is
    // already synced, so that is no failure of the save.
    return ::close(fd) != 0 && errno != EINTR ? LastErrno() : std::error_code();
}

std::error_code FileSaveOps::Rename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return LastErrno();
    SyncFolderOf(to);
    return {};
}

std::error_code FileSaveOps::Remove(const std::string& path) {
    return ::unlink(path.c_str()) != 0 ? LastErrno() : std::error_code();
}
#endif

FileSaveOps& CurrentSaveOps() { return *CurrentSlot().load(); }

ScopedSaveOps::ScopedSaveOps(FileSaveOps& ops) : previous_(CurrentSlot().exchange(&ops)) {}
ScopedSaveOps::~ScopedSaveOps() { CurrentSlot().store(previous_); }

}  // namespace kestrel
