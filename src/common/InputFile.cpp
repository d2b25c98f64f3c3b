#include "common/InputFile.h"

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>

#include "common/TextFile.h"  // WidePath
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <system_error>

namespace kestrel {
namespace {

#ifdef _WIN32
using FileStat = struct _stat64;
#else
using FileStat = struct stat;
#endif

InputRefusal SystemRefusal(const std::string& path, int err) {
    InputRefusal r;
    r.Missing = err == ENOENT || err == ENOTDIR;
    r.Text = path + ": " + std::generic_category().message(err);
    return r;
}

// What the system says is at `path`, judged against the limit.
std::optional<InputRefusal> Judge(const std::string& path, const FileStat& st, uint64_t limit) {
    const auto mode = st.st_mode;
    if (S_ISREG(mode)) {
        const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
        if (size <= limit) return std::nullopt;
        return InputRefusal{false, path + ": is " + std::to_string(size) +
                                       " bytes, more than the " + SizeText(limit) +
                                       " such a file may be"};
    }
    const char* what = "is not a regular file";
    if (S_ISDIR(mode)) what = "is a folder, not a file";
#ifdef S_ISFIFO
    else if (S_ISFIFO(mode))
        what = "is a FIFO, not a file";
#endif
    else if (S_ISCHR(mode))
        what = "is a device, not a file";
#ifdef S_ISBLK
    else if (S_ISBLK(mode))
        what = "is a device, not a file";
#endif
#ifdef S_ISSOCK
    else if (S_ISSOCK(mode))
        what = "is a socket, not a file";
#endif
    return InputRefusal{false, path + ": " + what};
}

}  // namespace

std::string SizeText(uint64_t bytes) {
    constexpr uint64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10;
    if (bytes >= kGiB && bytes % kGiB == 0) return std::to_string(bytes / kGiB) + " GiB";
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + " bytes";
}

#ifdef _WIN32
std::optional<InputRefusal> CheckRegularFile(const std::string& path, uint64_t limit) {
    FileStat st{};
    if (_wstat64(WidePath(path).c_str(), &st) != 0) return SystemRefusal(path, errno);
    return Judge(path, st, limit);
}

FILE* OpenInputFile(const std::string& path, uint64_t limit, InputRefusal& refusal) {
    if (auto r = CheckRegularFile(path, limit)) {
        refusal = std::move(*r);
        return nullptr;
    }
    FILE* f = _wfopen(WidePath(path).c_str(), L"rb");
    if (!f) {
        refusal = SystemRefusal(path, errno);
        return nullptr;
    }
    FileStat st{};
    std::optional<InputRefusal> r;
    if (_fstat64(_fileno(f), &st) != 0)
        r = SystemRefusal(path, errno);
    else
        r = Judge(path, st, limit);
    if (r) {
        std::fclose(f);
        refusal = std::move(*r);
        return nullptr;
    }
    return f;
}
#else
std::optional<InputRefusal> CheckRegularFile(const std::string& path, uint64_t limit) {
    FileStat st{};
    if (stat(path.c_str(), &st) != 0) return SystemRefusal(path, errno);
    return Judge(path, st, limit);
}

FILE* OpenInputFile(const std::string& path, uint64_t limit, InputRefusal& refusal) {
    if (auto r = CheckRegularFile(path, limit)) {
        refusal = std::move(*r);
        return nullptr;
    }
    // Not waiting: a FIFO put in the file's place after the look opens at once (and is refused
    // below) instead of waiting for a writer that may never come.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        refusal = SystemRefusal(path, errno);
        return nullptr;
    }
    FileStat st{};
    std::optional<InputRefusal> r;
    if (fstat(fd, &st) != 0)
        r = SystemRefusal(path, errno);
    else
        r = Judge(path, st, limit);
    if (r) {
        close(fd);
        refusal = std::move(*r);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        const int err = errno;
        close(fd);
        refusal = SystemRefusal(path, err);
    }
    return f;
}
#endif

}  // namespace kestrel
