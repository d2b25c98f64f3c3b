#pragma once
// What the study asks of the system about files, folders and memory, in one place: its private
// folder inside the output folder, files made only where nothing was, the inputs measured
// before they are read, and the memory the runs may take. POSIX and Windows each have theirs.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel::study {

// The system's reason for an error number, as a message says it.
std::string Reason(int err);

// Whether anything has the name `path`: a file, a folder, a link (itself, wherever it points
// or whether it points anywhere), a pipe. Nothing is opened.
bool EntryExists(const std::string& path);

// What identifies a folder whatever path names it (through "./", "..", a link): empty, with
// `error` the system's reason, when it cannot be looked at.
std::string FolderIdentity(const std::string& path, std::string& error);

// Makes a new folder of a name nobody can have guessed, inside `parent`, that only this user
// may enter; its path, or empty with `error` saying why.
std::string MakePrivateFolder(const std::string& parent, std::string& error);
// Makes the folder `path`; one already there is fine. False, with `error`, otherwise.
bool MakeFolder(const std::string& path, std::string& error);
// The bytes of the files directly in the folder `path` (links not followed); 0 when it
// cannot be read.
uint64_t FolderBytes(const std::string& path);
// Removes `path` and everything in it; links inside go as links, nothing they point to.
bool RemoveTree(const std::string& path, std::string& error);

// The bytes the study may write in all, shared by its threads: every file charges what it
// writes before writing it, so the limit holds whatever the runs raise.
class CByteBudget {
public:
    explicit CByteBudget(uint64_t limit) : Limit(limit) {}
    // Counts `bytes` about to be written to `shown`; throws std::runtime_error naming the limit
    // when they would take the study past it.
    void Charge(uint64_t bytes, const std::string& shown);
    uint64_t Spent() const { return Used.load(); }

private:
    const uint64_t Limit;
    std::atomic<uint64_t> Used{0};
};

// A new file written a block at a time through the save steps of the monitor
// (kestrel::CurrentSaveOps), so a test can break any of them. It is made where nothing was:
// a file, a link or a pipe at the name is an error, never opened. Every failure throws
// std::runtime_error "<shown>: <what failed>: <the system's reason>".
class COutFile {
public:
    COutFile(std::string path, std::string shown);
    ~COutFile();
    COutFile(const COutFile&) = delete;
    COutFile& operator=(const COutFile&) = delete;
    std::string Buffer;
    // What the file's bytes are charged to; none for a file made of bytes already charged.
    CByteBudget* Budget = nullptr;
    // Writes the buffer away once it holds a megabyte.
    void FlushWhenFull() {
        if (Buffer.size() >= (size_t{1} << 20)) Flush();
    }
    void Flush();
    // Writes `bytes` after what the buffer holds, charged as the buffer's are, not copied into
    // the buffer first.
    void Write(std::string_view bytes);
    // Puts what is written so far on disk (not what the buffer or the stage still hold).
    void SyncSoFar();
    // Writes what is left, puts it on disk when `sync`, closes.
    void Close(bool sync);
    // From here on the file goes to the disk in whole blocks, around the system's cache, for a
    // file of gigabytes that is put on disk at its end anyway: it is then not copied into the
    // cache first, which costs a core more than the disk takes. False, and written as before,
    // where the system or its file system cannot (Windows, tmpfs before Linux 6.6).
    bool WriteAroundCache();

private:
    [[noreturn]] void Fail(const char* what, int err);
    void Put(std::string_view bytes);
    void WriteOut(const char* data, size_t size);
    // Writes the stage's whole blocks around the cache; the rest moves to its start.
    void WriteStage();
    // Back to writing through the cache: what the stage holds is written, the stage let go.
    void LeaveStage();
    std::string Path, Shown;
    int Fd = -1;
    struct CFreeStage {
        void operator()(char* p) const;
    };
    std::unique_ptr<char, CFreeStage> Stage;  // aligned, while writing around the cache
    size_t Staged = 0;
};

// Appends the file `path` (one of the study's own, in its private folder) to `to`.
void AppendFile(const std::string& path, const std::string& shown, COutFile& to);

// An input measured before anything reads it: its size, its lines as the system's text
// reading splits them (at CR LF, LF or CR; a last line without an end counted), its longest
// line in bytes, and whether every byte is ASCII.
struct CInputSize {
    uint64_t Bytes = 0, Lines = 0, LongestLine = 0;
    bool Ascii = true;
};
// False, with `error` naming the file and saying why, when it is not a regular file (a
// folder, a pipe, a device: named as what they are) or cannot be read. A pipe is never
// waited on.
bool MeasureInput(const std::string& path, CInputSize& size, std::string& error);

// The memory the study's runs may take: what the system has available, the room the control
// group allows; and the address space left under a limit on it (UINT64_MAX when none).
struct CMemoryRoom {
    uint64_t Available = UINT64_MAX;
    uint64_t AddressSpace = UINT64_MAX;
};
CMemoryRoom AvailableMemory();

}  // namespace kestrel::study
