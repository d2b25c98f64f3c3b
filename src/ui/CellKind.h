#pragma once
// The per-column description of a combo grid: how the column's cells are drawn and edited.
// Kept free of the widget toolkit so that the stored-property reader builds on its own.
#include <cstdint>
#include <string>
#include <vector>

enum TCellType : uint8_t { ctText = 0, ctList = 1, ctButton = 2, ctCheck = 3 };

// Alignment flags of `CellAlign` and `TitleAlign`.
enum TCellAlignFlag : uint8_t {
    caLeft = 0x01,
    caCenter = 0x02,
    caRight = 0x04,
    caTop = 0x08,
    caVCenter = 0x10,
    caBottom = 0x20,
};

// The caption marker of a button column whose buttons show their own cell's text.
inline constexpr const char* kUseCellData = "%%USECELLDATA%%";

// An entry of `ItemList`: a text and the integer that goes with it.
struct TCellItem {
    std::string Text;
    int32_t Value = 0;
    bool operator==(const TCellItem&) const = default;
};
using TCellItemList = std::vector<TCellItem>;

// What a description tells its grid when an alignment changes.
class TCellKindHost {
public:
    virtual void CellKindChanged() = 0;

protected:
    ~TCellKindHost() = default;
};

class TCellKind {
public:
    TCellKind() = default;
    explicit TCellKind(TCellKindHost* grid) : Grid(grid) {}

    // Copies everything except `Grid`.
    void Assign(const TCellKind& source);
    // Copies the texts and integers of `items`, or empties the list when given none.
    void SetItemList(const TCellItemList* items);
    void SetTitleAlign(uint8_t value);
    void SetCellAlign(uint8_t value);

    // Entry i's text; empty when there is no such entry.
    const std::string& ItemText(size_t i) const;
    // Position of the entry whose text is exactly `text`; -1 when none.
    int IndexOf(const std::string& text) const;

    bool SameSettings(const TCellKind& other) const;

    uint8_t CellAlign = caLeft | caVCenter;
    uint8_t CellType = ctText;
    uint8_t TitleAlign = caLeft | caVCenter;
    TCellKindHost* Grid = nullptr;  // not owned
    TCellItemList ItemList;
    bool Editable = true;
    int32_t DropDownWidth = 0;
    int8_t Margin = 2;
    int32_t EditLimit = 0;
};

// The next state of a check cell that shows `text`.
std::string ToggleCheck(const std::string& text, const TCellKind& kind);

// A cell text as the stored "CellData" property carries it.
struct TStoredCell {
    int32_t Col = 0;
    int32_t Row = 0;
    std::string Text;
    bool operator==(const TStoredCell&) const = default;
};

// The stored properties "CellKind" (one group per column) and "CellData" (one group per
// non-empty cell). The readers throw kestrel::StreamError on data they cannot take.
std::string WriteCellKindProperty(const std::vector<const TCellKind*>& kinds);
std::vector<TCellKind> ReadCellKindProperty(std::string_view bytes);
std::string WriteCellDataProperty(const std::vector<TStoredCell>& cells);
std::vector<TStoredCell> ReadCellDataProperty(std::string_view bytes);
