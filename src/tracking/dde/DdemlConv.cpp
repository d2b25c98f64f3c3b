#include "tracking/dde/DdemlConv.h"

#include <dde.h>
#include <ddeml.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/Codec.h"
#include "tracking/NoticePump.h"

namespace kestrel::dde {

using Clock = std::chrono::steady_clock;
namespace {}  // namespace
// KESTREL_DDE_TRACE=1 in the environment prints every transaction and notice on stderr.
bool Tracing() {
    static const bool on = [] {
        const char* v = std::getenv("KESTREL_DDE_TRACE");
        return v && *v && *v != '0';
    }();
    return on;
}
namespace {
constexpr UINT kDrainMessage = WM_APP + 0x4B;
// The longest wait for what follows an answer (see AwaitStrayAck and Settle): it comes within
// milliseconds even on a machine busy with other work; a server that ended right after its
// answer sends nothing more, and costs no more than this once.
constexpr int kAfterAnswerMaxMs = 1'000;
}  // namespace

// One DDEML instance and the string handles made in it.
class Instance {
public:
    explicit Instance(PFNCALLBACK callback) {
        UINT rc = DdeInitializeA(
            &Id, callback, APPCMD_CLIENTONLY | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS,
            0);
        if (rc != DMLERR_NO_ERROR) Id = 0;
    }
    ~Instance() {
        if (Id) DdeUninitialize(Id);  // frees its conversations and string handles too
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // The handle of a UTF-8 name, in the CP932 the other side reads.
    HSZ Hsz(const std::string& utf8) {
        auto it = Strings.find(utf8);
        if (it != Strings.end()) return it->second;
        HSZ h = DdeCreateStringHandleA(Id, Utf8ToCp932(utf8).c_str(), CP_WINANSI);
        if (h) Strings.emplace(utf8, h);
        return h;
    }

    DWORD Id = 0;
    // A link of this instance found its server gone: new links use a fresh instance.
    bool Stale = false;
    // Some link was made through it.
    bool Used = false;

private:
    std::unordered_map<std::string, HSZ> Strings;
};

// The conversations of the thread, their notices and the DDEML instances they use.
class Session {
public:
    static Session& Get() {
        static Session s;
        return s;
    }

    std::shared_ptr<Instance> Current() {
        if (!Cur || Cur->Stale || Cur->Id == 0) Cur = Fresh();
        return Cur->Id ? Cur : nullptr;
    }
    std::shared_ptr<Instance> Fresh() {
        ++Stats.Instances;
        return std::make_shared<Instance>(&Session::Callback);
    }
    void MakeCurrent(std::shared_ptr<Instance> inst) { Cur = std::move(inst); }

    void Add(DdemlConv* conv) { BySerial[conv->Serial] = conv; }
    void Remove(DdemlConv* conv) {
        BySerial.erase(conv->Serial);
        Purge(conv);
    }
    void Register(HCONV h, DdemlConv* conv) { ByConv[h] = conv; }
    void Unregister(HCONV h) { ByConv.erase(h); }

    void Queue(uint64_t serial, std::string item, bool lost) {
        Notices.Add({serial, std::move(item), lost});
    }
    void Purge(DdemlConv* conv) {
        auto serial = conv->Serial;
        Notices.RemoveIf([&](const Notice& n) { return std::get<0>(n) == serial; });
    }

    // Notices that come in while a request waits go out through the message loop, after it.
    void BeginTransaction() { Notices.BeginRequest(); }
    void EndTransaction() { Notices.EndRequest(); }

    // What DispatchDde saw come to one conversation's window.
    struct DdeSeen {
        int Data = 0;
        int Acks = 0;
        int AcksAfterData = 0;
        bool FirstIsAck = false;
    };
    // Dispatches the DDE messages waiting for this thread, and says what came to `client`.
    DdeSeen DispatchDde(HWND client) {
        DdeSeen seen;
        MSG m;
        while (PeekMessageW(&m, nullptr, WM_DDE_FIRST, WM_DDE_LAST, PM_REMOVE)) {
            if (m.hwnd == client) {
                if (m.message == WM_DDE_ACK) {
                    if (seen.Data == 0 && seen.Acks == 0) seen.FirstIsAck = true;
                    ++seen.Acks;
                    if (seen.Data > 0) ++seen.AcksAfterData;
                } else if (m.message == WM_DDE_DATA) {
                    ++seen.Data;
                }
            }
            DispatchMessageW(&m);
        }
        return seen;
    }

    // Dispatches the DDE messages already waiting for this thread: late answers, stray
    // acknowledgements, and notices, which the callback queues.
    void DrainDdeMessages() {
        MSG m;
        for (int n = 0;
             n < 10'000 && PeekMessageW(&m, nullptr, WM_DDE_FIRST, WM_DDE_LAST, PM_REMOVE); ++n)
            DispatchMessageW(&m);
    }

    // After the answer to a request: this DDEML's server side may follow every answer with a
    // positive acknowledgement, which a later request would take for its own (negative)
    // answer. Once such an acknowledgement has been seen, each answer waits for its own: mostly
    // it is there at once, but on a busy machine it comes many milliseconds late. A server
    // that leaves one out is taken to have stopped sending them (the wait runs out once).
    void AwaitStrayAck(HWND client, int limitMs) {
        if (DispatchDde(client).Acks > 0) {
            AcksAnswers = true;
            return;
        }
        if (!AcksAnswers) return;
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(std::min(limitMs, kAfterAnswerMaxMs));
        while (Clock::now() < deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_POSTMESSAGE);
            if (DispatchDde(client).Acks > 0) return;
        }
        AcksAnswers = false;
    }

    // After a request that failed with something else than its answer (a notice that came in
    // meanwhile, or a late acknowledgement): takes in the server's answer to it, when it
    // comes, and the acknowledgement that follows it, so that the next request starts on a
    // quiet conversation. A negative answer (an acknowledgement first) has nothing after it.
    void Settle(HWND client, int limitMs) {
        bool answered = false;
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(std::min(limitMs, kAfterAnswerMaxMs));
        while (Clock::now() < deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_POSTMESSAGE);
            const DdeSeen seen = DispatchDde(client);
            if (answered) {
                if (seen.Acks > 0) return;
                continue;
            }
            if (seen.FirstIsAck) return;  // refused
            if (seen.Data == 0) continue;
            answered = true;
            if (!AcksAnswers || seen.AcksAfterData > 0) return;
        }
    }

    bool Idle() {
        MSG m;
        if (!Notices.Idle()) return false;
        return !PeekMessageW(&m, nullptr, WM_DDE_FIRST, WM_DDE_LAST, PM_NOREMOVE);
    }

    DdemlStats Stats;
    Clock::time_point LaunchBlockedUntil{};
    bool AcksAnswers = false;

private:
    // The conversation's serial, the item, and whether it is the news of a lost conversation.
    using Notice = std::tuple<uint64_t, std::string, bool>;

    Session() = default;

    bool PostTurn() {
        if (!Wnd) CreateWindowForNotices();
        return Wnd && PostMessageW(Wnd, kDrainMessage, 0, 0);
    }

    void CreateWindowForNotices() {
        static const wchar_t* kClass = L"KestrelDdeNotices";
        WNDCLASSW wc{};
        wc.lpfnWndProc = &Session::WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);  // fails harmlessly when already registered
        Wnd = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                              nullptr);
    }

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == kDrainMessage) {
            Session& s = Get();
            s.Notices.Turn([&s](const Notice& n) { s.Deliver(n); });
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }

    void Deliver(const Notice& notice) {
        const auto& [serial, item, lost] = notice;
        auto it = BySerial.find(serial);
        if (it == BySerial.end() || !it->second->HConv) return;
        DdemlConv* conv = it->second;
        if (lost) {
            conv->Lost();
            return;
        }
        // An error out of a change handler must not unwind through the message loop; the
        // other conversations still get their notices.
        try {
            ++Stats.NoticesDelivered;
            conv->DeliverNotice(item);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quote change failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "quote change failed\n");
        }
    }

    static HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV hconv, HSZ, HSZ hsz2, HDDEDATA data,
                                      ULONG_PTR, ULONG_PTR) {
        Session& s = Get();
        auto it = s.ByConv.find(hconv);
        if (it == s.ByConv.end())
            return type == XTYP_ADVDATA ? reinterpret_cast<HDDEDATA>(DDE_FACK) : nullptr;
        DdemlConv* conv = it->second;
        switch (type) {
            case XTYP_ADVDATA: {
                // The notice of a warm link carries no data, only the item's name. Data here is
                // the late answer of a request that ended before it came: no change.
                if (data) return reinterpret_cast<HDDEDATA>(DDE_FACK);
                char name[256];
                DWORD n = DdeQueryStringA(conv->Inst->Id, hsz2, name, sizeof name, CP_WINANSI);
                if (Tracing())
                    std::fprintf(stderr, "dde: notice conv %llu item %s\n",
                                 static_cast<unsigned long long>(conv->Serial),
                                 Cp932ToUtf8(std::string(name, n)).c_str());
                if (n > 0) s.Queue(conv->Serial, Cp932ToUtf8(std::string(name, n)), false);
                return reinterpret_cast<HDDEDATA>(DDE_FACK);
            }
            case XTYP_DISCONNECT:
                // The handle is dead from now on.
                s.ByConv.erase(it);
                s.Queue(conv->Serial, std::string(), true);
                conv->HConvDead = true;
                return nullptr;
            default:
                return nullptr;
        }
    }

    std::shared_ptr<Instance> Cur;
    std::unordered_map<HCONV, DdemlConv*> ByConv;
    std::unordered_map<uint64_t, DdemlConv*> BySerial;
    HWND Wnd = nullptr;
    TNoticePump<Notice> Notices{[this] { return PostTurn(); }};
};

}  // namespace kestrel::dde

using kestrel::dde::Session;

namespace {
using Clock = std::chrono::steady_clock;
using kestrel::kLaunchCoolDown;
uint64_t gNextSerial = 1;

bool ShowsServerGone(UINT error) {
    return error == DMLERR_POSTMSG_FAILED || error == DMLERR_NO_CONV_ESTABLISHED;
}

bool IsTimeOut(UINT error) {
    return error == DMLERR_ADVACKTIMEOUT || error == DMLERR_DATAACKTIMEOUT ||
           error == DMLERR_EXECACKTIMEOUT || error == DMLERR_POKEACKTIMEOUT ||
           error == DMLERR_UNADVACKTIMEOUT;
}
}  // namespace

DdemlConv::DdemlConv() : Serial(gNextSerial++) { Session::Get().Add(this); }

DdemlConv::~DdemlConv() {
    // The base class no longer reaches our primitives: end the conversation here.
    Disconnect();
    Session::Get().Remove(this);
}

bool DdemlConv::Connect(const std::string& service, const std::string& topic) {
    if (HConv) Disconnect();
    Session& s = Session::Get();
    auto inst = s.Current();
    if (!inst) return false;
    HCONV c = DdeConnect(inst->Id, inst->Hsz(service), inst->Hsz(topic), nullptr);
    if (!c && inst->Used) {
        // A server started again since this instance's first link answers only a new one.
        auto fresh = s.Fresh();
        if (fresh->Id) c = DdeConnect(fresh->Id, fresh->Hsz(service), fresh->Hsz(topic), nullptr);
        if (c) {
            s.MakeCurrent(fresh);
            inst = fresh;
        }
    }
    s.DrainDdeMessages();
    if (!c) return false;
    inst->Used = true;
    CONVINFO ci{};
    ci.cb = sizeof ci;
    ClientWnd = DdeQueryConvInfo(c, QID_SYNC, &ci) ? ci.hwnd : nullptr;
    Inst = std::move(inst);
    HConv = c;
    HConvDead = false;
    s.Register(c, this);
    return true;
}

void DdemlConv::Disconnect() {
    if (!HConv) return;
    Session& s = Session::Get();
    HCONV c = static_cast<HCONV>(HConv);
    s.Unregister(c);
    s.Purge(this);
    if (!HConvDead && !DdeDisconnect(c) && ShowsServerGone(DdeGetLastError(Inst->Id)))
        Inst->Stale = true;
    s.DrainDdeMessages();
    HConv = nullptr;
    HConvDead = false;
    Advised.clear();
    Inst.reset();
}

bool DdemlConv::IsConnected() const { return HConv != nullptr && !HConvDead; }

void* DdemlConv::Transact(unsigned type, const std::string& item, int timeoutMs, unsigned& error) {
    Session& s = Session::Get();
    HSZ hsz = Inst->Hsz(item);
    s.BeginTransaction();
    DWORD result = 0;
    // A time-out of 0 would make the transaction asynchronous.
    const DWORD limit = static_cast<DWORD>(std::max(timeoutMs, 1));
    HDDEDATA h = DdeClientTransaction(nullptr, 0, static_cast<HCONV>(HConv), hsz, CF_TEXT, type,
                                      limit, &result);
    error = h ? DMLERR_NO_ERROR : DdeGetLastError(Inst->Id);
    if (IsTimeOut(error)) {
        ++s.Stats.TimeOuts;
        s.Stats.TimedOutMs += limit;
    }
    // Only a request's answer is followed by an acknowledgement; an advise start's answer is
    // one.
    if (h && type == XTYP_REQUEST)
        s.AwaitStrayAck(static_cast<HWND>(ClientWnd), static_cast<int>(limit));
    else if (error == DMLERR_NOTPROCESSED)
        s.Settle(static_cast<HWND>(ClientWnd), static_cast<int>(limit));
    else
        s.DrainDdeMessages();
    ++s.Stats.Transactions;
    if (kestrel::dde::Tracing())
        std::fprintf(stderr, "dde: conv %llu type %04x item %s -> %s error %04x\n",
                     static_cast<unsigned long long>(Serial), type, item.c_str(),
                     h ? "ok" : "failed", error);
    s.EndTransaction();
    return h;
}

bool DdemlConv::CheckLost(unsigned error) {
    if (HConvDead || error == DMLERR_INVALIDPARAMETER) {
        Lost();  // the server ended the conversation
        return true;
    }
    if (!ShowsServerGone(error)) return false;
    Inst->Stale = true;
    Lost();
    return true;
}

void DdemlConv::Lost() {
    if (!HConv) return;
    ++Session::Get().Stats.LostLinks;
    Disconnect();
    ConnectionLost();
}

bool DdemlConv::StartAdvise(const std::string& item, int timeoutMs) {
    if (!IsConnected()) return false;
    if (Advised.count(item)) return true;
    unsigned error = 0;
    // A warm link: the server only says that the item changed.
    if (!Transact(XTYP_ADVSTART | XTYPF_NODATA, item, timeoutMs, error)) {
        CheckLost(error);
        return false;
    }
    Advised.insert(item);
    return true;
}

void DdemlConv::StopAdvise(const std::string& item) {
    if (!IsConnected() || !Advised.erase(item)) return;
    unsigned error = 0;
    if (!Transact(XTYP_ADVSTOP, item, AdviseTimeoutMs, error)) CheckLost(error);
}

bool DdemlConv::Request(const std::string& item, int timeoutMs, std::string& value) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!IsConnected()) return false;
        unsigned error = 0;
        auto h = static_cast<HDDEDATA>(Transact(XTYP_REQUEST, item, timeoutMs, error));
        if (h) {
            DWORD size = DdeGetData(h, nullptr, 0, 0);
            std::string bytes(size, '\0');
            if (size > 0) DdeGetData(h, reinterpret_cast<LPBYTE>(bytes.data()), size, 0);
            DdeFreeDataHandle(h);
            bytes.resize(std::min(bytes.find('\0'), bytes.size()));  // CF_TEXT ends at NUL
            value = kestrel::Cp932ToUtf8(bytes);
            return true;
        }
        if (CheckLost(error)) return false;
        if (error != DMLERR_NOTPROCESSED) return false;  // a time-out or a refusal
        // A notice or a stray acknowledgement may have been taken for the answer (the notice
        // itself went to the callback): once more.
        if (attempt == 0) ++Session::Get().Stats.NotProcessedRetries;
    }
    return false;
}

bool DdemlConv::Launch(const std::string& commandLine) {
    Session& s = Session::Get();
    if (Clock::now() < s.LaunchBlockedUntil) return false;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWMINNOACTIVE;  // minimised, not activated
    PROCESS_INFORMATION pi{};
    std::string line = kestrel::Utf8ToCp932(commandLine);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    // Wait, as long as a freshly started server may need and no longer, until it offers the
    // service: first for its message loop, then for an answer to a connect.
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(LaunchWaitMs, 0));
    WaitForInputIdle(pi.hProcess, static_cast<DWORD>(std::max(LaunchWaitMs, 0)));
    bool up = false;
    if (auto inst = s.Current()) {
        while (!up) {
            HCONV probe =
                DdeConnect(inst->Id, inst->Hsz(DdeService()), inst->Hsz(DdeTopic()), nullptr);
            if (probe) {
                DdeDisconnect(probe);
                up = true;
            } else if (Clock::now() >= deadline ||
                       WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) {
                break;
            }
        }
        s.DrainDdeMessages();
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!up) s.LaunchBlockedUntil = Clock::now() + kLaunchCoolDown;
    return true;
}

DdeConvFactory MakeDdemlConvFactory(int requestTimeoutMs, int adviseTimeoutMs) {
    return [requestTimeoutMs, adviseTimeoutMs] {
        auto conv = std::make_unique<DdemlConv>();
        conv->RequestTimeoutMs = requestTimeoutMs;
        conv->AdviseTimeoutMs = adviseTimeoutMs;
        return conv;
    };
}

bool DdemlClientIdle() { return Session::Get().Idle(); }

bool DdemlPumpUntilIdle(int quietMs, int maxMs) {
    auto end = Clock::now() + std::chrono::milliseconds(maxMs);
    auto quietSince = Clock::now();
    while (Clock::now() < end) {
        MSG m;
        bool any = false;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            any = true;
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));
                return false;
            }
            DispatchMessageW(&m);
        }
        if (any || !DdemlClientIdle()) {
            quietSince = Clock::now();
            continue;
        }
        if (Clock::now() - quietSince >= std::chrono::milliseconds(quietMs)) return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    return false;
}

DdemlStats GetDdemlStats() { return Session::Get().Stats; }
