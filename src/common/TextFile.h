#pragma once
// Reading and writing the system's text files: CP932 on disk, UTF-8 in memory. A line ends at
// CR LF, LF or CR on reading; every line is written followed by CR LF.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/InputFile.h"

namespace kestrel {

class FileSaveOps;

// What one line of an input file may cost: no record of any of the system's files comes near
// these, so a longer line is damage, not data. Lines longer than kMaxTextLineBytes (in UTF-8)
// are passed over on reading, and counted; texts a record carries everywhere (a name, a margin
// class, a topic) are kept to kMaxTextFieldBytes.
constexpr size_t kMaxTextLineBytes = 64 * 1024;
constexpr size_t kMaxTextFieldBytes = 256;

// Splits a text into lines at CR LF, LF or CR; a last line without an end mark is kept, an
// empty text gives no lines.
std::vector<std::string> SplitLines(std::string_view text);

// Many lines in one text, for files of millions of lines: one allocation instead of one per
// line, and four bytes of index a line. The line breaks are dropped, so line i runs from its
// start to the next line's.
class CTextLines {
public:
    CTextLines() = default;
    CTextLines(const CTextLines&) = delete;
    CTextLines& operator=(const CTextLines&) = delete;

    size_t size() const { return Low.size() - 1; }
    bool empty() const { return Low.size() == 1; }
    // Line i; empty once released.
    std::string_view operator[](size_t i) const {
        if (i < Released.load(std::memory_order_relaxed)) return {};
        const uint64_t begin = Start(i);
        return std::string_view(Text.data() + begin, Start(i + 1) - begin);
    }
    void push_back(std::string_view line);
    void clear();
    // Takes a whole text and splits it as SplitLines does, passing over lines longer than
    // maxLine bytes; returns how many were passed over.
    size_t Assign(std::string text, size_t maxLine = SIZE_MAX);
    // The lines before `line` are done with for good, by a reading that never goes back: the
    // whole pages of text they hold go back to the system (where it allows that), and each of
    // them reads as an empty line from now on. Other threads may read the later lines meanwhile.
    void Release(size_t line);

private:
    // Line i's start: its low 32 bits, and as the high part how many times the text passed a
    // multiple of 4 GiB before it (Wraps holds the first line of each such part, in order).
    uint64_t Start(size_t i) const {
        uint64_t high = 0;
        if (!Wraps.empty()) high = HighPart(i);
        return high << 32 | Low[i];
    }
    uint64_t HighPart(size_t i) const;
    void PushStart(uint64_t start);

    std::string Text;
    std::vector<uint32_t> Low{0};
    std::vector<size_t> Wraps;
    std::atomic<size_t> Released{0};
    uint64_t ReleasedBytes = 0;  // the text before this offset is given back
};

// Reads a whole file as raw bytes: a regular file of at most `limit` bytes (InputFile.h). False
// (no bytes) when it is refused or cannot be read; then `refusal`, when given, says why.
bool ReadFileBytes(const std::string& path, std::string& bytes, uint64_t limit,
                   InputRefusal* refusal = nullptr);
// The same within the largest limit of any input file.
bool ReadFileBytes(const std::string& path, std::string& bytes);

// A UTF-8 byte-order mark (EF BB BF) at the start of a file read as CP932 (an editor saved the
// file as UTF-8): it is no part of the first line. The text after it is read as UTF-8 when all
// of it is well-formed UTF-8, otherwise as CP932.
enum class ByteOrderMark { None, ReadAsUtf8, ReadAsCp932 };

// What reading a text file found.
struct TextFileReport {
    size_t LongLines = 0;  // lines longer than kMaxTextLineBytes, passed over
    ByteOrderMark Mark = ByteOrderMark::None;
    InputRefusal Refusal;  // why the file was not read, when it was not
};

// Reads a CP932 file of at most `limit` bytes into UTF-8 lines, without the lines longer than
// kMaxTextLineBytes. False (and no lines) when the file is refused or cannot be read.
bool ReadLines(const std::string& path, std::vector<std::string>& lines, uint64_t limit,
               TextFileReport& report);
bool ReadLines(const std::string& path, CTextLines& lines, uint64_t limit, TextFileReport& report);
// The same within the largest limit of any input file; the number of long lines goes to
// *longLines when given.
bool ReadLines(const std::string& path, std::vector<std::string>& lines,
               size_t* longLines = nullptr);
bool ReadLines(const std::string& path, CTextLines& lines, size_t* longLines = nullptr);

// The word for the user on a byte-order mark at the start of `file`; "" for none.
std::string ByteOrderMarkNote(const std::string& file, ByteOrderMark mark);

// Writes UTF-8 lines to a CP932 file, each followed by CR LF, replacing the file through a
// temporary beside it so a failed write never leaves half a file. Throws std::runtime_error
// "<path>: <the system's reason>" when the file cannot be written.
void WriteLines(const std::string& path, const std::vector<std::string>& lines);

// Raw bytes, written the same way: into a new temporary of an unguessable name beside the
// target (never into a file or link already there), synced, then renamed over the target.
// Temporaries a killed save left beside the target go first. A failed save leaves the old file
// as it was and no temporary. Throws std::runtime_error on failure.
void WriteFileBytes(const std::string& path, std::string_view bytes);
void WriteFileBytes(const std::string& path, std::string_view bytes, FileSaveOps& ops);

bool FileExists(const std::string& path);

#ifdef _WIN32
// A UTF-8 path as Windows' wide-character calls take it.
std::wstring WidePath(const std::string& path);
#endif

}  // namespace kestrel
