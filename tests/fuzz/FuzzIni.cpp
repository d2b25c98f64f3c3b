// Any file content: reading must not crash; writing a key must keep the other keys readable
// with their old values and make the written one read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string raw;
    bool had = kestrel::IniFile::LookupIn(bytes, "PARA", "rate", raw);
    (void)kestrel::IniFile::LookupIn(bytes, "GRID", "width01", raw);
    std::string before;
    bool hadOther = kestrel::IniFile::LookupIn(bytes, "DEBUG", "flg", before);
    std::string out = kestrel::IniFile::SpliceValue(bytes, "GRID", "width01", "123");
    std::string back;
    if (!kestrel::IniFile::LookupIn(out, "GRID", "width01", back) || back != "123") std::abort();
    std::string after;
    bool hasOther = kestrel::IniFile::LookupIn(out, "DEBUG", "flg", after);
    if (hadOther != hasOther || (hadOther && before != after)) std::abort();
    (void)had;
    return 0;
}
