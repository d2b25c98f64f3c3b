// Any bytes as a stored "CellKind" or "CellData" value: reading either fails with StreamError
// or gives values that write and read back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ui/CellKind.h"
#include "ui/ComponentStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<TCellKind> kinds = ReadCellKindProperty(bytes);
        std::vector<const TCellKind*> ptrs;
        for (const TCellKind& k : kinds) ptrs.push_back(&k);
        std::vector<TCellKind> back = ReadCellKindProperty(WriteCellKindProperty(ptrs));
        if (back.size() != kinds.size()) std::abort();
        for (size_t i = 0; i < kinds.size(); ++i)
            if (!back[i].SameSettings(kinds[i])) std::abort();
    } catch (const kestrel::StreamError&) {
    }
    try {
        std::vector<TStoredCell> cells = ReadCellDataProperty(bytes);
        if (ReadCellDataProperty(WriteCellDataProperty(cells)) != cells) std::abort();
    } catch (const kestrel::StreamError&) {
    }
    return 0;
}
