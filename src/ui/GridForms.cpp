#include "GridForms.h"

#include <string>

#include "CmbGrid.h"
#include "ComponentStream.h"
#include "StoredForms.h"

namespace kestrel {

void LoadStoredGrid(TComboGrid& grid, std::string_view gridName) {
    std::string_view kinds = StoredGridProperty(gridName, "CellKind");
    std::string_view data = StoredGridProperty(gridName, "CellData");
    if (kinds.empty() || data.empty())
        throw StreamError("no stored grid description for " + std::string(gridName));
    try {
        grid.ReadCellKindProperty(kinds);
        grid.ReadCellDataProperty(data);
    } catch (const StreamError& e) {
        throw StreamError(std::string(gridName) + ": " + e.what());
    }
}

}  // namespace kestrel
