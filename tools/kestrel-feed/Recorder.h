#pragma once
// The recording of every live day: each change the server serves goes, as it is served, into a
// working folder per trading day (DIR/yyyymmdd/) that the monitor's debug replay, the backtest
// and the study read as they are: kabu.txt (time, code, price, cumulative volume), std.csv (the
// reference figures served), and the lists of the monitor's working folder. Shift-JIS, CR LF.
//
// Each line goes to the file in one write of its own, so a killed feed loses at most the line
// being written, and the next start cuts such a torn line off before it appends. A write that
// fails (a full disk) ends the recording with one message; the feed goes on serving.
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kestrel-feed/Quotes.h"

namespace kestrel {
class FileSaveOps;
}

namespace kestrel::feed {

struct RecorderOptions {
    std::string Dir;        // the day folders go under it (made when missing)
    std::string ListsFrom;  // the folder whose lists each day's folder gets a copy of
    // The trading day as yyyymmdd. Asked at every change, so a feed that runs past midnight
    // starts the next day's folder with the next change.
    std::function<std::string()> Today;
    // The file steps (a test breaks them to play a full disk); null: the system's.
    FileSaveOps* Ops = nullptr;
};

class Recorder {
public:
    using LogFn = std::function<void(const std::string&)>;
    Recorder(RecorderOptions opt, LogFn log);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens today's folder: makes it, cuts torn last lines, copies the lists. False, said in
    // the log, when nothing can be recorded.
    bool Start();
    // One change as served, with the issue as it is after it. Never throws: a failure ends the
    // recording and is said once.
    void Record(const Issue& issue);

    bool Recording() const { return On; }
    // DIR/yyyymmdd of the day being recorded; empty before Start.
    const std::string& DayFolder() const { return Folder; }

    // The files of a day's folder.
    static constexpr const char* kQuotes = "kabu.txt";
    static constexpr const char* kBase = "std.csv";

private:
    struct File {
        int Fd = -1;
        long long Size = 0;  // what the file holds: a failed write is cut back to it
        std::string Path;
    };
    bool OpenDay(const std::string& day);
    void CloseDay();
    bool OpenFile(File& f, const std::string& name);
    bool Append(File& f, const std::string& bytes);
    bool RewriteBase();
    void CopyLists();
    void Stop(const std::string& why);

    RecorderOptions Opt;
    LogFn Log;
    FileSaveOps* Ops;
    bool On = false;
    bool Said = false;  // the recording's end is said once
    std::string Day, Folder;
    File Quotes, Base;
    // The std.csv line of each issue written (as UTF-8 comma text), in the file's order: the
    // replay takes the first line of a code, so a restart on the same day does not write it
    // again, and figures that come later (the broker's margin class) rewrite the file.
    std::unordered_map<std::string, std::string> BaseRows;
    std::vector<std::string> BaseOrder;
    std::string Line;  // reused for every line
};

// The local date as yyyymmdd, looked up at most once a second (it is asked at every change).
std::function<std::string()> LocalDayClock();

// Cuts the file open on `fd` back to the end of its last complete line (just after its last
// LF; to nothing when it has none). The bytes cut, or -1 with errno set.
long long CutTornLine(int fd);

}  // namespace kestrel::feed
