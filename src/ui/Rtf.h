#pragma once
// A small RTF writer for the event log: plain lines in a Japanese font, readable by word
// processors. Text that the Shift-JIS code page holds goes out as \'hh bytes, the rest as \uN.
#include <string>
#include <vector>

namespace kestrel {

// One paragraph per line; the lines are UTF-8. The result is 7-bit ASCII.
std::string WriteRtf(const std::vector<std::string>& lines);

}  // namespace kestrel
