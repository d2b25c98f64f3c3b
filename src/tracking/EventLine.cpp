#include "tracking/EventLine.h"

#include "common/Format.h"
#include "common/TimeOfDay.h"

void WriteEventLine(std::string& out, const MoveEvent& e) {
    out += kestrel::FormatHhNn(kestrel::MsToDays(e.TimeMs));
    out += ' ';
    out += e.Topic;
    out += ':';
    out += std::to_string(e.Price);
    out += ",(";
    out += std::to_string(e.Move);
    out += "),";
    out += kestrel::FormatFixed(e.MoveRatio, 2, 4);
    out += "% ";
    out += std::to_string(e.LimitHigh);
    out += '[';
    out += e.Kind;
    out += ',';
    out += e.Action;
    out += ']';
}

std::string EventLineText(const MoveEvent& e) {
    std::string line;
    WriteEventLine(line, e);
    return line;
}
