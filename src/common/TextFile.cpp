#include "common/TextFile.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/Codec.h"
#include "common/FileSaveOps.h"
#include "common/ZeroPages.h"

namespace kestrel {

#ifdef _WIN32
// Paths are UTF-8 in the program; Windows takes them as UTF-16, whatever the ANSI code page.
std::wstring WidePath(const std::string& path) {
    int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), w.data(), n);
    return w;
}

namespace {
bool StatPath(const std::string& path, struct _stat64& st) {
    return _wstat64(WidePath(path).c_str(), &st) == 0;
}
unsigned long ProcessId() { return static_cast<unsigned long>(GetCurrentProcessId()); }
constexpr const char* kFolderMarks = "/\\";

std::string Utf8Name(const wchar_t* name) {
    int n = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 1), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, name, -1, s.data(), n, nullptr, nullptr);
    s.pop_back();
    return s;
}

// True while a process of that id runs: its temporary may be a save still going on.
bool ProcessRuns(unsigned long long pid) {
    if (pid == 0 || pid > 0xFFFFFFFFull) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    bool runs = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return runs;
}
}  // namespace
#define KESTREL_STAT struct _stat64
#define KESTREL_FSTAT _fstat64
#else
namespace {
bool StatPath(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
constexpr const char* kFolderMarks = "/";

bool ProcessRuns(unsigned long long pid) {
    if (pid == 0 || pid > static_cast<unsigned long long>(INT_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}
}  // namespace
#define KESTREL_STAT struct stat
#define KESTREL_FSTAT fstat
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
    ForEachLine(
        text, [&](size_t begin, size_t length) { lines.emplace_back(text.substr(begin, length)); });
    return lines;
}

void CTextLines::PushStart(uint64_t start) {
    while ((start >> 32) > Wraps.size()) Wraps.push_back(Low.size());
    Low.push_back(static_cast<uint32_t>(start));
}

uint64_t CTextLines::HighPart(size_t i) const {
    return static_cast<uint64_t>(std::upper_bound(Wraps.begin(), Wraps.end(), i) - Wraps.begin());
}

void CTextLines::push_back(std::string_view line) {
    Text.append(line);
    PushStart(Text.size());
}

void CTextLines::clear() {
    Parts.reset();
    PartFirst.reset();
    PartCap = FreedParts = 0;
    PartCount.store(0, std::memory_order_relaxed);
    PartLines.store(0, std::memory_order_relaxed);
    Text.clear();
    Text.shrink_to_fit();
    Low.assign(1, 0);
    Low.shrink_to_fit();
    Wraps.clear();
    Released.store(0, std::memory_order_relaxed);
    ReleasedBytes = 0;
}

namespace {
// Marks the CR and LF bytes among the eight of `w` (first in memory = lowest): the lowest mark
// is exact, marks above it may be false.
inline uint64_t LineEndMarks(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    const uint64_t lf = w ^ (kOnes * '\n'), cr = w ^ (kOnes * '\r');
    return (((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs;
}

// Splits `text` as ForEachLine does and closes the lines up in place, dropping the line ends:
// a line only ever moves towards the front, over ends already passed. `end(offset)` is called
// with the end of each line kept; lines longer than maxLine are passed over and counted. The
// bytes go eight at a time, the line end found in the word: this is the longest step of reading
// a day of quotes.
template <typename F>
size_t CloseUpLines(std::string& text, size_t maxLine, F&& end) {
    char* d = text.data();
    const size_t n = text.size();
    size_t r = 0, w = 0, passed = 0;
    while (r < n) {
        const size_t begin = r, at = w;
        for (uint64_t word; r + 8 <= n;) {
            std::memcpy(&word, d + r, 8);
            const uint64_t marks = LineEndMarks(word);
            // A whole word written back only where it cannot reach bytes not read yet.
            if (std::endian::native != std::endian::little || (marks != 0 && r - w < 8)) break;
            if (r != w) std::memcpy(d + w, &word, 8);
            if (marks == 0) {
                r += 8, w += 8;
            } else {
                const size_t k = static_cast<size_t>(std::countr_zero(marks)) / 8;
                r += k, w += k;
                break;
            }
        }
        while (r < n && d[r] != '\r' && d[r] != '\n') d[w++] = d[r++];
        if (r - begin > maxLine) {
            ++passed;
            w = at;
        } else {
            end(w);
        }
        if (r < n && d[r] == '\r' && r + 1 < n && d[r + 1] == '\n') ++r;
        ++r;  // past the line end (or past the text)
    }
    text.resize(w);
    return passed;
}
}  // namespace

size_t CTextLines::Assign(std::string text, size_t maxLine) {
    clear();
    Text = std::move(text);
    const size_t passed = CloseUpLines(Text, maxLine, [this](size_t end) { PushStart(end); });
    if (passed > 0) Text.shrink_to_fit();
    return passed;
}

void CTextLines::BeginParts(size_t maxParts) {
    clear();
    PartCap = maxParts;
    Parts = std::make_unique<std::unique_ptr<Part>[]>(maxParts);
    PartFirst = std::make_unique<size_t[]>(maxParts);
}

size_t CTextLines::AppendPart(std::string text, size_t maxLine) {
    auto part = std::make_unique<Part>();
    part->Text = std::move(text);
    const size_t passed = CloseUpLines(
        part->Text, maxLine, [&](size_t end) { part->Ends.push_back(static_cast<uint32_t>(end)); });
    const size_t count = part->Ends.size() - 1;
    if (count == 0) return passed;
    const size_t n = PartCount.load(std::memory_order_relaxed);
    if (!Parts || n >= PartCap) throw std::length_error("more parts of a text than announced");
    if (part->Text.size() > UINT32_MAX) throw std::length_error("a part of a text past 4 GiB");
    const size_t first = PartLines.load(std::memory_order_relaxed);
    Parts[n] = std::move(part);
    PartFirst[n] = first;
    PartCount.store(n + 1, std::memory_order_release);
    PartLines.store(first + count, std::memory_order_release);
    return passed;
}

std::string_view CTextLines::PartLine(size_t i) const {
    const size_t n = PartCount.load(std::memory_order_acquire);
    // A thread reads the lines in turn: its last part, or the one after, mostly holds the line.
    thread_local struct {
        const CTextLines* Lines = nullptr;
        size_t Part = 0;
    } last;
    size_t p = last.Part;
    const auto holds = [&](size_t q) {
        return q < n && PartFirst[q] <= i && (q + 1 == n || i < PartFirst[q + 1]);
    };
    if (last.Lines != this || !holds(p)) {
        if (last.Lines == this && holds(p + 1))
            ++p;
        else
            p = static_cast<size_t>(std::upper_bound(PartFirst.get(), PartFirst.get() + n, i) -
                                    PartFirst.get()) -
                1;
        last.Lines = this;
        last.Part = p;
    }
    const Part& part = *Parts[p];
    const size_t k = i - PartFirst[p];
    return std::string_view(part.Text.data() + part.Ends[k], part.Ends[k + 1] - part.Ends[k]);
}

void CTextLines::ReleaseParts(size_t line) {
    const size_t n = PartCount.load(std::memory_order_acquire);
    while (FreedParts < n) {
        const size_t end = FreedParts + 1 < n ? PartFirst[FreedParts + 1]
                                              : PartLines.load(std::memory_order_acquire);
        if (end > line) break;
        Parts[FreedParts++].reset();
    }
}

void CTextLines::Release(size_t line) {
    line = std::min(line, size());
    if (line <= Released.load(std::memory_order_relaxed)) return;
    // Readers of the lines from here on never look at the ones before: mark them first.
    Released.store(line, std::memory_order_relaxed);
    if (Parts) return ReleaseParts(line);
    const uint64_t end = Start(line);
    const size_t page = CZeroPages::PageSize();
    const uintptr_t base = reinterpret_cast<uintptr_t>(Text.data());
    const uintptr_t from = (base + ReleasedBytes + page - 1) / page * page;
    const uintptr_t to = (base + end) / page * page;
    if (to > from) CZeroPages::Discard(reinterpret_cast<void*>(from), to - from);
    if (to > base) ReleasedBytes = std::max<uint64_t>(ReleasedBytes, to - base);
}

bool ReadFileBytes(const std::string& path, std::string& bytes, uint64_t limit,
                   InputRefusal* refusal) {
    bytes.clear();
    InputRefusal why;
    FILE* f = OpenInputFile(path, limit, why);
    if (!f) {
        if (refusal) *refusal = std::move(why);
        return false;
    }
    KESTREL_STAT st{};
    const uint64_t stated = KESTREL_FSTAT(fileno(f), &st) == 0 && st.st_size > 0
                                ? static_cast<uint64_t>(st.st_size)
                                : 0;
    // Straight into one buffer of the file's size (it is read to its end whatever the size
    // said, but never past the limit), so a large file is neither copied nor grown step by step.
    const uint64_t most = limit < UINT64_MAX ? limit + 1 : limit;
    bool ok = true;
    try {
        size_t have = 0;
        bytes.resize(
            static_cast<size_t>(std::min<uint64_t>(stated > 0 ? stated + 1 : 1 << 16, most)));
        for (;;) {
            if (have == bytes.size()) {
                if (have >= most) {
                    why.Text =
                        path + ": is more than the " + SizeText(limit) + " such a file may be";
                    ok = false;
                    break;
                }
                bytes.resize(static_cast<size_t>(std::min<uint64_t>(uint64_t{have} * 2, most)));
            }
            const size_t got = std::fread(bytes.data() + have, 1, bytes.size() - have, f);
            have += got;
            if (got == 0) break;
        }
        bytes.resize(have);
        if (ok && std::ferror(f)) {
            why.Text = path + ": " + std::generic_category().message(errno ? errno : EIO);
            ok = false;
        }
    } catch (const std::bad_alloc&) {
        why.Text = path + ": " + std::generic_category().message(ENOMEM);
        ok = false;
    }
    std::fclose(f);
    if (!ok) {
        std::string().swap(bytes);
        if (refusal) *refusal = std::move(why);
    }
    return ok;
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
    return ReadFileBytes(path, bytes, kMaxReplayFileBytes);
}

namespace {
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// Bytes of a text as UTF-8: as they are when the file's mark says UTF-8, otherwise CP932
// decoded. The decoder keeps no state from one character to the next, so a text cut at line
// ends decodes piece by piece to the same as whole.
std::string DecodeBytes(std::string bytes, ByteOrderMark mark) {
    if (mark == ByteOrderMark::ReadAsUtf8 || IsAscii(bytes)) return bytes;  // no second copy
    std::string text = Cp932ToUtf8(bytes);
    std::string().swap(bytes);
    return text;
}

// The file's bytes as UTF-8 text: CP932 decoded, or after a byte-order mark as that says.
std::string DecodeText(std::string bytes, ByteOrderMark& mark) {
    mark = ByteOrderMark::None;
    if (bytes.size() >= kUtf8Mark.size() && std::string_view(bytes).substr(0, 3) == kUtf8Mark) {
        bytes.erase(0, kUtf8Mark.size());
        mark = IsValidUtf8(bytes) ? ByteOrderMark::ReadAsUtf8 : ByteOrderMark::ReadAsCp932;
    }
    return DecodeBytes(std::move(bytes), mark);
}

std::string ReadFailure(const std::string& path) {
    return path + ": " + std::generic_category().message(errno ? errno : EIO);
}

size_t LastLineEnd(std::string_view s) { return s.find_last_of("\r\n"); }

// Marks the bytes of `w` equal to `c`, exactly: the high bit of each such byte.
inline uint64_t ByteMarks(uint64_t w, char c) {
    constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t x = w ^ (0x0101010101010101ull * static_cast<unsigned char>(c));
    return ~(((x & kLows) + kLows) | x | kLows);
}

// How many lines ForEachLine finds in `text`: one at each LF, at each CR not followed by LF,
// and the last when it has no end mark.
size_t CountLines(std::string_view text) {
    const char* d = text.data();
    const size_t n = text.size();
    size_t lines = 0, i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (uint64_t w; i + 9 <= n; i += 8) {
            std::memcpy(&w, d + i, 8);
            const uint64_t lf = ByteMarks(w, '\n'), cr = ByteMarks(w, '\r');
            // An LF one byte on, this word's or the next one's first.
            const uint64_t lfNext = lf >> 8 | (d[i + 8] == '\n' ? uint64_t{0x80} << 56 : 0);
            // The marks counted by a multiply that adds up the bytes (no population count
            // instruction is assumed of the processor): at most 16 of them.
            const uint64_t ends = (lf >> 7) + ((cr & ~lfNext) >> 7);
            lines += static_cast<size_t>(ends * 0x0101010101010101ull >> 56);
        }
    }
    for (; i < n; ++i)
        if (d[i] == '\n' || (d[i] == '\r' && (i + 1 == n || d[i + 1] != '\n'))) ++lines;
    if (n > 0 && d[n - 1] != '\n' && d[n - 1] != '\r') ++lines;
    return lines;
}

// Whether a line of `text` is longer than `most` bytes: each window of most + 1 bytes from a
// line's start must hold a line end, found from the window's far side (lines are short, so
// few bytes are looked at).
bool HasLineLongerThan(std::string_view text, size_t most) {
    size_t start = 0;
    while (text.size() - start > most) {
        const size_t end = LastLineEnd(text.substr(start, most + 1));
        if (end == std::string_view::npos) return true;
        start += end + 1;
    }
    return false;
}

// The UTF-8 after a byte-order mark, checked a block at a time: a character cut at the block's
// end waits for the next.
bool IsValidUtf8File(FILE* f, size_t block, int& error) {
    std::string bytes;
    for (;;) {
        const size_t have = bytes.size();
        bytes.resize(have + block);
        const size_t got = std::fread(bytes.data() + have, 1, block, f);
        bytes.resize(have + got);
        if (got == 0) {
            if (std::ferror(f)) error = errno ? errno : EIO;
            return IsValidUtf8(bytes);
        }
        // The last character's start: at most three bytes back for a whole one.
        size_t cut = bytes.size();
        for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
            const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back) cut = bytes.size() - back;
            break;
        }
        if (!IsValidUtf8(std::string_view(bytes).substr(0, cut))) return false;
        bytes.erase(0, cut);
    }
}
}  // namespace

// The bytes of the text in pieces that each end at a line end (or at the text's end), about a
// block each. A line that runs on past kMaxTextLineBytes bytes without an end is passed over
// and counted as it is read, never held: a line of CP932 is at least as long in UTF-8.
class CTextFileReader::Pieces {
public:
    Pieces(FILE* f, uint64_t bytes, size_t block) : File(f), Left(bytes), Block(block) {}

    // The next piece; false at the end of the text or when a read failed (Error).
    bool Next(std::string& piece, size_t& longLines) {
        for (;;) {
            if (InLong) {
                const size_t end = Buf.find_first_of("\r\n");
                if (end == std::string::npos) {
                    Buf.clear();
                    Looked = 0;
                    if (!Fill()) {
                        InLong = false;
                        return false;
                    }
                    continue;
                }
                InLong = false;
                const bool cr = Buf[end] == '\r';
                Buf.erase(0, end + 1);
                Looked = 0;
                if (cr) TakeLfAfterCr();
                continue;
            }
            // Only the bytes added since the last look can hold a line end.
            size_t end = LastLineEnd(std::string_view(Buf).substr(Looked));
            if (end != std::string::npos) {
                end += Looked;
                std::string rest(Buf, end + 1);
                Buf.resize(end + 1);
                piece = std::move(Buf);
                Buf = std::move(rest);
                Looked = 0;
                if (piece.back() == '\r') TakeLfAfterCr();
                return true;
            }
            Looked = Buf.size();
            if (Buf.size() > kMaxTextLineBytes) {
                ++longLines;
                InLong = true;
                Buf.clear();
                Looked = 0;
                continue;
            }
            if (!Fill()) {
                if (Buf.empty()) return false;
                piece = std::move(Buf);
                Buf.clear();
                Looked = 0;
                return true;
            }
        }
    }

    uint64_t Read = 0;  // bytes read so far
    int Error = 0;      // errno of a read that failed

private:
    // A CR just ended a line: an LF right after it is part of the same line end.
    void TakeLfAfterCr() {
        if (Buf.empty())
            LfAfterCr = true;
        else if (Buf[0] == '\n')
            Buf.erase(0, 1);
    }

    bool Fill() {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(Block, Left));
        if (want == 0) return false;
        const size_t have = Buf.size();
        Buf.resize(have + want);
        const size_t got = std::fread(Buf.data() + have, 1, want, File);
        Buf.resize(have + got);
        Left -= got;
        Read += got;
        if (got < want) {
            Left = 0;
            if (std::ferror(File)) Error = errno ? errno : EIO;
        }
        if (got == 0) return false;
        if (LfAfterCr && have == 0 && Buf[0] == '\n') Buf.erase(0, 1);
        LfAfterCr = false;
        return true;
    }

    FILE* File;
    uint64_t Left;
    size_t Block;
    std::string Buf;    // starts at a line's start
    size_t Looked = 0;  // the bytes of Buf already looked through for a line end (none there)
    bool InLong = false, LfAfterCr = false;
};

CTextFileReader::CTextFileReader(size_t blockBytes) : Block(std::max<size_t>(blockBytes, 1)) {}

CTextFileReader::~CTextFileReader() { Close(); }

void CTextFileReader::Close() {
    Reading.reset();
    if (File) std::fclose(File);
    File = nullptr;
}

size_t CTextFileReader::MaxParts() const {
    // Every piece but the last takes at least one read of a whole block.
    return static_cast<size_t>(Size / Block) + 2;
}

bool CTextFileReader::Open(const std::string& path, uint64_t limit, TextFileReport& report) {
    Close();
    report = TextFileReport{};
    Path = path;
    Mark = ByteOrderMark::None;
    Begin = Size = 0;
    Lines = 0;
    Failed.clear();
    File = OpenInputFile(path, limit, report.Refusal);
    if (!File) return false;
    const auto refuse = [&](std::string why) {
        report = TextFileReport{};
        report.Refusal.Text = std::move(why);
        Close();
        return false;
    };
    char head[3] = {};
    if (std::fread(head, 1, 3, File) == 3 && std::string_view(head, 3) == kUtf8Mark) {
        Begin = 3;
        int error = 0;
        const bool utf8 = IsValidUtf8File(File, Block, error);
        if (error) return refuse(ReadFailure(path));
        Mark = utf8 ? ByteOrderMark::ReadAsUtf8 : ByteOrderMark::ReadAsCp932;
    }
    if (std::ferror(File) || std::fseek(File, static_cast<long>(Begin), SEEK_SET) != 0)
        return refuse(ReadFailure(path));

    // The look: lines counted, and long ones found, the way ReadLines finds them. Only a piece
    // with a line of more than a third of the most (a CP932 byte is at most three in UTF-8) is
    // decoded to measure its lines.
    const uint64_t most = limit < UINT64_MAX ? limit + 1 : limit;
    Pieces look(File, most - Begin, Block);
    std::string piece;
    size_t longLines = 0;
    while (look.Next(piece, longLines)) {
        const bool same = Mark == ByteOrderMark::ReadAsUtf8 || IsAscii(piece);
        if (!HasLineLongerThan(piece, same ? kMaxTextLineBytes : kMaxTextLineBytes / 3)) {
            Lines += CountLines(piece);
            continue;
        }
        const std::string text = DecodeBytes(std::move(piece), Mark);
        ForEachLine(text, [&](size_t, size_t length) {
            if (length > kMaxTextLineBytes)
                ++longLines;
            else
                ++Lines;
        });
    }
    if (look.Error) {
        errno = look.Error;
        return refuse(ReadFailure(path));
    }
    if (Begin + look.Read > limit)
        return refuse(path + ": is more than the " + SizeText(limit) + " such a file may be");
    Size = look.Read;
    report.Mark = Mark;
    report.LongLines = longLines;
    if (std::fseek(File, static_cast<long>(Begin), SEEK_SET) != 0) return refuse(ReadFailure(path));
    Reading = std::make_unique<Pieces>(File, Size, Block);
    return true;
}

bool CTextFileReader::ReadBlock(CTextLines& lines) {
    if (!Reading) return false;
    std::string piece;
    size_t longLines = 0;
    if (!Reading->Next(piece, longLines)) {
        if (Reading->Error) {
            errno = Reading->Error;
            Failed = ReadFailure(Path);
        }
        Close();
        return false;
    }
    lines.AppendPart(DecodeBytes(std::move(piece), Mark), kMaxTextLineBytes);
    return true;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, uint64_t limit,
               TextFileReport& report) {
    lines.clear();
    report = TextFileReport{};
    std::string bytes;
    if (!ReadFileBytes(path, bytes, limit, &report.Refusal)) return false;
    const std::string text = DecodeText(std::move(bytes), report.Mark);
    ForEachLine(text, [&](size_t begin, size_t length) {
        if (length > kMaxTextLineBytes)
            ++report.LongLines;
        else
            lines.emplace_back(std::string_view(text).substr(begin, length));
    });
    return true;
}

bool ReadLines(const std::string& path, CTextLines& lines, uint64_t limit, TextFileReport& report) {
    lines.clear();
    report = TextFileReport{};
    std::string bytes;
    if (!ReadFileBytes(path, bytes, limit, &report.Refusal)) return false;
    report.LongLines = lines.Assign(DecodeText(std::move(bytes), report.Mark), kMaxTextLineBytes);
    return true;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, size_t* longLines) {
    TextFileReport report;
    const bool read = ReadLines(path, lines, kMaxReplayFileBytes, report);
    if (longLines) *longLines = report.LongLines;
    return read;
}

bool ReadLines(const std::string& path, CTextLines& lines, size_t* longLines) {
    TextFileReport report;
    const bool read = ReadLines(path, lines, kMaxReplayFileBytes, report);
    if (longLines) *longLines = report.LongLines;
    return read;
}

std::string ByteOrderMarkNote(const std::string& file, ByteOrderMark mark) {
    if (mark == ByteOrderMark::None) return "";
    return "【" + file +
           "】は Shift-JIS のはずですが、先頭に UTF-8 のバイト順マーク (BOM) があります。" +
           (mark == ByteOrderMark::ReadAsUtf8
                ? "マークを除き、UTF-8 として読みました。"
                : "マークを除き、残りは UTF-8 として正しくないため Shift-JIS として読みました。");
}

namespace {

// A save writes to the target's name + ".tmp" + its process id + "-" + 12 random hex digits.
// Nobody can guess the name to lay a link there beforehand, and the create refuses anything
// already there anyway. Earlier builds used ".tmp" + the process id alone; that form is
// recognised too, so what a killed save of either kind left behind is cleared.
constexpr std::string_view kTmpMark = ".tmp";
constexpr size_t kRandomDigits = 12;

enum class TmpKind { None, Old, Current };

// Whether `name` is a temporary of ours for the target named `base`, and whose (its process id).
TmpKind TemporaryKind(std::string_view base, std::string_view name, unsigned long long& pid) {
    if (name.size() <= base.size() + kTmpMark.size() || name.substr(0, base.size()) != base ||
        name.substr(base.size(), kTmpMark.size()) != kTmpMark)
        return TmpKind::None;
    std::string_view rest = name.substr(base.size() + kTmpMark.size());
    size_t digits = 0;
    pid = 0;
    for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9'; ++digits)
        if (pid < ULLONG_MAX / 100) pid = pid * 10 + static_cast<unsigned>(rest[digits] - '0');
    if (digits == 0) return TmpKind::None;
    if (digits == rest.size()) return TmpKind::Old;
    rest.remove_prefix(digits);
    if (rest.size() != 1 + kRandomDigits || rest[0] != '-') return TmpKind::None;
    for (char c : rest.substr(1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return TmpKind::None;
    return TmpKind::Current;
}

// A temporary left by a save that is over. One whose writer still runs may be a save of the
// same file by another of our processes (the monitor and a backtest into the same folder), so
// it stays; no build writes the old form any more.
bool IsStaleTemporary(std::string_view base, std::string_view name) {
    unsigned long long pid = 0;
    switch (TemporaryKind(base, name, pid)) {
        case TmpKind::Old:
            return true;
        case TmpKind::Current:
            return !ProcessRuns(pid);
        default:
            return false;
    }
}

uint32_t Entropy() {
    try {
        return std::random_device{}();
    } catch (const std::exception&) {
        return 0;  // no source on this system: the clock and the process id must do
    }
}

std::string TemporaryName(const std::string& path) {
    thread_local std::mt19937_64 random = [] {
        auto now =
            static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        std::seed_seq seed{Entropy(), Entropy(), static_cast<uint32_t>(now),
                           static_cast<uint32_t>(now >> 32), static_cast<uint32_t>(ProcessId())};
        return std::mt19937_64(seed);
    }();
    static constexpr char kHex[] = "0123456789abcdef";
    uint64_t bits = random();
    std::string name = path + std::string(kTmpMark) + std::to_string(ProcessId()) + "-";
    for (size_t i = 0; i < kRandomDigits; ++i, bits >>= 4) name += kHex[bits & 15];
    return name;
}

#ifdef _WIN32
void RemoveStaleTemporaries(const std::string& folder, const std::string& base) {
    std::wstring prefix = WidePath(folder);
    if (!prefix.empty() && prefix.back() != L'/' && prefix.back() != L'\\') prefix += L'\\';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((prefix + WidePath(base) + L".tmp*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        // A folder (or a link to one) is never ours. A file link goes as the link itself.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (IsStaleTemporary(base, Utf8Name(entry.cFileName)))
            DeleteFileW((prefix + entry.cFileName).c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}
#else
void RemoveStaleTemporaries(const std::string& folder, const std::string& base) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* e = readdir(dir))
        if (IsStaleTemporary(base, e->d_name)) stale.emplace_back(e->d_name);
    // Looked at, never followed: a regular file of ours goes, a link with our name goes as the
    // link itself, anything else (a folder, a pipe, someone else's file) stays.
    for (const auto& name : stale) {
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_uid == geteuid()))
            unlinkat(fd, name.c_str(), 0);
    }
    closedir(dir);
}
#endif

[[noreturn]] void SaveFailed(const std::string& path, std::error_code ec) {
    throw std::runtime_error(path + ": " + ec.message());
}

std::error_code WriteAll(FileSaveOps& ops, int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        size_t written = 0;
        if (auto ec = ops.Write(fd, bytes.data(), bytes.size(), written)) return ec;
        // A write that takes nothing would loop for ever.
        if (written == 0 || written > bytes.size())
            return std::make_error_code(std::errc::io_error);
        bytes.remove_prefix(written);
    }
    return {};
}

}  // namespace

void WriteFileBytes(const std::string& path, std::string_view bytes) {
    WriteFileBytes(path, bytes, CurrentSaveOps());
}

void WriteFileBytes(const std::string& path, std::string_view bytes, FileSaveOps& ops) {
    size_t mark = path.find_last_of(kFolderMarks);
    std::string base = mark == std::string::npos ? path : path.substr(mark + 1);
    std::string folder = mark == std::string::npos ? "."
                         : mark == 0               ? path.substr(0, 1)
                                                   : path.substr(0, mark);
    if (!base.empty()) RemoveStaleTemporaries(folder, base);

    // Write beside the target and rename over it, so the old file stays whole until the new
    // one is complete on disk. A name taken already is tried again with other random digits.
    std::string tmp;
    int fd = -1;
    std::error_code ec;
    for (int attempt = 0; attempt < 16; ++attempt) {
        tmp = TemporaryName(path);
        ec = ops.CreateNew(tmp, path, fd);
        if (ec != std::errc::file_exists) break;
    }
    if (ec) SaveFailed(path, ec);
    ec = WriteAll(ops, fd, bytes);
    if (!ec) {
        ec = ops.Sync(fd);
        if (ec == std::errc::invalid_argument) ec.clear();  // a file system that cannot sync
    }
    std::error_code closed = ops.Close(fd);
    if (!ec) ec = closed;
    if (!ec) ec = ops.Rename(tmp, path);
    if (ec) {
        ops.Remove(tmp);
        SaveFailed(path, ec);
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
    KESTREL_STAT st{};
    return StatPath(path, st) && S_ISREG(st.st_mode);
}

}  // namespace kestrel
