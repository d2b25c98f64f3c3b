#pragma once
// The quote server's Windows side: the items of a quote book served over DDEML as the service
// the monitor links ("RSS"), one topic per issue, values as CF_TEXT in the CP932 code page, and
// a warm advise loop (a notice without data) told of every change, exactly as the market-data
// application does it. It runs on one thread, whose message loop carries DDEML's messages.
//
// DDEML's callback takes no context, so there is at most one server per process.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kestrel-feed/Quotes.h"

namespace kestrel::feed {

class DdeServer {
public:
    explicit DdeServer(QuoteBook& book);
    ~DdeServer();
    DdeServer(const DdeServer&) = delete;
    DdeServer& operator=(const DdeServer&) = delete;

    // Starts DDEML on this thread and registers the service (UTF-8), unless another program
    // serves it already (and RefuseServed holds). False with `error` set.
    bool Start(const std::string& service, std::string& error);
    bool RefuseServed = true;

    // A change of `code` made in the book: handed to OnServed, then told to the advise loops
    // on its items that a trade moves.
    void Changed(const std::string& code);
    // Tells every advise loop on `item` of the issue `code` that it changed.
    void Notify(const std::string& code, const std::string& item);

    // Runs the thread's message loop until Ctrl+C, WM_QUIT or the end of a finite source,
    // making the source's changes as they fall due and telling what it has to say in the log.
    // Returns the exit code.
    int Run(QuoteSource& source);
    // Makes Run return (from the console's handler thread too).
    void Quit();

    // Called with the issue after each change, before any link hears of it (the recording).
    std::function<void(const Issue&)> OnServed;
    // A conversation on a topic (UTF-8) opened, and one ended: a live source asks its broker
    // for the topics the clients link.
    std::function<void(const std::string&)> OnTopicOpened, OnTopicClosed;
    // Called before a quote request of `item` (UTF-8) on `topic` is answered.
    std::function<void(const std::string& topic, const std::string& item)> BeforeRequest;
    // When set, the topic "control" answers a request with what this returns for the item
    // (empty: no answer); a test server takes its commands that way.
    std::function<std::string(const std::string& command)> Control;
    // Lines for the log; stderr when unset.
    std::function<void(const std::string&)> Log;

    // Open advise loops, all issues together; and whether an issue has any.
    size_t AdviseLinks() const;
    bool Advised(const std::string& code) const;
    // Quote requests answered so far (the control topic's are not counted).
    uint64_t Requests() const { return RequestCount; }

    // Whether another program serves `service` already: two servers would both answer each
    // connect, and the monitor would link whichever answered first.
    static bool Served(const std::string& service);

    // Dispatches DDEML's callback to the server of the process.
    static void* Callback(unsigned type, unsigned fmt, void* conv, void* hsz1, void* hsz2);

private:
    struct Link {
        void* Conv;
        std::string Item;  // UTF-8
    };

    void* Handle(unsigned type, unsigned fmt, void* conv, void* hsz1, void* hsz2);
    std::string Query(void* hsz) const;
    void* Text(const std::string& utf8, void* item) const;
    bool IssueTopic(const std::string& topic) const;
    void Opened(void* conv, const std::string& topic);
    void Closed(void* conv);
    void Say(const std::string& line) const;

    QuoteBook& Book;
    unsigned long Inst = 0;
    void* Service = nullptr;
    unsigned long Thread = 0;
    uint64_t RequestCount = 0;
    // The topic of every conversation, as the client named it (UTF-8).
    std::map<void*, std::string> Topics;
    // The advise loops, by issue code.
    std::map<std::string, std::vector<Link>> Links;
};

}  // namespace kestrel::feed
