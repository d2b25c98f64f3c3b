#pragma once
// TComboGrid: the program's grid of text cells. It paints only the cells in view (no widget per
// cell) and lets a description per column (TCellKind) decide how the column's cells look and
// edit: aligned and formatted text, a drop-down choice, push buttons or check boxes.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QAbstractScrollArea>
#include <QFlags>
#include <QImage>
#include <QMenu>
#include <QPointer>

#include "ui/CellKind.h"
#include "ui/CmbInplace.h"

enum TGridDrawStateFlag { gdSelected = 0x1, gdFocused = 0x2, gdFixed = 0x4 };
Q_DECLARE_FLAGS(TGridDrawState, TGridDrawStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridDrawState)

enum TGridOption {
    goFixedVertLine = 0x0001,
    goFixedHorzLine = 0x0002,
    goVertLine = 0x0004,
    goHorzLine = 0x0008,
    goRangeSelect = 0x0010,
    goDrawFocusSelected = 0x0020,
    goColSizing = 0x0080,
    goEditing = 0x0100,
    goRowSelect = 0x0400,
    goAlwaysShowEditor = 0x0800,
};
Q_DECLARE_FLAGS(TGridOptions, TGridOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridOptions)

// A cell text cut to what the 256-byte drawing buffer holds: 255 bytes of Shift-JIS, never
// splitting a character.
std::string FitTextBuffer(std::string_view utf8);

class TComboGrid : public QAbstractScrollArea, public TCellKindHost, private TInplaceEditHost {
    Q_OBJECT

public:
    using TDrawCellEvent = std::function<void(QPainter& canvas, int col, int row, const QRect& rect,
                                              TGridDrawState state)>;
    using TGridBtnClick = std::function<void(int col, int row)>;
    using TCellEvent = std::function<void(int col, int row)>;
    using THeaderClick = std::function<void(int col)>;

    explicit TComboGrid(QWidget* parent = nullptr);
    ~TComboGrid() override;

    int ColCount() const { return colCount_; }
    void SetColCount(int count);
    int RowCount() const { return rowCount_; }
    void SetRowCount(int count);
    int FixedCols() const { return fixedCols_; }
    void SetFixedCols(int count);
    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int count);
    int DefaultRowHeight() const { return rowHeight_; }
    void SetDefaultRowHeight(int height);
    int DefaultColWidth() const { return defaultColWidth_; }
    void SetDefaultColWidth(int width);
    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    TGridOptions Options() const { return options_; }
    void SetOptions(TGridOptions options);
    bool DefaultDrawing() const { return defaultDrawing_; }
    void SetDefaultDrawing(bool on);

    // Cells outside the grid read as empty; writes outside it are ignored.
    const std::string& Cells(int col, int row) const;
    void SetCells(int col, int row, std::string text);

    // The current cell.
    int Col() const { return col_; }
    int Row() const { return row_; }
    void SetCurrentCell(int col, int row);
    int TopRow() const { return topRow_; }
    void SetTopRow(int row);
    int LeftCol() const { return leftCol_; }

    // A cell's rectangle in viewport coordinates, without its grid lines; empty when the cell
    // is out of view.
    QRect CellRect(int col, int row) const;
    // The cell under a viewport point; false when the point is on no cell.
    bool MouseToCell(const QPoint& pos, int& col, int& row) const;

    // The column's description, made with the defaults when the column has none yet.
    TCellKind& GetCellKind(int col);
    size_t CellKindCount() const { return cellKinds_.size(); }

    // The stored properties. The readers throw kestrel::StreamError on bad data; a reader that
    // fails leaves the grid as it was.
    std::string CellKindProperty() const;
    void ReadCellKindProperty(std::string_view bytes);
    std::string CellDataProperty() const;
    void ReadCellDataProperty(std::string_view bytes);

    // The in-place editor; none until it is first shown.
    TComboInplaceEdit* InplaceEditor() const { return editor_; }
    bool EditorMode() const;
    void ShowEditor();
    void HideEditor();
    // Decisions for the current cell's editor.
    bool CanEditShow();
    std::string GetEditMask(int col, int row);
    int GetEditLimit(int col, int row);

    int PressedCol() const { return pressedCol_; }
    int PressedRow() const { return pressedRow_; }

    // Context menu of the grid, shown on a right click or the menu key (not owned).
    void SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }
    QMenu* PopupMenu() const { return popupMenu_; }

    // The whole control drawn into an image, as it would appear on screen.
    QImage GrabImage();

    // Raised for every cell after the grid's own drawing; the painter is clipped to the cell and
    // restored afterwards, so a handler may change its composition mode (for example a
    // bitwise-OR raster operation) freely.
    TDrawCellEvent OnDrawCell;
    TGridBtnClick OnGridBtnClick;
    // A left click released on the header cell it was pressed on (not a column-border drag).
    THeaderClick OnHeaderClick;
    // The current cell moved, by the user or by SetCurrentCell.
    TCellEvent OnSelectCell;
    // A double click on a data cell, or Enter on one, in a grid that does not edit.
    TCellEvent OnOpenCell;

    // Data cells of a column whose text is wider than the cell end in "…" and show their whole
    // text as a tool tip (off for every column at first).
    void SetElideColumn(int col, bool on);
    bool ElideColumn(int col) const;
    // The tool tip of a data cell: its whole text when the cell shows it cut, else empty.
    QString CellToolTip(int col, int row) const;

    void CellKindChanged() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    // The in-place editor's host.
    QWidget* EditorParent() override { return viewport(); }
    std::string EditedCellText() const override { return Cells(Col(), Row()); }
    void EditorListPicked() override {
        if (OnGridBtnClick) OnGridBtnClick(Col(), Row());
    }
    void EditorKey(QKeyEvent* event) override;

    // What the grid itself draws for a cell, then OnDrawCell.
    void DrawCell(QPainter& p, int col, int row, const QRect& rect, TGridDrawState state);
    void DrawCellText(QPainter& p, const TCellKind& kind, const std::string& text,
                      const QRect& rect, uint8_t align, bool fixed, bool formatted,
                      bool elide = false);
    // The text a text cell shows before any cut: formatted by its column, fitted to the buffer.
    QString ShownText(const TCellKind& kind, const std::string& text, bool formatted) const;
    void DrawButtonFace(QPainter& p, const QRect& rect, const std::string& caption, bool pressed,
                        bool focused);
    void DrawCheckBox(QPainter& p, const TCellKind& kind, const QRect& rect,
                      const std::string& caption, bool pressed);
    void DrawFace(QPainter& p, int col, int row, const QRect& rect, bool pressed, bool focused);
    void PaintCellBackground(QPainter& p, int col, int row, const QRect& rect,
                             TGridDrawState state);
    TGridDrawState CellState(int col, int row) const;
    bool IsActive() const;

    void LeftPress(const QPoint& pos);
    void LeftRelease(const QPoint& pos);
    void BaseLeftPress(const QPoint& pos);
    void MoveCurrent(int col, int row);
    void ScrollInView(int col, int row);
    void UpdateScrollBars();
    void UpdateEditorGeometry();
    void UpdateCell(int col, int row);
    bool InFixed(int col, int row) const { return col < fixedCols_ || row < fixedRows_; }
    int LineWidthX(int col) const;
    int LineWidthY(int row) const;
    int RowStep(int row) const { return rowHeight_ + LineWidthY(row); }
    int FixedWidth() const;
    int FixedHeight() const;
    int ColLeft(int col) const;  // -1 when out of view
    int RowTop(int row) const;   // -1 when out of view
    int VisibleRows() const;
    int SizingColumnAt(const QPoint& pos) const;
    void OnEditorTextChanged(const QString& text);
    void OnFocusChanged(QWidget* old, QWidget* now);

    int colCount_ = 5;
    int rowCount_ = 5;
    int fixedCols_ = 1;
    int fixedRows_ = 1;
    int rowHeight_ = 24;
    int defaultColWidth_ = 64;
    std::vector<int> colWidths_;
    TGridOptions options_ =
        goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine | goRangeSelect;
    bool defaultDrawing_ = true;
    std::vector<std::string> cells_;  // row-major, rowCount_ * colCount_
    int col_ = 1;
    int row_ = 1;
    int topRow_ = 1;
    int leftCol_ = 1;

    int pressedCol_ = -1;
    int pressedRow_ = -1;
    std::vector<std::unique_ptr<TCellKind>> cellKinds_;
    TGridDrawState pressedState_;
    bool pressedDown_ = false;  // the pressed cell is drawn sunken

    bool leftHeld_ = false;
    int sizingCol_ = -1;
    int sizingOffset_ = 0;
    int headerPressCol_ = -1;  // the header cell a left press went to, for OnHeaderClick
    std::vector<bool> elided_;
    int focusMarkCol_ = -1;  // the cell that keeps a focus rectangle after a button release
    int focusMarkRow_ = -1;

    TComboInplaceEdit* editor_ = nullptr;  // child of the viewport
    bool editorMode_ = false;
    int editCol_ = -1;
    int editRow_ = -1;
    std::string textBeforeEdit_;
    bool loadingEditor_ = false;
    QPointer<QMenu> popupMenu_;
};
