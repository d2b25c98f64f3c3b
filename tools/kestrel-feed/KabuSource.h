#pragma once
// The kabuステーション API as a quote source of the feed server. The broker client runs on a
// thread of its own with a Qt event loop (the network and the WebSocket need one); the server
// keeps its poll() loop. What the client reads crosses over through a locked queue, and an
// eventfd in the server's poll set says that something waits, so the server never waits on
// the broker and keeps answering its clients while the broker is slow or gone. On Windows an
// event handle takes the eventfd's place, in the wait of the DDE server's message loop.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrel-feed/KabuClient.h"
#include "kestrel-feed/Quotes.h"

class QThread;

namespace kestrel::feed {

class KabuSource : public QuoteSource, private kabu::Sink {
public:
    // Starts the client's thread; a QCoreApplication must exist.
    explicit KabuSource(kabu::Config config);
    ~KabuSource() override;
    KabuSource(const KabuSource&) = delete;
    KabuSource& operator=(const KabuSource&) = delete;

    // A change is an issue whose cumulative volume moved; boards that leave the volume as it
    // was (quotes only) and reference figures update the book without one.
    bool Next(QuoteBook& book, std::string& code) override;
    int64_t NextDueMs() const override;
    size_t Remaining() const override { return SIZE_MAX; }
    void TopicOpened(const std::string& topic) override;
    void TopicClosed(const std::string& topic) override;
#ifdef _WIN32
    void* WakeHandle() const override { return WakeEvent; }
#else
    int WakeFd() const override { return EventFd; }
#endif
    void Woken() override;
    bool NextNews(SourceNews& news) override;
    std::vector<std::string> StandingNews() const override;

    // The text an item takes from an API number.
    static std::string Floor(double v);
    static std::string Real(double v);

private:
    struct Update {
        bool IsQuote = true;  // else the reference figures of symbol information
        kabu::Quote Q;
        std::string Code, Name, MarginClass;
    };
    // Said news and changes of what holds, in the order the client made them; what holds
    // changes on the server's thread as the news goes out, so a client that connects meanwhile
    // hears each thing once.
    struct Word {
        SourceNews Said;
        bool SetsStanding = false;
        std::string Key, Standing;
    };
    // What the source knows of an issue's day beyond the book.
    struct Day {
        std::string Date;  // yyyymmdd of the last volume taken
        bool HasVolume = false;
    };

    void OnQuote(const kabu::Quote& q) override;
    void OnReference(const std::string& code, const std::string& name,
                     const std::string& marginClass) override;
    void OnNews(const std::string& log, const std::string& screen) override;
    void OnStanding(const std::string& key, const std::string& screen) override;
    void Post(Update u);
    void Post(Word w);
    bool Apply(QuoteBook& book, const kabu::Quote& q);

#ifdef _WIN32
    void* WakeEvent = nullptr;  // an auto-reset event: set by a post, reset by the wait
#else
    int EventFd = -1;
#endif
    void Wake();
    mutable std::mutex Lock;
    std::deque<Update> Inbox;  // filled on the client's thread, emptied on the server's
    std::deque<Word> Words;    // the same

    // The server's thread only.
    std::map<std::string, std::string> Standing;  // by key
    std::unordered_map<std::string, int> TopicCount;
    std::unordered_map<std::string, Day> Days;

    std::unique_ptr<QThread> Thread;
    kabu::Client* Broker = nullptr;  // lives on Thread
};

}  // namespace kestrel::feed
