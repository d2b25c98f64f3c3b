#include "kestrel-feed/DdeServer.h"

#include <dde.h>
#include <ddeml.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "common/Codec.h"

namespace kestrel::feed {

namespace {

DdeServer* gServer = nullptr;
DWORD gMainThread = 0;

// The items a trade can change; the reference figures stay as they were.
const std::vector<std::string>& TradeItems() {
    static const std::vector<std::string> items = {"出来高", "現在値", "現在値時刻",
                                                   "出来高加重平均", "前日比率"};
    return items;
}

HDDEDATA CALLBACK DdemlCallback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA,
                                ULONG_PTR, ULONG_PTR) {
    return static_cast<HDDEDATA>(DdeServer::Callback(type, fmt, conv, hsz1, hsz2));
}

HDDEDATA CALLBACK NoCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    return nullptr;
}

HDDEDATA Flag(bool yes) {
    return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(yes ? TRUE : FALSE));
}

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT ||
        type == CTRL_SHUTDOWN_EVENT) {
        if (gServer) gServer->Quit();
        return TRUE;
    }
    return FALSE;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

DdeServer::DdeServer(QuoteBook& book) : Book(book) {}

DdeServer::~DdeServer() {
    if (gServer == this) gServer = nullptr;
    if (!Inst) return;
    if (Service) {
        DdeNameService(Inst, static_cast<HSZ>(Service), nullptr, DNS_UNREGISTER);
        DdeFreeStringHandle(Inst, static_cast<HSZ>(Service));
    }
    DdeUninitialize(Inst);
}

void DdeServer::Say(const std::string& line) const {
    if (Log)
        Log(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

bool DdeServer::Served(const std::string& service) {
    // A client instance of its own, asking for a conversation on DDE's "System" topic, which
    // servers answer by convention (and ours, which answers every topic, too).
    DWORD probe = 0;
    if (DdeInitializeA(&probe, NoCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return false;
    HSZ name = DdeCreateStringHandleA(probe, Utf8ToCp932(service).c_str(), CP_WINANSI);
    HSZ system = DdeCreateStringHandleA(probe, SZDDESYS_TOPIC, CP_WINANSI);
    HCONV conv = name && system ? DdeConnect(probe, name, system, nullptr) : nullptr;
    if (conv) DdeDisconnect(conv);
    if (name) DdeFreeStringHandle(probe, name);
    if (system) DdeFreeStringHandle(probe, system);
    DdeUninitialize(probe);
    return conv != nullptr;
}

bool DdeServer::Start(const std::string& service, std::string& error) {
    if (gServer && gServer != this) {
        error = "a DDE server runs in this process already";
        return false;
    }
    gServer = this;
    Thread = GetCurrentThreadId();
    gMainThread = Thread;
    MSG m;
    PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the thread's queue, for Quit
    if (RefuseServed && Served(service)) {
        error = "another program serves the DDE service " + service + " already";
        return false;
    }
    DWORD inst = 0;
    const UINT rc =
        DdeInitializeA(&inst, DdemlCallback, CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS, 0);
    if (rc != DMLERR_NO_ERROR) {
        error = "DdeInitialize failed (DDEML error " + std::to_string(rc) + ")";
        return false;
    }
    Inst = inst;
    Service = DdeCreateStringHandleA(Inst, Utf8ToCp932(service).c_str(), CP_WINANSI);
    if (!Service || !DdeNameService(Inst, static_cast<HSZ>(Service), nullptr, DNS_REGISTER)) {
        error = "cannot register the DDE service " + service + " (DDEML error " +
                std::to_string(DdeGetLastError(Inst)) + ")";
        return false;
    }
    return true;
}

std::string DdeServer::Query(void* hsz) const {
    char buf[512];
    const DWORD n = DdeQueryStringA(Inst, static_cast<HSZ>(hsz), buf, sizeof buf, CP_WINANSI);
    return Cp932ToUtf8(std::string(buf, std::min<DWORD>(n, sizeof buf - 1)));
}

void* DdeServer::Text(const std::string& utf8, void* item) const {
    // CF_TEXT: the CP932 bytes and their terminating NUL.
    std::string bytes = Utf8ToCp932(utf8);
    return DdeCreateDataHandle(Inst, reinterpret_cast<LPBYTE>(bytes.data()),
                               static_cast<DWORD>(bytes.size() + 1), 0, static_cast<HSZ>(item),
                               CF_TEXT, 0);
}

// The topics that name no issue: DDE's own ("System", which the probe for another server
// asks for) and the test server's commands.
bool DdeServer::IssueTopic(const std::string& topic) const {
    return topic != SZDDESYS_TOPIC && !(Control && topic == "control");
}

void DdeServer::Opened(void* conv, const std::string& topic) {
    if (!Topics.emplace(conv, topic).second) return;
    if (IssueTopic(topic) && OnTopicOpened) OnTopicOpened(topic);
}

void DdeServer::Closed(void* conv) {
    for (auto it = Links.begin(); it != Links.end();) {
        auto& v = it->second;
        v.erase(std::remove_if(v.begin(), v.end(), [&](const Link& l) { return l.Conv == conv; }),
                v.end());
        it = v.empty() ? Links.erase(it) : std::next(it);
    }
    auto t = Topics.find(conv);
    if (t == Topics.end()) return;
    const std::string topic = t->second;
    Topics.erase(t);
    if (IssueTopic(topic) && OnTopicClosed) OnTopicClosed(topic);
}

void* DdeServer::Callback(unsigned type, unsigned fmt, void* conv, void* hsz1, void* hsz2) {
    return gServer ? gServer->Handle(type, fmt, conv, hsz1, hsz2) : nullptr;
}

void* DdeServer::Handle(unsigned type, unsigned fmt, void* conv, void* hsz1, void* hsz2) {
    switch (type) {
        case XTYP_CONNECT:
            return Flag(true);  // every topic: an issue not known yet is served blank
        case XTYP_CONNECT_CONFIRM:
            Opened(conv, Query(hsz1));
            return nullptr;
        case XTYP_DISCONNECT:
            Closed(conv);
            return nullptr;
        case XTYP_ADVSTART: {
            const std::string topic = Query(hsz1), item = Query(hsz2);
            std::string value;
            if (!ItemValue(Issue{}, item, value)) return Flag(false);
            Opened(conv, topic);  // should the confirmation not have come
            auto& v = Links[FirstChars(topic, 4)];
            const bool known = std::any_of(v.begin(), v.end(), [&](const Link& l) {
                return l.Conv == conv && l.Item == item;
            });
            if (!known) v.push_back({conv, item});
            return Flag(true);
        }
        case XTYP_ADVSTOP: {
            const std::string topic = Query(hsz1), item = Query(hsz2);
            auto it = Links.find(FirstChars(topic, 4));
            if (it == Links.end()) return nullptr;
            auto& v = it->second;
            v.erase(std::remove_if(v.begin(), v.end(),
                                   [&](const Link& l) { return l.Conv == conv && l.Item == item; }),
                    v.end());
            if (v.empty()) Links.erase(it);
            return nullptr;
        }
        case XTYP_REQUEST:
        case XTYP_ADVREQ: {
            if (fmt != CF_TEXT) return nullptr;
            const std::string topic = Query(hsz1), item = Query(hsz2);
            if (Control && topic == "control") {
                const std::string answer = Control(item);
                return answer.empty() ? nullptr : Text(answer, hsz2);
            }
            if (type == XTYP_REQUEST) {
                ++RequestCount;
                if (BeforeRequest) BeforeRequest(topic, item);
            }
            std::string value;
            if (!ItemValue(Book.Lookup(topic), item, value)) return nullptr;
            return Text(value, hsz2);
        }
        default:
            return nullptr;
    }
}

void DdeServer::Notify(const std::string& code, const std::string& item) {
    auto it = Links.find(code);
    if (it == Links.end()) return;
    const std::string name = Utf8ToCp932(item);
    for (const Link& l : it->second) {
        if (l.Item != item) continue;
        // The notice of a warm link is a data message without data, straight to the client's
        // window: DdePostAdvise would do the same, but Wine's tells every link on the item
        // whatever its topic, so each issue's change would reach every issue's conversation.
        CONVINFO ci{};
        ci.cb = sizeof ci;
        if (!DdeQueryConvInfo(static_cast<HCONV>(l.Conv), QID_SYNC, &ci) || !ci.hwndPartner)
            continue;
        const ATOM atom = GlobalAddAtomA(name.c_str());  // the receiver deletes it
        if (!PostMessageA(ci.hwndPartner, WM_DDE_DATA, reinterpret_cast<WPARAM>(ci.hwnd),
                          PackDDElParam(WM_DDE_DATA, 0, atom)))
            GlobalDeleteAtom(atom);
    }
}

void DdeServer::Changed(const std::string& code) {
    if (OnServed)
        if (const Issue* s = Book.Find(code)) OnServed(*s);
    if (!Links.count(code)) return;
    for (const auto& item : TradeItems()) Notify(code, item);
}

size_t DdeServer::AdviseLinks() const {
    size_t n = 0;
    for (const auto& [code, v] : Links) n += v.size();
    return n;
}

bool DdeServer::Advised(const std::string& code) const {
    auto it = Links.find(code);
    return it != Links.end() && !it->second.empty();
}

void DdeServer::Quit() { PostThreadMessageW(Thread, WM_QUIT, 0, 0); }

int DdeServer::Run(QuoteSource& source) {
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    const int64_t start = NowMs();
    bool running = true;
    while (running) {
        HANDLE wake = static_cast<HANDLE>(source.WakeHandle());
        DWORD timeout = INFINITE;
        if (int64_t due = source.NextDueMs(); due >= 0)
            timeout = static_cast<DWORD>(std::clamp<int64_t>(due - (NowMs() - start), 0, 1000));
        MsgWaitForMultipleObjects(wake ? 1 : 0, wake ? &wake : nullptr, FALSE, timeout,
                                  QS_ALLINPUT);
        MSG m;
        while (running && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                running = false;
                break;
            }
            DispatchMessageW(&m);
        }
        if (!running) break;
        if (wake) source.Woken();
        // The changes that are due, a few at a time: the clients' requests are answered in
        // between, as they are while the market is busy.
        for (int budget = 16; budget > 0; --budget) {
            const int64_t due = source.NextDueMs();
            if (due < 0 || due > NowMs() - start) break;
            std::string code;
            if (!source.Next(Book, code)) break;
            Changed(code);
        }
        SourceNews news;
        // There is no way to the monitor's screen over DDE: the log says it all.
        while (source.NextNews(news)) Say(!news.Log.empty() ? news.Log : news.Screen);
    }
    SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
    Say("stopped");
    return 0;
}

}  // namespace kestrel::feed
