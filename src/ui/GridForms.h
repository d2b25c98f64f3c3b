#pragma once
// Applies the stored window-description properties of this program's grids to a grid at
// window creation: the header texts, the alignments and the list entries come from them.
#include <string_view>

class TComboGrid;

namespace kestrel {

// Reads "CellKind" and then "CellData" of `gridName` ("GridA", "ComboGrid1") into `grid`,
// whose size must already hold the stored cells. Throws StreamError on a missing or bad value.
void LoadStoredGrid(TComboGrid& grid, std::string_view gridName);

}  // namespace kestrel
