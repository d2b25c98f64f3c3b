#pragma once
// The comma-text rule by which every comma-separated file of the system is split into columns,
// and its inverse, the quoting rule used when resume files are written.
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Splits one line into columns. Works on UTF-8, where no byte of a multi-byte character can
// be taken for a comma, a quote or a blank. A NUL byte ends the line.
std::vector<std::string> SplitCommaText(std::string_view line);
// The same into a reused vector (keeps its capacity on hot paths).
void SplitCommaText(std::string_view line, std::vector<std::string>& columns);
// The same as views: into the line, or into `scratch` for a quoted column whose doubled
// quotes had to be undone. The views last while both the line and `scratch` are unchanged.
void SplitCommaText(std::string_view line, std::vector<std::string_view>& columns,
                    std::string& scratch);

// Quotes one column when it holds a character 1..32, a double quote or a comma.
std::string QuoteCommaColumn(std::string_view column);
// Joins columns with single commas, each quoted as needed.
std::string JoinCommaText(const std::vector<std::string>& columns);

}  // namespace kestrel
