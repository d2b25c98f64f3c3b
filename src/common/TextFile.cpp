#include "TextFile.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Codec.h"

namespace kestrel {

#ifdef _WIN32
// Paths are UTF-8 in the program; Windows takes them as UTF-16, whatever the ANSI code page.
std::wstring WidePath(const std::string& path) {
    int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), w.data(), n);
    return w;
}

namespace {
FILE* OpenFile(const std::string& path, const wchar_t* mode) { return _wfopen(WidePath(path).c_str(), mode); }
bool StatPath(const std::string& path, struct _stat64& st) { return _wstat64(WidePath(path).c_str(), &st) == 0; }
int FlushToDisk(FILE* f) { return _commit(_fileno(f)); }
int RenameOver(const std::string& from, const std::string& to) {
    return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : (errno = EACCES, -1);
}
void RemoveFile(const std::string& path) { _wremove(WidePath(path).c_str()); }
long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }
}  // namespace
#define KESTREL_STAT struct _stat64
#define KESTREL_FSTAT _fstat64
#define KESTREL_MODE(m) L##m
#else
namespace {
FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
bool StatPath(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }
int FlushToDisk(FILE* f) { return fsync(fileno(f)); }
int RenameOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
void RemoveFile(const std::string& path) { std::remove(path.c_str()); }
long ProcessId() { return static_cast<long>(getpid()); }
}  // namespace
#define KESTREL_STAT struct stat
#define KESTREL_FSTAT fstat
#define KESTREL_MODE(m) m
#endif

namespace {
// Calls `line(begin, length)` for each line of `text`, in order: lines end at CR LF, LF or CR; a
// last line without an end mark counts, an empty text has none.
template <typename F>
void ForEachLine(std::string_view text, F&& line) {
    const size_t n = text.size();
    size_t start = 0;
    while (start < n) {
        size_t stop = start;
        while (stop < n && text[stop] != '\r' && text[stop] != '\n') ++stop;
        line(start, stop - start);
        if (stop < n && text[stop] == '\r' && stop + 1 < n && text[stop + 1] == '\n') ++stop;
        start = stop + 1;
    }
}
}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    ForEachLine(text, [&](size_t begin, size_t length) { lines.emplace_back(text.substr(begin, length)); });
    return lines;
}

void CTextLines::push_back(std::string_view line) {
    Text.append(line);
    Starts.push_back(Text.size());
}

void CTextLines::clear() {
    Text.clear();
    Text.shrink_to_fit();
    Starts.assign(1, 0);
    Starts.shrink_to_fit();
}

void CTextLines::Assign(std::string text) {
    clear();
    Text = std::move(text);
    // Close the lines up in place, dropping the line ends: a line only ever moves towards the
    // front, over ends already passed.
    char* d = Text.data();
    size_t w = 0;
    ForEachLine(Text, [&](size_t begin, size_t length) {
        if (w != begin) std::memmove(d + w, d + begin, length);
        w += length;
        Starts.push_back(w);
    });
    Text.resize(w);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
    bytes.clear();
    FILE* f = OpenFile(path, KESTREL_MODE("rb"));
    if (!f) return false;
    KESTREL_STAT st {};
    if (KESTREL_FSTAT(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    // Straight into one buffer of the file's size (it is read to its end whatever the size
    // said), so a large file is neither copied nor grown step by step.
    size_t have = 0;
    bytes.resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : size_t{1} << 16);
    for (;;) {
        if (have == bytes.size()) bytes.resize(bytes.size() * 2);
        size_t got = std::fread(bytes.data() + have, 1, bytes.size() - have, f);
        have += got;
        if (got == 0) break;
    }
    bytes.resize(have);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) bytes.clear();
    return ok;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) return false;
    lines = SplitLines(Cp932ToUtf8(bytes));
    return true;
}

bool ReadLines(const std::string& path, CTextLines& lines) {
    lines.clear();
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) return false;
    if (IsAscii(bytes)) {
        lines.Assign(std::move(bytes));  // the same in UTF-8: no second copy
        return true;
    }
    std::string text = Cp932ToUtf8(bytes);
    std::string().swap(bytes);
    lines.Assign(std::move(text));
    return true;
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
    // Write beside the target and rename over it, so the old file stays whole until the new
    // one is complete on disk.
    std::string tmp = path + ".tmp" + std::to_string(ProcessId());
    FILE* f = OpenFile(tmp, KESTREL_MODE("wb"));
    if (!f) throw std::runtime_error(path + ": " + std::strerror(errno));
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int err = errno;
    ok = (std::fflush(f) == 0) && ok;
    if (ok) ok = FlushToDisk(f) == 0 || errno == EINVAL;
    if (!ok) err = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && RenameOver(tmp, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        RemoveFile(tmp);
        throw std::runtime_error(path + ": " + std::strerror(err));
    }
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    size_t total = 0;
    for (const auto& l : lines) total += l.size() + 2;
    text.reserve(total);
    for (const auto& l : lines) {
        text += l;
        text += "\r\n";
    }
    WriteFileBytes(path, Utf8ToCp932(text));
}

bool FileExists(const std::string& path) {
    KESTREL_STAT st {};
    return StatPath(path, st) && S_ISREG(st.st_mode);
}

}  // namespace kestrel
