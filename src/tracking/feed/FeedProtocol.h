#pragma once
// The quote feed's wire format: one message per line, fields separated by TAB, every text in
// CP932. Shared by the server, the client transport and the fuzzer, so it depends on no toolkit.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::feed {

// A line longer than this (without its LF) is refused whole; a value never comes near it.
constexpr size_t kMaxLineBytes = 4096;
// Topics and item names are short; longer ones are refused before any lookup.
constexpr size_t kMaxNameBytes = 255;

// The eleven quote items, in UTF-8 as the program holds them.
const std::vector<std::string>& QuoteItems();
bool IsQuoteItem(std::string_view utf8);
// The item whose changes the monitor follows.
inline constexpr const char* kVolumeItem = "出来高";

enum class Verb {
    Conn,   // client: CONN id topic            -> OK id
    Disc,   // client: DISC id topic            -> OK id
    Adv,    // client: ADV id topic item        -> OK id
    Unadv,  // client: UNADV id topic item      -> OK id
    Req,    // client: REQ id topic item        -> VAL id value
    All,    // client: ALL id topic             -> VALS id value x 11 (QuoteItems order)
    Step,   // client: STEP id count            -> OK id delivered
    Ping,   // client: PING id                  -> OK id
    Stop,   // client: STOP id                  -> OK id, then the server ends
    Ok,     // server: OK id [text]
    Val,    // server: VAL id value
    Vals,   // server: VALS id value... (one per quote item)
    Err,    // server: ERR id text (id 0 when the message had none)
    Note,   // server: NOTE topic item (an advise notice, no data)
    Info,   // server: INFO text (news of the quote source for the user, no id)
};

struct Message {
    Verb Kind = Verb::Ping;
    uint32_t Id = 0;
    // The fields after the id (after the verb for NOTE), still in CP932.
    std::vector<std::string> Args;
};

const char* VerbName(Verb v);

// Parses one line (LF removed; a trailing CR is ignored). On failure `error` says why and, when
// the line carried a readable id, `msg.Id` holds it so the answer can name it.
bool ParseMessage(std::string_view line, Message& msg, std::string& error);
// One line with its LF. Fields must not hold TAB, CR or LF; such bytes become blanks.
std::string FormatMessage(const Message& msg);
std::string FormatMessage(Verb v, uint32_t id, std::initializer_list<std::string_view> args);

// Cuts a byte stream into lines of at most kMaxLineBytes. An overlong line is dropped up to
// its LF and reported once, so a peer cannot make us hold more than one line in memory.
class LineReader {
public:
    void Append(const char* data, size_t size);
    enum class Result { None, Line, Overflow };
    // Next complete line (without LF), or Overflow once for each overlong line.
    Result Next(std::string& line);
    bool HasBufferedLine() const;

private:
    std::deque<std::pair<Result, std::string>> Ready;
    std::string Partial;      // the line begun but not yet ended
    bool Discarding = false;  // inside an overlong line, throwing bytes away up to its LF
};

}  // namespace kestrel::feed
