// Any resume-file line: reading must not crash, and a line that reads as a record must write
// back to a line that reads as the same record and writes the same again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ranking/Meigara.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    CMeigara m;
    if (!m.LoadFromLine(line) || m.Code.empty()) return 0;
    const std::string once = m.SaveToLine();
    CMeigara again;
    if (!again.LoadFromLine(once)) std::abort();
    if (again.SaveToLine() != once) std::abort();
    return 0;
}
