#include "ui/GridForms.h"

#include <string>

#include "ui/CmbGrid.h"
#include "ui/ComponentStream.h"
#include "ui/StoredForms.h"

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
