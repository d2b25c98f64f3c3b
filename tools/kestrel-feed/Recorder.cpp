#include "kestrel-feed/Recorder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/FileSaveOps.h"
#include "common/IniFile.h"
#include "common/LocalTime.h"
#include "common/TextFile.h"

namespace kestrel::feed {

namespace {

// The files of the monitor's working folder that a recorded day needs beside its quotes: the
// watch list (which issues the replay follows), the master list (their names) and the
// price-limit table. The settings come too, switched to the replay.
const char* const kLists[] = {"監視銘柄.txt", "銘柄情報.txt", "株式売買値幅.txt"};
constexpr const char* kSettings = "KESTREL.INI";

std::string Reason(int err) { return std::strerror(err); }

// A column as the comma text can carry it within one line: a line break or another control
// character inside a value would end the line early when it is read back.
std::string Clean(std::string s) {
    for (char& ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = ' ';
    return s;
}

bool HasFigures(const IssueRef& r) {
    return r.HasBase || !r.MarginClass.empty() || !r.PrevClose.empty() || !r.OpenPrice.empty() ||
           !r.LoanRatio.empty() || !r.YearHigh.empty();
}

#ifdef _WIN32
// The POSIX calls the recording is written with, in the C runtime's and the system's terms.
long long FileSize(int fd) {
    struct _stat64 st {};
    return _fstat64(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}
long long ReadAt(int fd, char* buf, size_t size, long long at) {
    if (_lseeki64(fd, at, SEEK_SET) < 0) return -1;
    return _read(fd, buf, static_cast<unsigned>(size));
}
int Truncate(int fd, long long size) {
    const errno_t err = _chsize_s(fd, size);
    if (err == 0) return 0;
    errno = err;
    return -1;
}

bool MakeFolder(const std::string& path, bool, std::string& why) {
    if (_wmkdir(WidePath(path).c_str()) == 0) return true;
    int err = errno;
    struct _stat64 st {};
    if (err == EEXIST && _wstat64(WidePath(path).c_str(), &st) == 0) {
        if (st.st_mode & _S_IFDIR) return true;
        why = path + ": exists and is no folder";
        return false;
    }
    why = path + ": " + Reason(err);
    return false;
}

// The volume and the file number, which name a folder whatever path leads to it.
bool FolderId(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return ok;
}

bool SameFolder(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return FolderId(a, ia) && FolderId(b, ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}
#else
long long FileSize(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}
long long ReadAt(int fd, char* buf, size_t size, long long at) {
    ssize_t n;
    do n = pread(fd, buf, size, at);
    while (n < 0 && errno == EINTR);
    return n;
}
int Truncate(int fd, long long size) { return ftruncate(fd, size); }

// Makes the folder when missing; true when it is there afterwards. A link in its place is
// taken only for the folder the trader named, never for a day's folder we make ourselves.
bool MakeFolder(const std::string& path, bool followLink, std::string& why) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    int err = errno;
    struct stat st {};
    if (err == EEXIST && (followLink ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        why = path + ": exists and is no folder";
        return false;
    }
    why = path + ": " + Reason(err);
    return false;
}

bool SameFolder(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}
#endif

}  // namespace

long long CutTornLine(int fd) {
    const long long size = FileSize(fd);
    if (size < 0) return -1;
    // Look for the last LF from the end, a block at a time.
    std::vector<char> block(64 * 1024);
    long long end = size, keep = 0;
    while (end > 0) {
        const long long start = std::max(0LL, end - static_cast<long long>(block.size()));
        const size_t want = static_cast<size_t>(end - start);
        const long long n = ReadAt(fd, block.data(), want, start);
        if (n < 0) return -1;
        if (static_cast<size_t>(n) != want) {
            errno = EIO;  // the file shrank under us
            return -1;
        }
        auto lf =
            std::find(block.rbegin() + static_cast<long>(block.size() - want), block.rend(), '\n');
        if (lf != block.rend()) {
            keep = start + (block.rend() - lf);
            break;
        }
        end = start;
    }
    if (keep == size) return 0;
    if (Truncate(fd, keep) != 0) return -1;
    return size - keep;
}

std::function<std::string()> LocalDayClock() {
    using Clock = std::chrono::steady_clock;
    return [last = Clock::time_point{}, day = std::string()]() mutable {
        const auto now = Clock::now();
        if (day.empty() || now - last >= std::chrono::seconds(1)) {
            const CLocalNow t = LocalNow();
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.Year, t.Month, t.Day);
            day = buf;
            last = now;
        }
        return day;
    };
}

Recorder::Recorder(RecorderOptions opt, LogFn log)
    : Opt(std::move(opt)), Log(std::move(log)), Ops(Opt.Ops ? Opt.Ops : &CurrentSaveOps()) {
    if (!Opt.Today) Opt.Today = LocalDayClock();
    // (Appended rather than assigned: GCC 12 at -O3 takes the assignment of a literal to an
    // empty string for an overlapping copy, -Wrestrict.)
    if (Opt.ListsFrom.empty()) Opt.ListsFrom.push_back('.');
}

Recorder::~Recorder() { CloseDay(); }

bool Recorder::Start() {
    Said = false;
    return OpenDay(Opt.Today());
}

bool Recorder::OpenDay(const std::string& day) {
    Day = day;
    Folder = Opt.Dir + "/" + day;
    std::string why;
    if (!MakeFolder(Opt.Dir, true, why) || !MakeFolder(Folder, false, why)) {
        Stop(why);
        return false;
    }
    // The monitor writes its resume files into the working folder's log/ when it replays the day.
    MakeFolder(Folder + "/log", false, why);
    if (!OpenFile(Quotes, kQuotes) || !OpenFile(Base, kBase)) return false;
    // A restart on the same day goes on after the lines already there.
    std::vector<std::string> lines;
    ReadLines(Base.Path, lines);
    for (const auto& l : lines)
        if (BaseRows.emplace(FirstChars(l, 4), l).second) BaseOrder.push_back(FirstChars(l, 4));
    On = true;
    CopyLists();
    if (On) Log("recording into " + Folder);
    return On;
}

bool Recorder::OpenFile(File& f, const std::string& name) {
    f.Path = Folder + "/" + name;
#ifdef _WIN32
    // Others may read the file while it grows, but no one else may write it: two feeds
    // recording into one day would mix their lines, and one would cut the other's line in the
    // middle of its writing. A link planted at the name is not followed.
    HANDLE h = CreateFileW(WidePath(f.Path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        Stop(f.Path + ": " +
             (err == ERROR_SHARING_VIOLATION
                  ? std::string("another feed records into it")
                  : "cannot be opened (system error " + std::to_string(err) + ")"));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(h);
        Stop(f.Path + ": is no plain file");
        return false;
    }
    f.Fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (f.Fd < 0) {
        CloseHandle(h);
        Stop(f.Path + ": " + Reason(errno));
        return false;
    }
#else
    // Never through a link planted at the name, and never held up by a pipe put there.
    f.Fd = open(f.Path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0644);
    if (f.Fd < 0) {
        Stop(f.Path + ": " + Reason(errno));
        return false;
    }
    struct stat st {};
    if (fstat(f.Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Stop(f.Path + ": is no plain file");
        return false;
    }
    // Two feeds recording into one day would mix their lines, and one would cut the other's
    // line in the middle of its writing.
    if (flock(f.Fd, LOCK_EX | LOCK_NB) != 0) {
        Stop(f.Path + ": " +
             (errno == EWOULDBLOCK ? std::string("another feed records into it") : Reason(errno)));
        return false;
    }
#endif
    // A line a killed feed left half written would be replayed as garbage: it goes.
    long long cut = CutTornLine(f.Fd);
    if (cut < 0) {
        Stop(f.Path + ": " + Reason(errno));
        return false;
    }
    if (cut > 0) Log(f.Path + ": cut " + std::to_string(cut) + " bytes of a torn last line");
    f.Size = FileSize(f.Fd);
    if (f.Size < 0) {
        Stop(f.Path + ": " + Reason(errno));
        return false;
    }
    return true;
}

void Recorder::CopyLists() {
    if (SameFolder(Opt.ListsFrom, Folder)) return;
    std::vector<std::string> names(std::begin(kLists), std::end(kLists));
    names.push_back(kSettings);
    for (const auto& name : names) {
        const std::string from = Opt.ListsFrom + "/" + name;
        std::string bytes;
        if (!ReadFileBytes(from, bytes)) {
            // A day recorded without its settings replays with the defaults; no word for that.
            if (name != kSettings)
                Log(from + ": cannot be read; the recorded day keeps what it has of it");
            continue;
        }
        // The recorded folder is opened to replay it: the settings' live switch is turned off.
        if (name == kSettings) bytes = IniFile::SpliceValue(bytes, "DEBUG", "flg", "1");
        try {
            WriteFileBytes(Folder + "/" + name, bytes, *Ops);
        } catch (const std::exception& e) {
            Stop(e.what());
            return;
        }
    }
}

void Recorder::CloseDay() {
    for (File* f : {&Quotes, &Base}) {
        if (f->Fd < 0) continue;
        Ops->Sync(f->Fd);
        Ops->Close(f->Fd);
        f->Fd = -1;
    }
    BaseRows.clear();
    BaseOrder.clear();
}

void Recorder::Stop(const std::string& why) {
    CloseDay();
    On = false;
    if (Said) return;
    Said = true;
    Log(why + ": the recording stops; the feed goes on serving");
}

bool Recorder::Append(File& f, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        size_t n = 0;
        std::error_code ec = Ops->Write(f.Fd, bytes.data() + done, bytes.size() - done, n);
        if (!ec && n == 0) ec = std::make_error_code(std::errc::io_error);
        if (ec) {
            // What went of the line is taken back, so the file ends with a whole line; should
            // that fail too, the next start cuts it. (Held in a variable: glibc's fortified
            // builds warn on a dropped result even through a cast to void.)
            if (done > 0 || n > 0) {
                [[maybe_unused]] const int cut = Truncate(f.Fd, f.Size);
            }
            Stop(f.Path + ": " + ec.message());
            return false;
        }
        done += n;
    }
    f.Size += static_cast<long long>(bytes.size());
    return true;
}

// std.csv written anew through the safe save (a kill leaves the old file or the new one,
// never half of either), then opened again to go on appending.
bool Recorder::RewriteBase() {
    std::string bytes;
    for (const auto& key : BaseOrder) {
        bytes += Utf8ToCp932(BaseRows[key]);
        bytes += "\r\n";
    }
    Ops->Close(Base.Fd);
    Base.Fd = -1;
    try {
        WriteFileBytes(Base.Path, bytes, *Ops);
    } catch (const std::exception& e) {
        Stop(e.what());
        return false;
    }
    return OpenFile(Base, kBase);
}

void Recorder::Record(const Issue& s) {
    if (!On || !s.Traded) return;
    if (std::string day = Opt.Today(); day != Day) {
        CloseDay();
        if (!OpenDay(day)) return;
    }
    // The reference figures as served, before the issue's first line needs them; figures that
    // change later (a margin class that comes after the first trade) replace them, so the
    // replay reads what the monitor read at the end.
    if (HasFigures(s.Ref)) {
        const IssueRef& r = s.Ref;
        const std::string key = FirstChars(s.Code, 4);
        std::string row =
            JoinCommaText({Clean(s.Code), Clean(r.MarginClass), Clean(r.PrevClose),
                           Clean(r.OpenPrice), "0", Clean(r.LoanRatio), Clean(r.YearHigh)});
        auto it = BaseRows.find(key);
        if (it == BaseRows.end()) {
            Line = Utf8ToCp932(row);
            Line += "\r\n";
            if (!Append(Base, Line)) return;
            BaseRows.emplace(key, std::move(row));
            BaseOrder.push_back(key);
        } else if (it->second != row) {
            it->second = std::move(row);
            if (!RewriteBase()) return;
        }
    }
    Line = Utf8ToCp932(JoinCommaText(
        {Clean(s.TimeText), Clean(s.Code), std::to_string(s.Price), std::to_string(s.Volume)}));
    Line += "\r\n";
    Append(Quotes, Line);
}

}  // namespace kestrel::feed
