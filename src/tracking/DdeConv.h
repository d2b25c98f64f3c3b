#pragma once
// The quote conversation of one tracker with the market-data service: a client conversation
// (service + topic) and the items attached to it. The conversation rules live here, once; a
// transport (local socket feed, DDEML, or an in-memory fake for tests) supplies the seven
// primitive operations below.
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TDataMode { ddeAutomatic, ddeManual };

class TDdeClientConv;

class TDdeClientItem {
public:
    TDdeClientItem() = default;
    ~TDdeClientItem();
    TDdeClientItem(const TDdeClientItem&) = delete;
    TDdeClientItem& operator=(const TDdeClientItem&) = delete;

    // Attaches the item to a conversation (nullptr detaches it).
    void SetDdeConv(TDdeClientConv* conv);
    TDdeClientConv* DdeConv() const { return Conv; }
    // Names the item; on an open link this starts its advise loop at once.
    void SetDdeItem(const std::string& name);
    const std::string& DdeItem() const { return Item; }
    // The item's last value text.
    const std::string& Text() const { return Value; }

    std::function<void(TDdeClientItem& sender)> OnChange;

private:
    friend class TDdeClientConv;
    TDdeClientConv* Conv = nullptr;
    std::string Item;
    std::string Value;
    bool Advising = false;
};

class TDdeClientConv {
public:
    static constexpr int kRequestTimeoutMs = 10'000;
    static constexpr int kAdviseTimeoutMs = 1'000;

    TDdeClientConv() = default;
    virtual ~TDdeClientConv();
    TDdeClientConv(const TDdeClientConv&) = delete;
    TDdeClientConv& operator=(const TDdeClientConv&) = delete;

    TDataMode ConnectMode = ddeManual;

    // Ends any open conversation, then records service and topic without connecting.
    bool SetLink(const std::string& service, const std::string& topic);
    // Connects; on failure runs "service topic" once and connects again. Then starts the advise
    // loop of every attached item, requests its value once and raises its change on an answer.
    // Items are detached when their advise fails or there is no connection.
    bool OpenLink();
    // Ends the conversation and clears service and topic; items stay attached.
    void CloseLink();
    // Synchronous request with the request time-out; empty text without a conversation or an
    // answer.
    std::string RequestData(const std::string& item);

    const std::string& DdeService() const { return Service; }
    const std::string& DdeTopic() const { return Topic; }
    bool Connected() const { return IsConnected(); }
    // Injectable for tests so a silent server does not cost ten seconds.
    int RequestTimeoutMs = kRequestTimeoutMs;
    int AdviseTimeoutMs = kAdviseTimeoutMs;

protected:
    // Transport primitives. All run on the thread that owns the conversation.
    virtual bool Connect(const std::string& service, const std::string& topic) = 0;
    virtual void Disconnect() = 0;
    virtual bool IsConnected() const = 0;
    virtual bool StartAdvise(const std::string& item, int timeoutMs) = 0;
    virtual void StopAdvise(const std::string& item) = 0;
    // True with the value text on an answer, false on failure or time-out.
    virtual bool Request(const std::string& item, int timeoutMs, std::string& value) = 0;
    // Starts the service's program with the command line "service topic"; true when started.
    virtual bool Launch(const std::string& commandLine) = 0;

    // A transport calls this when the server says an item changed (an advise notice without
    // data): the value is requested and the item's change is raised on an answer.
    void AdviseNotice(const std::string& item);
    // A transport calls this when it finds the connection gone.
    void ConnectionLost();

private:
    friend class TDdeClientItem;
    void Attach(TDdeClientItem* item);
    void Detach(TDdeClientItem* item);
    // Starts one item's advise loop and reads its value once; detaches it on failure.
    void AdviseItem(TDdeClientItem* item);
    void Changed(TDdeClientItem* item, const std::string& value);

    std::string Service;
    std::string Topic;
    std::vector<TDdeClientItem*> Items;
};

// How a tracker gets a conversation in live mode: the monitor passes the socket feed's
// factory, tests a fake's.
using DdeConvFactory = std::function<std::unique_ptr<TDdeClientConv>()>;
