#include "tracking/EventLine.h"

#include "common/Numbers.h"

std::optional<CEventLineParts> ParseEventLine(std::string_view l) {
    const size_t n = l.size();
    if (n < 6 || l[n - 1] != ']' || l[n - 5] != '[' || l[n - 3] != ',') return std::nullopt;
    CEventLineParts e;
    e.Kind = l[n - 4];
    e.Action = l[n - 2];
    const std::string_view rest = l.substr(0, n - 5);
    const size_t pct = rest.rfind("% ");
    if (pct == std::string_view::npos) return std::nullopt;
    const size_t close = rest.rfind("),", pct);
    if (close == std::string_view::npos) return std::nullopt;
    const size_t open = rest.rfind(",(", close);
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view head = rest.substr(0, open);
    const size_t colon = head.rfind(':');
    const size_t blank = head.find(' ');
    if (colon == std::string_view::npos || blank == std::string_view::npos || blank > colon)
        return std::nullopt;
    const auto price = kestrel::ParseInt(head.substr(colon + 1));
    const auto move = kestrel::ParseInt(rest.substr(open + 2, close - open - 2));
    if (!price || !move) return std::nullopt;
    e.Topic = head.substr(blank + 1, colon - blank - 1);
    e.Price = *price;
    e.Move = *move;
    e.Ratio = rest.substr(close + 2, pct - close - 2);
    while (!e.Ratio.empty() && e.Ratio.front() == ' ') e.Ratio.remove_prefix(1);
    return e;
}
