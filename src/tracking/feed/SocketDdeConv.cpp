#include "tracking/feed/SocketDdeConv.h"

#include "tracking/feed/FeedConnection.h"
#include "tracking/feed/FeedSocket.h"

using kestrel::feed::FeedConnection;

SocketDdeConv::SocketDdeConv(std::string socketPath) : SocketPath(std::move(socketPath)) {}

SocketDdeConv::~SocketDdeConv() {
    // The base class no longer reaches our primitives: leave the shared connection here.
    Disconnect();
}

std::string SocketDdeConv::PathFor(const std::string& service) const {
    return SocketPath.empty() ? kestrel::feed::FeedSocketPath(service) : SocketPath;
}

bool SocketDdeConv::Connect(const std::string& service, const std::string& topic) {
    if (Linked) Disconnect();
    std::string path = PathFor(service);
    if (!Conn || Conn->SocketPath() != path) Conn = FeedConnection::For(path);
    if (!Conn->EnsureOpen() || !Conn->AttachTopic(this, topic, AdviseTimeoutMs)) return false;
    LinkedTopic = topic;
    Linked = true;
    return true;
}

void SocketDdeConv::Disconnect() {
    if (!Linked) return;
    Linked = false;
    if (Conn) {
        for (const auto& item : Advised) Conn->Unadvise(LinkedTopic, item);
        Conn->DetachTopic(this, LinkedTopic);
    }
    Advised.clear();
    LinkedTopic.clear();
}

bool SocketDdeConv::IsConnected() const { return Linked && Conn && Conn->Alive(); }

bool SocketDdeConv::StartAdvise(const std::string& item, int timeoutMs) {
    if (!IsConnected()) return false;
    if (Advised.count(item)) return true;
    if (!Conn->Advise(LinkedTopic, item, timeoutMs)) return false;
    Advised.insert(item);
    return true;
}

void SocketDdeConv::StopAdvise(const std::string& item) {
    if (!IsConnected() || !Advised.erase(item)) return;
    Conn->Unadvise(LinkedTopic, item);
}

bool SocketDdeConv::Request(const std::string& item, int timeoutMs, std::string& value) {
    return IsConnected() && Conn->Request(LinkedTopic, item, timeoutMs, value);
}

bool SocketDdeConv::Launch(const std::string&) {
    // The program and its one argument come from the link itself rather than from splitting
    // the command line, so a topic with a blank in it stays one argument.
    if (DdeService().empty()) return false;
    if (!Conn) Conn = FeedConnection::For(PathFor(DdeService()));
    return Conn->Launch(DdeService(), DdeTopic(), LaunchWaitMs);
}

void SocketDdeConv::Lost() {
    Linked = false;
    Advised.clear();  // the connection forgot its counts with the server's state
    LinkedTopic.clear();
    ConnectionLost();
}

DdeConvFactory MakeSocketConvFactory() {
    return [] { return std::make_unique<SocketDdeConv>(); };
}

DdeConvFactory MakeSocketConvFactory(std::string socketPath) {
    return [socketPath] { return std::make_unique<SocketDdeConv>(socketPath); };
}
