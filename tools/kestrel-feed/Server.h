#pragma once
// The feed server's event loop: one listening Unix socket, many clients, one quote source,
// all in one thread on poll(). Every client input is bounded; a client that floods us or
// stops reading is dropped, never waited for.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kestrel-feed/Quotes.h"
#include "tracking/feed/FeedProtocol.h"

namespace kestrel::feed {

class Server {
public:
    Server(QuoteBook& book, QuoteSource& source);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the socket (replacing a stale one, refusing a live one). False with `error` set.
    bool Listen(const std::string& path, std::string& error);
    // Runs until SIGINT/SIGTERM or a STOP message. Returns the exit code.
    int Run();

    // A trade of `code` made in the book: handed to OnServed, then told to the advisers of
    // its items. Every change a source makes goes through here (Run calls it for the changes
    // it takes from the source).
    void Changed(const std::string& code);
    // Called with the issue after each change, before any client hears of it (the recording
    // of the day). Empty: nothing.
    std::function<void(const Issue&)> OnServed;

    // Bytes of unsent output after which a client is dropped as not reading.
    static constexpr size_t kMaxOutput = 4 << 20;
    // Notices are held back (and merged) while this much output is still unsent.
    static constexpr size_t kNoticeGate = 64 << 10;
    // Topics one client may hold open at a time. All the links of a monitor share one
    // connection, so this is the largest watch list we serve: more than two topics for every
    // four-digit issue code. A CONN beyond it is refused, which keeps a client from growing
    // the server without end.
    static constexpr size_t kMaxTopicsPerClient = 20000;
    // A STEP is done a slice at a time, at most this many changes and about this long per
    // turn of the loop, so the other clients are served while a long one runs.
    static constexpr int kStepSlice = 8192;
    static constexpr int kStepSliceMs = 5;

private:
    struct Client {
        int Fd = -1;
        int Number = 0;
        LineReader Reader;
        std::string Out;
        std::unordered_set<std::string> Topics;   // CP932, as the client named them
        std::unordered_set<std::string> Advised;  // topic + '\t' + item (UTF-8)
        std::deque<std::string> Pending;          // notices not yet written, "topic\titem"
        std::unordered_set<std::string> PendingSet;
        // Its STEP is queued or running: its later requests wait for that answer, so the
        // answers keep the order of the requests.
        bool Waiting = false;
        bool Dead = false;
        std::string Why;
    };
    struct Sub {
        Client* Owner;
        std::string Topic;  // CP932
        std::string Item;   // UTF-8
    };
    struct StepJob {
        Client* Owner;  // null once that client has gone: the changes are made all the same
        uint32_t Id;
        int Count;
        int Delivered = 0;
    };

    void Accept();
    void ReadFrom(Client& c);
    void HandleLines(Client& c);
    void Handle(Client& c, const std::string& line);
    void Reply(Client& c, Verb v, uint32_t id, std::initializer_list<std::string_view> args);
    void Reply(Client& c, const Message& m);
    void Deliver(int count, int& delivered);
    void StepSlice();
    void Notify(const std::string& code, const std::vector<std::string>& items);
    void Tell(const SourceNews& news);
    void MoveNotices(Client& c, bool force);
    void Flush(Client& c);
    void Drop(Client& c, const std::string& why);
    void Unsubscribe(Client& c, const std::string& topic, const std::string& item);
    void Reap();

    QuoteBook& Book;
    QuoteSource& Source;
    int ListenFd = -1;
    std::string Path;
    uint64_t PathInode = 0;
    int NextNumber = 1;
    bool Stopping = false;
    int64_t StartMs = 0;
    std::vector<std::unique_ptr<Client>> Clients;
    std::unordered_map<std::string, std::vector<Sub>> Subs;  // by issue code
    std::deque<StepJob> Steps;  // in the order they came; the first one is running
};

// Installs the SIGINT/SIGTERM handlers that make Run() return; ignores SIGPIPE.
void InstallStopSignals();

}  // namespace kestrel::feed
