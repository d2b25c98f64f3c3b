#include "support/FakeDde.h"

#include <algorithm>

void CFakeDdeServer::Set(const std::string& topic, const std::string& item,
                         const std::string& value, bool notify) {
    Topics[topic][item] = value;
    if (!notify) return;
    auto convs = Convs;
    for (auto* c : convs) c->Notify(topic, item);
}

DdeConvFactory CFakeDdeServer::Factory() {
    return [this] { return std::make_unique<CFakeDdeConv>(*this); };
}

CFakeDdeConv::CFakeDdeConv(CFakeDdeServer& server) : Server(server) {
    Server.Convs.push_back(this);
}

CFakeDdeConv::~CFakeDdeConv() {
    Server.Convs.erase(std::remove(Server.Convs.begin(), Server.Convs.end(), this),
                       Server.Convs.end());
}

void CFakeDdeConv::Notify(const std::string& topic, const std::string& item) {
    if (!Open || !Server.Running || topic != ConnectedTopic) return;
    if (std::find(Advised.begin(), Advised.end(), item) == Advised.end()) return;
    AdviseNotice(item);
}

bool CFakeDdeConv::Connect(const std::string&, const std::string& topic) {
    if (!Server.Running || !Server.Topics.count(topic)) return false;
    Open = true;
    ConnectedTopic = topic;
    return true;
}

void CFakeDdeConv::Disconnect() {
    Open = false;
    Advised.clear();
}

bool CFakeDdeConv::IsConnected() const { return Open; }

bool CFakeDdeConv::StartAdvise(const std::string& item, int) {
    if (!Open || !Server.Running) return false;
    Advised.push_back(item);
    return true;
}

void CFakeDdeConv::StopAdvise(const std::string& item) {
    Advised.erase(std::remove(Advised.begin(), Advised.end(), item), Advised.end());
}

bool CFakeDdeConv::Request(const std::string& item, int, std::string& value) {
    if (!Open || !Server.Running) {
        if (Open) {
            Open = false;
            ConnectionLost();
        }
        return false;
    }
    if (!Server.Answering) return false;
    auto t = Server.Topics.find(ConnectedTopic);
    if (t == Server.Topics.end()) return false;
    auto it = t->second.find(item);
    if (it == t->second.end()) return false;
    value = it->second;
    return true;
}

bool CFakeDdeConv::Launch(const std::string& commandLine) {
    ++Server.Launches;
    Server.LaunchedCommands.push_back(commandLine);
    return false;
}
