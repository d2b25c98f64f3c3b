#pragma once
// The stored grid properties of this program's windows, kept as binary window-description
// data in src/ui/forms and compiled in.
#include <string_view>

namespace kestrel {

// The bytes of `property` ("CellKind" or "CellData") of the grid `grid` ("GridA",
// "ComboGrid1"); empty when there is no such stored value.
std::string_view StoredGridProperty(std::string_view grid, std::string_view property);

}  // namespace kestrel
