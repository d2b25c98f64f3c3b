#include "kestrel-backtest/StudyFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "common/FileSaveOps.h"
#include "common/TextFile.h"

namespace kestrel::study {
namespace {

std::filesystem::path FsPath(const std::string& path) {
#ifdef _WIN32
    return std::filesystem::path(WidePath(path));
#else
    return std::filesystem::path(path);
#endif
}

#ifdef _WIN32
std::string WindowsReason(DWORD code) {
    return std::system_category().message(static_cast<int>(code));
}
#endif

// What a thing that is not a regular file is, in words.
std::string KindOf(unsigned mode) {
    if (S_ISDIR(mode)) return "a folder";
#ifndef _WIN32
    if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
#else
    if (S_ISCHR(mode)) return "a device";
#endif
    return "not a regular file";
}

// Counts lines as the text reading splits them, over blocks read in turn.
struct CLineCounter {
    CInputSize& Size;
    bool AfterCr = false;
    uint64_t Current = 0;  // bytes of the line being read
    void EndLine() {
        ++Size.Lines;
        Size.LongestLine = std::max(Size.LongestLine, Current);
        Current = 0;
    }
    void Add(const char* data, size_t n) {
        Size.Bytes += n;
        for (size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (static_cast<unsigned char>(c) >= 0x80) Size.Ascii = false;
            if (c == '\n') {
                if (!AfterCr) EndLine();  // after a CR it is the end of that same line
            } else if (c == '\r') {
                EndLine();
            } else {
                ++Current;
            }
            AfterCr = c == '\r';
        }
    }
    void Finish() {
        if (Current > 0) EndLine();
    }
};

#ifndef _WIN32
// Linux keeps its memory figures in /proc and /sys.

uint64_t ReadNumberFile(const std::string& path, bool& ok) {
    std::ifstream in(path);
    std::string word;
    ok = false;
    if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return 0;  // "max", or nothing to read: no limit there
    ok = true;
    try {
        return std::stoull(word);
    } catch (const std::exception&) {
        return UINT64_MAX;
    }
}

// kB figure of a "Name:   1234 kB" line.
bool ReadKbLine(const std::string& path, const std::string& name, uint64_t& bytes) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size(), name) != 0) continue;
        unsigned long long kb = 0;
        if (std::sscanf(line.c_str() + name.size(), "%llu", &kb) != 1) return false;
        bytes = static_cast<uint64_t>(kb) * 1024;
        return true;
    }
    return false;
}

// The room a control group leaves: its limit less what is in use, at its own level and every
// level above (each limit holds for everything below it).
uint64_t ControlGroupRoom() {
    uint64_t room = UINT64_MAX;
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        const bool v1 = controllers == "memory" || controllers.find("memory,") == 0 ||
                        controllers.find(",memory") != std::string::npos;
        if (!v1 && !v2) continue;
        const std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
        const char* limitName = v2 ? "/memory.max" : "/memory.limit_in_bytes";
        const char* usedName = v2 ? "/memory.current" : "/memory.usage_in_bytes";
        for (;;) {
            const std::string dir = root + (path == "/" ? "" : path);
            bool haveLimit = false, haveUsed = false;
            const uint64_t limit = ReadNumberFile(dir + limitName, haveLimit);
            const uint64_t used = ReadNumberFile(dir + usedName, haveUsed);
            // Version 1 says "no limit" with a number near 2^63.
            if (haveLimit && limit < (uint64_t{1} << 62))
                room = std::min(room, haveUsed && used < limit ? limit - used : 0);
            if (path.empty() || path == "/") break;
            const size_t slash = path.rfind('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
    return room;
}

#endif

}  // namespace

std::string Reason(int err) { return std::generic_category().message(err); }

bool RemoveTree(const std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::remove_all(FsPath(path), ec);
    if (ec) error = path + ": could not be removed: " + ec.message();
    return !ec;
}

uint64_t FolderBytes(const std::string& path) {
    std::error_code ec;
    uint64_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FsPath(path), ec)) {
        std::error_code sizeError;
        if (!entry.is_symlink(sizeError) && entry.is_regular_file(sizeError)) {
            const uintmax_t size = entry.file_size(sizeError);
            if (!sizeError) bytes += size;
        }
    }
    return bytes;
}

COutFile::COutFile(std::string path, std::string shown)
    : Path(std::move(path)), Shown(std::move(shown)) {
    if (auto ec = CurrentSaveOps().CreateNew(Path, std::string(), Fd)) {
        Fd = -1;
        Fail("cannot be made", ec.value());
    }
}

COutFile::~COutFile() {
    if (Fd >= 0) CurrentSaveOps().Close(Fd);
}

void COutFile::Fail(const char* what, int err) {
    throw std::runtime_error(Shown + ": " + what + ": " + Reason(err));
}

void CByteBudget::Charge(uint64_t bytes, const std::string& shown) {
    const uint64_t before = Used.fetch_add(bytes);
    if (before + bytes > Limit || before + bytes < before)
        throw std::runtime_error(shown + ": the study's files would pass the limit of " +
                                 std::to_string(Limit) + " bytes (--max-output); " +
                                 std::to_string(before) + " bytes were written");
}

namespace {
// The block the disk is written in around the cache, and the stage that gathers whole blocks.
constexpr size_t kBlock = 4096;
constexpr size_t kStage = size_t{8} << 20;
}  // namespace

void COutFile::CFreeStage::operator()(char* p) const { std::free(p); }

void COutFile::WriteOut(const char* data, size_t size) {
    std::string_view rest(data, size);
    while (!rest.empty()) {
        size_t written = 0;
        if (auto ec = CurrentSaveOps().Write(Fd, rest.data(), rest.size(), written))
            Fail("could not be written", ec.value());
        if (written == 0 || written > rest.size()) Fail("could not be written", EIO);
        rest.remove_prefix(written);
    }
}

void COutFile::Flush() {
    Put(Buffer);
    Buffer.clear();
}

void COutFile::Write(std::string_view bytes) {
    Flush();
    Put(bytes);
}

void COutFile::Put(std::string_view bytes) {
    if (Budget && !bytes.empty()) Budget->Charge(bytes.size(), Shown);
    if (!Stage) return WriteOut(bytes.data(), bytes.size());
    for (std::string_view rest = bytes; !rest.empty();) {
        const size_t n = std::min(rest.size(), kStage - Staged);
        std::memcpy(Stage.get() + Staged, rest.data(), n);
        Staged += n;
        rest.remove_prefix(n);
        if (Staged == kStage) WriteStage();
        if (!Stage) {  // the system took no more around its cache: the rest goes through it
            WriteOut(rest.data(), rest.size());
            break;
        }
    }
}

void COutFile::WriteStage() {
    const size_t whole = Staged / kBlock * kBlock;
    size_t done = 0;
    while (done < whole) {
        size_t written = 0;
        auto ec = CurrentSaveOps().Write(Fd, Stage.get() + done, whole - done, written);
        // A file system may refuse a write around the cache only when it comes: the same
        // bytes then go through the cache.
        if (ec == std::errc::invalid_argument && done == 0) break;
        if (ec) Fail("could not be written", ec.value());
        if (written == 0 || written > whole - done) Fail("could not be written", EIO);
        done += written;
        if (written % kBlock != 0) break;  // the file's end is off the blocks from here on
    }
    std::memmove(Stage.get(), Stage.get() + done, Staged - done);
    Staged -= done;
    if (done < whole) LeaveStage();
}

void COutFile::SyncSoFar() {
    auto ec = CurrentSaveOps().Sync(Fd);
    if (ec && ec != std::errc::invalid_argument) Fail("could not be written", ec.value());
}

void COutFile::Close(bool sync) {
    Flush();
    if (Stage) {
        WriteStage();
        LeaveStage();
    }
    if (sync) SyncSoFar();
    const int fd = Fd;
    Fd = -1;
    if (auto ec = CurrentSaveOps().Close(fd)) Fail("could not be written", ec.value());
}

#if defined(_WIN32) || !defined(O_DIRECT)
bool COutFile::WriteAroundCache() { return false; }

void COutFile::LeaveStage() { Stage.reset(); }
#else
bool COutFile::WriteAroundCache() {
    if (Stage) return true;
    // Direct writes start where a block starts: a file already written off the blocks stays
    // as it is.
    const off_t at = lseek(Fd, 0, SEEK_CUR);
    if (at < 0 || at % static_cast<off_t>(kBlock) != 0) return false;
    const int flags = fcntl(Fd, F_GETFL);
    if (flags < 0 || fcntl(Fd, F_SETFL, flags | O_DIRECT) != 0) return false;
    void* stage = nullptr;
    if (posix_memalign(&stage, kBlock, kStage) != 0) {
        fcntl(Fd, F_SETFL, flags);
        return false;
    }
    Stage.reset(static_cast<char*>(stage));
    Staged = 0;
    return true;
}

void COutFile::LeaveStage() {
    if (!Stage) return;
    const int flags = fcntl(Fd, F_GETFL);
    if (flags < 0 || fcntl(Fd, F_SETFL, flags & ~O_DIRECT) != 0)
        Fail("could not be written", errno);
    const std::unique_ptr<char, CFreeStage> stage = std::move(Stage);
    const size_t staged = std::exchange(Staged, 0);
    WriteOut(stage.get(), staged);
}
#endif

#ifdef _WIN32

bool EntryExists(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FolderIdentity(const std::string& path, std::string& error) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = WindowsReason(GetLastError());
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(h, &info);
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) {
        error = WindowsReason(code);
        return {};
    }
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
           ":" + std::to_string(info.nFileIndexLow);
}

std::string MakePrivateFolder(const std::string& parent, std::string& error) {
    std::mt19937_64 random(std::random_device{}() ^ GetTickCount64() ^ GetCurrentProcessId());
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = parent + "\\.study-";
        for (int i = 0; i < 12; ++i) path += kDigits[random() % 36];
        if (CreateDirectoryW(WidePath(path).c_str(), nullptr)) return path;
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) continue;
        error = parent + ": the study's working folder cannot be made: " + WindowsReason(code);
        return {};
    }
    error = parent + ": the study's working folder cannot be made: every name tried is taken";
    return {};
}

bool MakeFolder(const std::string& path, std::string& error) {
    if (CreateDirectoryW(WidePath(path).c_str(), nullptr)) return true;
    const DWORD code = GetLastError();
    const DWORD a = GetFileAttributesW(WidePath(path).c_str());
    if (code == ERROR_ALREADY_EXISTS && a != INVALID_FILE_ATTRIBUTES &&
        (a & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    error = path + ": cannot be made: " + WindowsReason(code);
    return false;
}

void AppendFile(const std::string& path, const std::string& shown, COutFile& to) {
    const int fd = _wopen(WidePath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) throw std::runtime_error(shown + ": could not be read back: " + Reason(errno));
    char block[1 << 16];
    for (;;) {
        const int n = _read(fd, block, sizeof block);
        if (n < 0) {
            const int err = errno;
            _close(fd);
            throw std::runtime_error(shown + ": could not be read back: " + Reason(err));
        }
        if (n == 0) break;
        to.Buffer.append(block, static_cast<size_t>(n));
        to.FlushWhenFull();
    }
    _close(fd);
}

bool MeasureInput(const std::string& path, CInputSize& size, std::string& error) {
    size = CInputSize{};
    const int fd = _wopen(WidePath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        error = path + ": cannot be read: " + Reason(errno);
        return false;
    }
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": " + (S_ISDIR(st.st_mode) ? "a folder" : KindOf(st.st_mode)) +
                ", not a file the study can read";
        _close(fd);
        return false;
    }
    CLineCounter counter{size};
    std::vector<char> block(size_t{1} << 20);
    for (;;) {
        const int n = _read(fd, block.data(), static_cast<unsigned>(block.size()));
        if (n < 0) {
            error = path + ": cannot be read: " + Reason(errno);
            _close(fd);
            return false;
        }
        if (n == 0) break;
        counter.Add(block.data(), static_cast<size_t>(n));
    }
    _close(fd);
    counter.Finish();
    return true;
}

CMemoryRoom AvailableMemory() {
    CMemoryRoom room;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) {
        room.Available = status.ullAvailPhys;
        room.AddressSpace = status.ullAvailVirtual;
    }
    return room;
}

#else

bool EntryExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string FolderIdentity(const std::string& path, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = Reason(errno);
        return {};
    }
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string MakePrivateFolder(const std::string& parent, std::string& error) {
    std::string name = parent + "/.study-XXXXXX";
    // mkdtemp makes it with mode 0700, under a name it picks where nothing was.
    if (!mkdtemp(name.data())) {
        error = parent + ": the study's working folder cannot be made: " + Reason(errno);
        return {};
    }
    return name;
}

bool MakeFolder(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    error = path + ": cannot be made: " + Reason(err);
    return false;
}

void AppendFile(const std::string& path, const std::string& shown, COutFile& to) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(shown + ": could not be read back: " + Reason(errno));
    char block[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            throw std::runtime_error(shown + ": could not be read back: " + Reason(err));
        }
        if (n == 0) break;
        to.Buffer.append(block, static_cast<size_t>(n));
        to.FlushWhenFull();
    }
    close(fd);
}

bool MeasureInput(const std::string& path, CInputSize& size, std::string& error) {
    size = CInputSize{};
    // Not blocking: a pipe at the name opens at once instead of waiting for a writer, and is
    // then refused for what it is.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot be read: " + Reason(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": " + KindOf(st.st_mode) + ", not a file the study can read";
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    CLineCounter counter{size};
    std::vector<char> block(size_t{1} << 20);
    for (;;) {
        const ssize_t n = read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": cannot be read: " + Reason(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        counter.Add(block.data(), static_cast<size_t>(n));
    }
    close(fd);
    counter.Finish();
    return true;
}

CMemoryRoom AvailableMemory() {
    CMemoryRoom room;
    uint64_t bytes = 0;
    if (ReadKbLine("/proc/meminfo", "MemAvailable:", bytes)) {
        room.Available = bytes;
    } else {
        const long pages = sysconf(_SC_AVPHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0)
            room.Available = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
    }
    room.Available = std::min(room.Available, ControlGroupRoom());
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        uint64_t used = 0;
        ReadKbLine("/proc/self/status", "VmSize:", used);
        const uint64_t cap = static_cast<uint64_t>(limit.rlim_cur);
        room.AddressSpace = cap > used ? cap - used : 0;
    }
    return room;
}

#endif

}  // namespace kestrel::study
