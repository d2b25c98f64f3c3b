#pragma once
// The movement record that travels from a tracker to the ranking lists, the locked queues that
// carry it between threads, and the ranking list itself with its resume file.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/TextFile.h"
#include "ranking/ThreadQueue.h"

class CMeigara {
public:
    // A blank record: empty Code, Action ' ', every figure 0.
    CMeigara() = default;
    CMeigara(std::string code, char action) : Code(std::move(code)), Action(action) {}

    void Assign(const CMeigara& source) { *this = source; }

    // One line of a resume file: the 18 fields in declared order, quoted where needed.
    std::string SaveToLine() const;
    // Fills the record from one line. A line without exactly 18 columns leaves the record
    // blank (true). A column that does not read as its number type: false, record blank.
    bool LoadFromLine(const std::string& line);

    std::string Code;
    char Action = ' ';
    std::string Name;
    std::string MarginClass;
    double LoanRatio = 0;
    int32_t YearHigh = 0;
    int32_t PrevClose = 0;
    int32_t LimitHigh = 0;
    int32_t OpenPrice = 0;
    int32_t Gap = 0;
    double Spare = 0;
    int32_t LimitGap = 0;
    double Time = 0;  // time of day in days
    int32_t Price = 0;
    int32_t Volume = 0;
    double DayRatio = 0;
    double OpenRatio = 0;
    double MoveRatio = 0;
};

class CMeigaraQueue : public TThreadQueue<CMeigara> {
public:
    explicit CMeigaraQueue(char kind) : Kind(kind) {}
    const char Kind;
};

// The order of a ranking list: newest Time first, then the larger rise ('A') or the larger
// fall ('D'), then Code byte by byte.
bool CompareAsc(const CMeigara& a, const CMeigara& b);
bool CompareDsc(const CMeigara& a, const CMeigara& b);

class CMeigaraList {
public:
    using Entries = std::vector<std::unique_ptr<CMeigara>>;

    // What loading a resume file found.
    struct LoadResult {
        bool FileRead = false;
        int Lines = 0;
        int Skipped = 0;    // lines with a column that does not read as its number type
        int LongLines = 0;  // lines longer than any record, passed over unread
        // Lines that are not what a save writes: columns, but not 18 of them (a line cut short,
        // two run together), or a NUL byte (a block of the disk lost in a crash). Each loads as
        // the comma-text rule reads it, a blank entry when the count is wrong; what else it held
        // is not in the list.
        int OddLines = 0;
        kestrel::TextFileReport Report;  // why the file was not read, a byte-order mark
    };

    explicit CMeigaraList(char kind) : Kind(kind), Table(16) {}
    ~CMeigaraList();

    const char Kind;

    // The re-entrant lock and the entries in list order. Every LockList needs one UnlockList.
    Entries& LockList();
    void UnlockList();

    // RAII form of LockList/UnlockList.
    class Locked {
    public:
        explicit Locked(CMeigaraList& list) : List(list), Items(list.LockList()) {}
        ~Locked() { List.UnlockList(); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        Entries& operator*() const { return Items; }
        Entries* operator->() const { return &Items; }

    private:
        CMeigaraList& List;
        Entries& Items;
    };
    Locked Lock() { return Locked(*this); }

    // Appends an entry under the lock.
    void Add(std::unique_ptr<CMeigara> entry);
    // Position of the first entry with the record's Code, or -1.
    int IndexOfCode(const CMeigara& record);
    // The same for a caller that holds the lock already (`held` is its hold on this list):
    // nothing is locked again, for a merge of many records in one hold.
    void Add(const Locked& held, std::unique_ptr<CMeigara> entry);
    int IndexOfCode(const Locked& held, const CMeigara& record);
    void Clear();
    int Count();

    // Sorts by the list's order (CompareAsc for 'A', CompareDsc otherwise), under the lock.
    void Sort();

    // Writes every entry as one line, CR LF, CP932; replaces the file. Throws
    // std::runtime_error with the system's reason when the file cannot be written.
    void SaveToFile(const std::string& fileName);
    // Empties the list, then adds one entry per line. A missing file leaves it empty.
    LoadResult LoadFromFile(const std::string& fileName);

private:
    // Code -> position of its first entry, so a merge does not scan the list per record: an
    // open-addressed table of (hash, position), one slot per distinct code, and beside the
    // entries the slot of each one's code, so a sort moves positions without hashing anything.
    struct IndexSlot {
        uint64_t Hash = 0;
        int32_t Pos = -1;  // -1: free
    };
    static uint64_t HashCode(const std::string& code);
    // The slot holding `code`, or the free slot where it would go. `stale` is set when a slot
    // of the same hash names an entry of another code: entries moved behind the index's back.
    size_t Probe(const std::string& code, uint64_t hash, bool* stale = nullptr) const;
    void IndexEntry(size_t pos);
    void RebuildIndex();
    bool IndexInStep() const { return SlotOf.size() == Items.size(); }

    std::recursive_mutex Mutex;
    Entries Items;
    std::vector<IndexSlot> Table;  // a power of two long, at most half full
    std::vector<uint32_t> SlotOf;  // SlotOf[i]: the table slot of Items[i]'s code
    size_t Distinct = 0;
    std::vector<std::pair<std::unique_ptr<CMeigara>, uint32_t>> SortScratch;
};
