#include "ui/CellKind.h"

#include "ui/ComponentStream.h"

void TCellKind::Assign(const TCellKind& source) {
    CellType = source.CellType;
    ItemList = source.ItemList;
    DropDownWidth = source.DropDownWidth;
    Margin = source.Margin;
    TitleAlign = source.TitleAlign;
    CellAlign = source.CellAlign;
    EditLimit = source.EditLimit;
    Editable = source.Editable;
}

void TCellKind::SetItemList(const TCellItemList* items) {
    if (items)
        ItemList = *items;
    else
        ItemList.clear();
}

void TCellKind::SetTitleAlign(uint8_t value) {
    bool changed = value != TitleAlign;
    TitleAlign = value;
    if (changed && Grid) Grid->CellKindChanged();
}

void TCellKind::SetCellAlign(uint8_t value) {
    bool changed = value != CellAlign;
    CellAlign = value;
    if (changed && Grid) Grid->CellKindChanged();
}

const std::string& TCellKind::ItemText(size_t i) const {
    static const std::string empty;
    return i < ItemList.size() ? ItemList[i].Text : empty;
}

int TCellKind::IndexOf(const std::string& text) const {
    for (size_t i = 0; i < ItemList.size(); ++i)
        if (ItemList[i].Text == text) return static_cast<int>(i);
    return -1;
}

bool TCellKind::SameSettings(const TCellKind& o) const {
    return CellAlign == o.CellAlign && CellType == o.CellType && TitleAlign == o.TitleAlign &&
           ItemList == o.ItemList && Editable == o.Editable && DropDownWidth == o.DropDownWidth &&
           Margin == o.Margin && EditLimit == o.EditLimit;
}

std::string ToggleCheck(const std::string& text, const TCellKind& kind) {
    const TCellItemList& items = kind.ItemList;
    if (items.empty()) return text;  // no states: nothing to move to
    int i = kind.IndexOf(text);
    size_t next = 0;
    if (i >= 0 && items[i].Value != 1) {
        next = static_cast<size_t>(i);
        for (size_t k = 0; k < items.size(); ++k) {
            if (items[k].Value == 1) {
                next = k;
                break;
            }
        }
    }
    return items[next].Text;
}

std::string WriteCellKindProperty(const std::vector<const TCellKind*>& kinds) {
    kestrel::StreamWriter w;
    w.WriteListBegin();
    for (const TCellKind* k : kinds) {
        TCellKind defaults;
        const TCellKind& kind = k ? *k : defaults;
        w.WriteInteger(kind.CellType);
        w.WriteInteger(kind.TitleAlign);
        w.WriteInteger(kind.CellAlign);
        w.WriteInteger(static_cast<int32_t>(kind.ItemList.size()));
        for (const TCellItem& item : kind.ItemList) {
            w.WriteString(item.Text);
            if (kind.CellType == ctCheck) w.WriteInteger(item.Value);
        }
        w.WriteInteger(kind.DropDownWidth);
        w.WriteInteger(kind.Margin);
        w.WriteInteger(kind.EditLimit);
        w.WriteBoolean(kind.Editable);
    }
    w.WriteListEnd();
    return w.Bytes();
}

std::vector<TCellKind> ReadCellKindProperty(std::string_view bytes) {
    kestrel::StreamReader r(bytes);
    std::vector<TCellKind> kinds;
    r.ReadListBegin();
    while (!r.EndOfList()) {
        TCellKind kind;
        size_t at = r.Position();
        kind.CellType = static_cast<uint8_t>(r.ReadInteger());
        if (kind.CellType > ctCheck)
            throw kestrel::StreamError("unknown cell type " + std::to_string(kind.CellType) +
                                       " at byte " + std::to_string(at));
        kind.TitleAlign = static_cast<uint8_t>(r.ReadInteger());
        kind.CellAlign = static_cast<uint8_t>(r.ReadInteger());
        at = r.Position();
        int32_t n = r.ReadInteger();
        if (n < 0)
            throw kestrel::StreamError("negative entry count " + std::to_string(n) + " at byte " +
                                       std::to_string(at));
        // No reserve(n): the count comes from the data; truncated entries fail as they come.
        for (int32_t i = 0; i < n; ++i) {
            TCellItem item;
            item.Text = r.ReadString();
            if (kind.CellType == ctCheck) item.Value = r.ReadInteger();
            kind.ItemList.push_back(std::move(item));
        }
        kind.DropDownWidth = r.ReadInteger();
        kind.Margin = static_cast<int8_t>(r.ReadInteger());
        kind.EditLimit = r.ReadInteger();
        kind.Editable = r.ReadBoolean();
        kinds.push_back(std::move(kind));
    }
    r.ReadListEnd();
    return kinds;
}

std::string WriteCellDataProperty(const std::vector<TStoredCell>& cells) {
    kestrel::StreamWriter w;
    w.WriteListBegin();
    for (const TStoredCell& c : cells) {
        w.WriteInteger(c.Col);
        w.WriteInteger(c.Row);
        w.WriteString(c.Text);
    }
    w.WriteListEnd();
    return w.Bytes();
}

std::vector<TStoredCell> ReadCellDataProperty(std::string_view bytes) {
    kestrel::StreamReader r(bytes);
    std::vector<TStoredCell> cells;
    r.ReadListBegin();
    while (!r.EndOfList()) {
        TStoredCell c;
        size_t at = r.Position();
        c.Col = r.ReadInteger();
        c.Row = r.ReadInteger();
        if (c.Col < 0 || c.Row < 0)
            throw kestrel::StreamError("negative cell position " + std::to_string(c.Col) + ", " +
                                       std::to_string(c.Row) + " at byte " + std::to_string(at));
        c.Text = r.ReadString();
        cells.push_back(std::move(c));
    }
    r.ReadListEnd();
    return cells;
}
