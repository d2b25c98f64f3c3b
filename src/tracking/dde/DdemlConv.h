#pragma once
// The quote conversation over Windows DDEML (user32), service and topic as the link names them,
// CF_TEXT values and item names in the CP932 (Shift-JIS) code page. Every conversation lives
// on the thread that made the first of them; advise notices reach the conversations through
// that thread's message loop, never from inside a request.
//
// Wine's DDEML differs from Windows' in ways the transport allows for: its server side follows
// every answer with a positive acknowledgement, which a later request would take for a refusal
// (pending DDE messages are dispatched after every transaction, and once such an
// acknowledgement has been seen each answer waits for its own, however late it comes); an advise
// arriving during a request goes to the callback but fails that request with
// DMLERR_NOTPROCESSED (the conversation is left to settle and the request is tried once more);
// a server that dies sends no disconnect (DMLERR_POSTMSG_FAILED or DMLERR_NO_CONV_ESTABLISHED on
// the next transaction ends the link); and a restarted server is reached only through a new
// DDEML instance (links made after a loss, or after a failed connect on a used instance, use a
// fresh one). A notice that carries data is the late answer of a request that timed out and
// raises no change.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "tracking/DdeConv.h"

namespace kestrel::dde {
class Instance;
class Session;
}  // namespace kestrel::dde

class DdemlConv : public TDdeClientConv {
public:
    DdemlConv();
    ~DdemlConv() override;

    // How long an open link waits for a program it has just started to offer the service.
    int LaunchWaitMs = 5'000;

protected:
    bool Connect(const std::string& service, const std::string& topic) override;
    void Disconnect() override;
    bool IsConnected() const override;
    bool StartAdvise(const std::string& item, int timeoutMs) override;
    void StopAdvise(const std::string& item) override;
    bool Request(const std::string& item, int timeoutMs, std::string& value) override;
    bool Launch(const std::string& commandLine) override;

private:
    friend class kestrel::dde::Session;
    void DeliverNotice(const std::string& item) { AdviseNotice(item); }
    void Lost();
    // One transaction on the link; `error` is the DDEML error when it returns null.
    void* Transact(unsigned type, const std::string& item, int timeoutMs, unsigned& error);
    // A failed transaction that shows the server gone ends the link; true then.
    bool CheckLost(unsigned error);

    uint64_t Serial;
    std::shared_ptr<kestrel::dde::Instance> Inst;
    void* HConv = nullptr;
    void* ClientWnd = nullptr;  // our side's window of the conversation
    // The server ended the conversation (a disconnect notice): the handle is no longer valid.
    bool HConvDead = false;
    std::set<std::string> Advised;
};

// Conversations over DDEML with the given time-outs (the request time-out of a synchronous
// request, the advise time-out of advise starts and notice reads).
DdeConvFactory MakeDdemlConvFactory(int requestTimeoutMs = TDdeClientConv::kRequestTimeoutMs,
                                    int adviseTimeoutMs = TDdeClientConv::kAdviseTimeoutMs);

// True when no notice waits to be delivered and no DDE message is pending for this thread.
bool DdemlClientIdle();

// Runs the thread's message loop until the client has been idle for `quietMs`, or `maxMs` have
// passed; false on the latter. For tools and tests that have no loop of their own while waiting.
bool DdemlPumpUntilIdle(int quietMs, int maxMs);

// Counters for tests and benchmarks.
struct DdemlStats {
    uint64_t Transactions = 0;
    uint64_t NotProcessedRetries = 0;
    uint64_t LostLinks = 0;
    uint64_t Instances = 0;
    uint64_t NoticesDelivered = 0;
    // Transactions that ran out their time-out without an answer, and the time-outs they were
    // given, summed: what a silent server cost, whatever else slowed the machine down.
    uint64_t TimeOuts = 0;
    uint64_t TimedOutMs = 0;
};
DdemlStats GetDdemlStats();
