#pragma once
// An in-memory quote service and its conversations, for tests and tools that need live-mode
// trackers without a server: topics hold item values; a change fires the advise notices.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tracking/DdeConv.h"

class CFakeDdeServer {
public:
    bool Running = true;
    bool Answering = true;  // false: every request times out
    int Launches = 0;       // command lines run by a failed open
    std::vector<std::string> LaunchedCommands;
    std::map<std::string, std::map<std::string, std::string>> Topics;

    // Sets an item's value and notifies every conversation advising it.
    void Set(const std::string& topic, const std::string& item, const std::string& value,
             bool notify = true);
    DdeConvFactory Factory();

private:
    friend class CFakeDdeConv;
    std::vector<class CFakeDdeConv*> Convs;
};

class CFakeDdeConv : public TDdeClientConv {
public:
    explicit CFakeDdeConv(CFakeDdeServer& server);
    ~CFakeDdeConv() override;
    void Notify(const std::string& topic, const std::string& item);

protected:
    bool Connect(const std::string& service, const std::string& topic) override;
    void Disconnect() override;
    bool IsConnected() const override;
    bool StartAdvise(const std::string& item, int timeoutMs) override;
    void StopAdvise(const std::string& item) override;
    bool Request(const std::string& item, int timeoutMs, std::string& value) override;
    bool Launch(const std::string& commandLine) override;

private:
    CFakeDdeServer& Server;
    bool Open = false;
    std::string ConnectedTopic;
    std::vector<std::string> Advised;
};
