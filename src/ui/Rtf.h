#pragma once
// A small RTF writer for the event log: plain lines in a Japanese font (Shift-JIS code page),
// readable by word processors; non-ASCII text goes out as Unicode control words.
#include <string>
#include <vector>

namespace kestrel {

// One paragraph per line; the lines are UTF-8. The result is 7-bit ASCII.
std::string WriteRtf(const std::vector<std::string>& lines);

}  // namespace kestrel
