#include "kestrel-feed/KabuSource.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <QMetaObject>
#include <QThread>

#include "common/Format.h"
#include "common/Numbers.h"

namespace kestrel::feed {

KabuSource::KabuSource(kabu::Config config) {
#ifdef _WIN32
    WakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!WakeEvent)
        throw std::runtime_error("CreateEvent failed (error " + std::to_string(GetLastError()) +
                                 ")");
#else
    EventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (EventFd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
#endif
    Thread = std::make_unique<QThread>();
    Thread->setObjectName(QStringLiteral("kabu"));
    Broker = new kabu::Client(std::move(config), *this);
    Broker->moveToThread(Thread.get());
    QObject::connect(Thread.get(), &QThread::started, Broker, &kabu::Client::Start);
    Thread->start();
}

KabuSource::~KabuSource() {
    // The client ends on its own thread, where its sockets live, before the thread ends.
    QMetaObject::invokeMethod(
        Broker,
        [b = Broker] {
            b->Stop();
            delete b;
        },
        Qt::BlockingQueuedConnection);
    Thread->quit();
    Thread->wait();
#ifdef _WIN32
    CloseHandle(WakeEvent);
#else
    close(EventFd);
#endif
}

std::string KabuSource::Floor(double v) {
    if (!std::isfinite(v)) return "";
    const double f = std::floor(v);
    if (f >= static_cast<double>(INT64_MAX) || f <= static_cast<double>(INT64_MIN)) return "";
    return std::to_string(static_cast<int64_t>(f));
}

std::string KabuSource::Real(double v) {
    if (!std::isfinite(v)) return "";
    // The shortest text that reads back as the API's figure.
    std::string s = FormatGeneral(v);
    if (auto back = ParseReal(s); back && *back == v) return s;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// ---------------------------------------------------------------------------------------------
// The client's thread.

void KabuSource::Post(Update u) {
    {
        std::lock_guard<std::mutex> hold(Lock);
        Inbox.push_back(std::move(u));
    }
    Wake();
}

void KabuSource::Post(Word w) {
    {
        std::lock_guard<std::mutex> hold(Lock);
        Words.push_back(std::move(w));
    }
    Wake();
}

void KabuSource::Wake() {
#ifdef _WIN32
    SetEvent(WakeEvent);
#else
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(EventFd, &one, sizeof one);
#endif
}

void KabuSource::OnQuote(const kabu::Quote& q) {
    Update u;
    u.Q = q;
    Post(std::move(u));
}

void KabuSource::OnReference(const std::string& code, const std::string& name,
                             const std::string& marginClass) {
    Update u;
    u.IsQuote = false;
    u.Code = code;
    u.Name = name;
    u.MarginClass = marginClass;
    Post(std::move(u));
}

void KabuSource::OnNews(const std::string& log, const std::string& screen) {
    if (log.empty() && screen.empty()) return;
    Word w;
    w.Said = {log, screen};
    Post(std::move(w));
}

void KabuSource::OnStanding(const std::string& key, const std::string& screen) {
    Word w;
    w.SetsStanding = true;
    w.Key = key;
    w.Standing = screen;
    Post(std::move(w));
}

// ---------------------------------------------------------------------------------------------
// The server's thread.

void KabuSource::TopicOpened(const std::string& topic) {
    if (TopicCount[topic]++ > 0) return;
    QMetaObject::invokeMethod(
        Broker, [b = Broker, topic] { b->Want(topic); }, Qt::QueuedConnection);
}

void KabuSource::TopicClosed(const std::string& topic) {
    auto it = TopicCount.find(topic);
    if (it == TopicCount.end() || --it->second > 0) return;
    TopicCount.erase(it);
    QMetaObject::invokeMethod(
        Broker, [b = Broker, topic] { b->Unwant(topic); }, Qt::QueuedConnection);
}

void KabuSource::Woken() {
    // Emptied before the queues are looked at, so a post that comes meanwhile wakes us again.
#ifndef _WIN32
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(EventFd, &count, sizeof count);
#endif
}

int64_t KabuSource::NextDueMs() const {
    std::lock_guard<std::mutex> hold(Lock);
    return Inbox.empty() ? -1 : 0;
}

bool KabuSource::Next(QuoteBook& book, std::string& code) {
    while (true) {
        Update u;
        {
            std::lock_guard<std::mutex> hold(Lock);
            if (Inbox.empty()) return false;
            u = std::move(Inbox.front());
            Inbox.pop_front();
        }
        if (!u.IsQuote) {
            Issue& s = book.Edit(u.Code);
            if (!u.Name.empty()) s.Ref.Name = u.Name;
            s.Ref.MarginClass = u.MarginClass;
            s.Ref.HasBase = true;
            continue;
        }
        if (Apply(book, u.Q)) {
            code = u.Q.Symbol;
            return true;
        }
    }
}

bool KabuSource::Apply(QuoteBook& book, const kabu::Quote& q) {
    Issue& s = book.Edit(q.Symbol);
    Day& day = Days[q.Symbol];
    // A null leaves what we had: the app sends null for what it has not received yet.
    if (q.Name && !q.Name->empty()) s.Ref.Name = *q.Name;
    if (q.PrevClose) {
        s.Ref.PrevClose = Floor(*q.PrevClose);
        s.Ref.HasBase = true;  // the reference figures are known
    }
    if (q.Open) s.Ref.OpenPrice = Floor(*q.Open);
    // The volume of a day never goes back: a board read before a PUSH frame yet answered
    // after it is older than what we have, and only its reference figures count. A new day
    // starts again from its own volume.
    const bool newDay = !q.Day.empty() && !day.Date.empty() && q.Day > day.Date;
    if (q.Volume && day.HasVolume && !newDay && *q.Volume < static_cast<double>(s.Volume))
        return false;
    s.Stated = true;
    if (q.Vwap) s.StatedVwap = Real(*q.Vwap);
    if (q.ChangePercent) s.StatedRatio = Real(*q.ChangePercent);
    if (q.Price && !q.PriceTime.empty()) {
        const double p = std::floor(*q.Price);
        s.Price = p >= INT32_MAX ? INT32_MAX : p <= 0 ? 0 : static_cast<int32_t>(p);
        s.TimeText = q.PriceTime;
        s.Traded = true;
    }
    if (!q.Volume) return false;
    const double v = std::floor(*q.Volume);
    const int32_t volume = v >= INT32_MAX ? INT32_MAX : v <= 0 ? 0 : static_cast<int32_t>(v);
    // What makes the monitor look is a change of the volume, as with the market-data
    // application: frames that move only the quotes are no trade.
    const bool changed = day.HasVolume ? (volume != s.Volume || newDay) : volume > 0;
    s.Volume = volume;
    day.HasVolume = true;
    if (!q.Day.empty()) day.Date = q.Day;
    return changed;
}

bool KabuSource::NextNews(SourceNews& news) {
    while (true) {
        Word w;
        {
            std::lock_guard<std::mutex> hold(Lock);
            if (Words.empty()) return false;
            w = std::move(Words.front());
            Words.pop_front();
        }
        if (w.SetsStanding) {
            if (w.Standing.empty())
                Standing.erase(w.Key);
            else
                Standing[w.Key] = w.Standing;
            continue;
        }
        news = std::move(w.Said);
        return true;
    }
}

std::vector<std::string> KabuSource::StandingNews() const {
    std::vector<std::string> texts;
    for (const auto& [key, text] : Standing) texts.push_back(text);
    return texts;
}

}  // namespace kestrel::feed
