#pragma once
// Reading and writing the system's text files: CP932 on disk, UTF-8 in memory. A line ends at
// CR LF, LF or CR on reading; every line is written followed by CR LF.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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

    size_t size() const {
        return Parts ? PartLines.load(std::memory_order_acquire) : Low.size() - 1;
    }
    bool empty() const { return size() == 0; }
    // Line i; empty once released.
    std::string_view operator[](size_t i) const {
        if (i < Released.load(std::memory_order_relaxed)) return {};
        if (Parts) return PartLine(i);
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

    // For a text read a block at a time while it is being replayed: clears the lines, and from
    // now on each AppendPart adds the lines of one block as a part of its own. A part never
    // moves once added, so other threads may read the lines already there (size() of them)
    // while one thread appends; a released part goes back to the system whole. At most
    // `maxParts` parts.
    void BeginParts(size_t maxParts);
    // Adds the lines of `text` as a part, split as Assign splits; returns how many were passed
    // over for being longer than maxLine bytes. Throws std::length_error past maxParts.
    size_t AppendPart(std::string text, size_t maxLine = SIZE_MAX);

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
    std::string_view PartLine(size_t i) const;
    void ReleaseParts(size_t line);

    std::string Text;
    std::vector<uint32_t> Low{0};
    std::vector<size_t> Wraps;
    std::atomic<size_t> Released{0};
    uint64_t ReleasedBytes = 0;  // the text before this offset is given back

    // The lines read a block at a time (Parts set): each part's text with its lines' ends
    // (starting from 0), and the first line of each part. PartCount is published before
    // PartLines, so a reader that sees a line also sees its part.
    struct Part {
        std::string Text;
        std::vector<uint32_t> Ends{0};
    };
    std::unique_ptr<std::unique_ptr<Part>[]> Parts;
    std::unique_ptr<size_t[]> PartFirst;
    size_t PartCap = 0;
    std::atomic<size_t> PartCount{0};
    std::atomic<size_t> PartLines{0};
    size_t FreedParts = 0;  // the parts before this one are given back
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

// How much of a file CTextFileReader reads at a time.
constexpr size_t kTextBlockBytes = size_t{1} << 20;

// A CP932 file read a block at a time, for a reading that goes through it once from the first
// line to the last: the whole file is never in memory at once. Its lines are exactly those
// ReadLines gives, whatever the block size (a block is cut at its last line end, so neither a
// double-byte character nor a CR LF is split).
class CTextFileReader {
public:
    explicit CTextFileReader(size_t blockBytes = kTextBlockBytes);
    ~CTextFileReader();
    CTextFileReader(const CTextFileReader&) = delete;
    CTextFileReader& operator=(const CTextFileReader&) = delete;

    // Opens the file and looks through it once without keeping it, so that what ReadLines
    // would report (refusal, byte-order mark, long lines) and the number of lines are known
    // before any line is taken. False, with the refusal in `report`, when ReadLines would
    // refuse it.
    bool Open(const std::string& path, uint64_t limit, TextFileReport& report);
    // The lines the file holds, as the look counted them.
    size_t LineCount() const { return Lines; }
    // The most parts ReadBlock adds, for CTextLines::BeginParts.
    size_t MaxParts() const;
    // Adds the lines of the next block to `lines` (a part of its own); false once the file is
    // read to its end or a read fails (Failure() then says why).
    bool ReadBlock(CTextLines& lines);
    // "<path>: <the system's reason>" when a read failed after the look, otherwise "".
    const std::string& Failure() const { return Failed; }

private:
    class Pieces;
    void Close();

    std::string Path;
    FILE* File = nullptr;
    size_t Block;
    ByteOrderMark Mark = ByteOrderMark::None;
    uint64_t Begin = 0, Size = 0;  // the text's bytes in the file, after any byte-order mark
    size_t Lines = 0;
    std::unique_ptr<Pieces> Reading;
    std::string Failed;
};

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
