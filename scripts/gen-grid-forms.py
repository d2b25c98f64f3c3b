#!/usr/bin/env python3
"""Writes the stored "CellKind" and "CellData" values of the program's two grids (GridA of the
main window, ComboGrid1 of the watch-list editor) into src/ui/forms/. Run once; the output is
committed. The tags are those of the window designer that made the original descriptions:
UTF-16 for Japanese and empty texts, one-byte Shift-JIS strings for ASCII entries, the shortest
integer tag. That is not what our own writer picks, so the reader is tested against both."""
import os
import struct
import sys

def integer(v):
    if -128 <= v <= 127:
        return b"\x02" + struct.pack("<b", v)
    if -32768 <= v <= 32767:
        return b"\x03" + struct.pack("<h", v)
    return b"\x04" + struct.pack("<i", v)

def text(s):
    if s == "" or not s.isascii():
        units = s.encode("utf-16-le")
        return b"\x12" + struct.pack("<I", len(units) // 2) + units
    return b"\x06" + bytes([len(s)]) + s.encode("ascii")

def boolean(v):
    return b"\x09" if v else b"\x08"

def cell_kind(columns):
    out = b"\x01"
    for ctype, title, cell, entries, width, margin, limit, editable in columns:
        out += integer(ctype) + integer(title) + integer(cell) + integer(len(entries))
        for e in entries:
            out += text(e)
        out += integer(width) + integer(margin) + integer(limit) + boolean(editable)
    return out + b"\x00"

def cell_data(headers):
    out = b"\x01"
    for col, h in enumerate(headers):
        out += integer(col) + integer(0) + text(h)
    return out + b"\x00"

GRID_A_HEADERS = ["コード", "銘柄名", "前日終値", "ギャップ", "現在値", "当日比率", "前日比率",
                  "S高", "S高利幅", "時刻"]
GRID_A_KINDS = ([(0, 18, 17, ["", ""], 0, 2, 0, True)] * 2 +
                [(0, 18, 20, ["", ""], 0, 2, 0, True)] * 7 +
                [(0, 18, 18, ["", ""], 0, 2, 0, True)])
COMBO_HEADERS = ["コード", "市場", "銘柄名"]
COMBO_KINDS = [(0, 17, 17, [], 0, 2, 0, True),
               (1, 17, 17, ["東証", "大証", "JASDAQ", "HC"], 185, 2, 0, True),
               (0, 17, 17, [], 0, 2, 0, True)]

def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "forms")
    os.makedirs(root, exist_ok=True)
    files = {
        "GridA.CellKind.bin": cell_kind(GRID_A_KINDS),
        "GridA.CellData.bin": cell_data(GRID_A_HEADERS),
        "ComboGrid1.CellKind.bin": cell_kind(COMBO_KINDS),
        "ComboGrid1.CellData.bin": cell_data(COMBO_HEADERS),
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes", file=sys.stderr)

if __name__ == "__main__":
    main()
