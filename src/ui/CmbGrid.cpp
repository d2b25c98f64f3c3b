#include "ui/CmbGrid.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QToolTip>

#include "common/Codec.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "ui/CmbInplace.h"
#include "ui/ComponentStream.h"

namespace {

constexpr size_t kTextBufferBytes = 255;
const std::string kEmpty;

// Lines of fixed cells are black, those between data cells light grey, like the base grid of
// the original windows.
const QColor kFixedLineColor(0, 0, 0);
const QColor kLineColor(192, 192, 192);

void FillLine(QPainter& p, int x1, int y1, int x2, int y2, const QColor& c) {
    p.fillRect(QRect(QPoint(std::min(x1, x2), std::min(y1, y2)),
                     QPoint(std::max(x1, x2), std::max(y1, y2))),
               c);
}

// A 1-pixel frame on the border of r: `topLeft` on the top and left, `bottomRight` on the
// bottom and right.
void Frame(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
    FillLine(p, r.left(), r.top(), r.right(), r.top(), topLeft);
    FillLine(p, r.left(), r.top(), r.left(), r.bottom(), topLeft);
    FillLine(p, r.left(), r.bottom(), r.right(), r.bottom(), bottomRight);
    FillLine(p, r.right(), r.top(), r.right(), r.bottom(), bottomRight);
}

size_t Utf8Length(unsigned char c) { return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1; }

}  // namespace

std::string FitTextBuffer(std::string_view utf8) {
    // A character never takes more bytes in Shift-JIS than in UTF-8, so short texts fit as
    // they are; only long ones are measured.
    if (utf8.size() <= kTextBufferBytes || kestrel::Utf8ToCp932(utf8).size() <= kTextBufferBytes)
        return std::string(utf8);
    size_t bytes = 0, i = 0;
    while (i < utf8.size()) {
        size_t len = std::min(Utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        size_t w = kestrel::Utf8ToCp932(utf8.substr(i, len)).size();
        if (bytes + w > kTextBufferBytes) break;
        bytes += w;
        i += len;
    }
    return std::string(utf8.substr(0, i));
}

TComboGrid::TComboGrid(QWidget* parent) : QAbstractScrollArea(parent) {
    QFont f = font();
    f.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                   QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP")});
    f.setPixelSize(12);
    setFont(f);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    colWidths_.assign(colCount_, defaultColWidth_);
    cells_.resize(static_cast<size_t>(colCount_) * rowCount_);
    connect(qApp, &QApplication::focusChanged, this, &TComboGrid::OnFocusChanged);
    UpdateScrollBars();
}

TComboGrid::~TComboGrid() {
    // The children go after this body, in QWidget's destructor: a focus change or an editor
    // signal then must not reach a grid that is no longer one.
    disconnect(qApp, nullptr, this, nullptr);
    if (editor_) disconnect(editor_, nullptr, this, nullptr);
}

// ---- size and layout ---------------------------------------------------------------------

void TComboGrid::SetColCount(int count) {
    count = std::max(1, count);
    if (count == colCount_) return;
    HideEditor();
    std::vector<std::string> cells(static_cast<size_t>(count) * rowCount_);
    int keep = std::min(count, colCount_);
    for (int r = 0; r < rowCount_; ++r)
        for (int c = 0; c < keep; ++c)
            cells[static_cast<size_t>(r) * count + c] =
                std::move(cells_[static_cast<size_t>(r) * colCount_ + c]);
    cells_ = std::move(cells);
    colCount_ = count;
    colWidths_.resize(count, defaultColWidth_);
    if (fixedCols_ >= count) fixedCols_ = count - 1;
    col_ = std::clamp(col_, fixedCols_, count - 1);
    leftCol_ = std::clamp(leftCol_, fixedCols_, count - 1);
    UpdateScrollBars();
    viewport()->update();
}

void TComboGrid::SetRowCount(int count) {
    count = std::max(1, count);
    if (count == rowCount_) return;
    if (editorMode_ && editRow_ >= count) HideEditor();
    rowCount_ = count;
    cells_.resize(static_cast<size_t>(colCount_) * rowCount_);
    if (fixedRows_ >= count) fixedRows_ = count - 1;
    int row = std::clamp(row_, fixedRows_, count - 1);
    if (row != row_) {
        row_ = row;
        focusMarkCol_ = focusMarkRow_ = -1;
    }
    if (pressedRow_ >= count) pressedCol_ = pressedRow_ = -1;
    UpdateScrollBars();
    viewport()->update();
}

void TComboGrid::SetFixedCols(int count) {
    count = std::clamp(count, 0, colCount_ - 1);
    fixedCols_ = count;
    col_ = std::max(col_, fixedCols_);
    leftCol_ = std::max(leftCol_, fixedCols_);
    UpdateScrollBars();
    viewport()->update();
}

void TComboGrid::SetFixedRows(int count) {
    count = std::clamp(count, 0, rowCount_ - 1);
    fixedRows_ = count;
    row_ = std::max(row_, fixedRows_);
    topRow_ = std::max(topRow_, fixedRows_);
    UpdateScrollBars();
    viewport()->update();
}

void TComboGrid::SetDefaultRowHeight(int height) {
    rowHeight_ = std::max(1, height);
    UpdateScrollBars();
    UpdateEditorGeometry();
    viewport()->update();
}

void TComboGrid::SetDefaultColWidth(int width) {
    defaultColWidth_ = std::max(0, width);
    std::fill(colWidths_.begin(), colWidths_.end(), defaultColWidth_);
    UpdateScrollBars();
    UpdateEditorGeometry();
    viewport()->update();
}

int TComboGrid::ColWidths(int col) const {
    return col >= 0 && col < colCount_ ? colWidths_[col] : 0;
}

void TComboGrid::SetColWidths(int col, int width) {
    if (col < 0 || col >= colCount_) return;
    colWidths_[col] = std::max(0, width);
    UpdateScrollBars();
    UpdateEditorGeometry();
    viewport()->update();
}

void TComboGrid::SetOptions(TGridOptions options) {
    options_ = options;
    if (!(options_ & goEditing)) HideEditor();
    UpdateScrollBars();
    viewport()->update();
}

void TComboGrid::SetDefaultDrawing(bool on) {
    defaultDrawing_ = on;
    viewport()->update();
}

int TComboGrid::LineWidthX(int col) const {
    return (options_ & (col < fixedCols_ ? goFixedVertLine : goVertLine)) ? 1 : 0;
}

int TComboGrid::LineWidthY(int row) const {
    return (options_ & (row < fixedRows_ ? goFixedHorzLine : goHorzLine)) ? 1 : 0;
}

int TComboGrid::FixedWidth() const {
    int w = 0;
    for (int c = 0; c < fixedCols_; ++c) w += colWidths_[c] + LineWidthX(c);
    return w;
}

int TComboGrid::FixedHeight() const { return fixedRows_ * (rowHeight_ + LineWidthY(0)); }

int TComboGrid::ColLeft(int col) const {
    if (col < 0 || col >= colCount_) return -1;
    int x = 0;
    if (col < fixedCols_) {
        for (int c = 0; c < col; ++c) x += colWidths_[c] + LineWidthX(c);
        return x;
    }
    if (col < leftCol_) return -1;
    x = FixedWidth();
    for (int c = leftCol_; c < col; ++c) {
        x += colWidths_[c] + LineWidthX(c);
        if (x >= viewport()->width()) return -1;
    }
    return x < viewport()->width() ? x : -1;
}

int TComboGrid::RowTop(int row) const {
    if (row < 0 || row >= rowCount_) return -1;
    if (row < fixedRows_) return row * RowStep(0);
    if (row < topRow_) return -1;
    int y = FixedHeight() + (row - topRow_) * RowStep(row);
    return y < viewport()->height() ? y : -1;
}

int TComboGrid::VisibleRows() const {
    int step = RowStep(fixedRows_);
    return std::max(0, (viewport()->height() - FixedHeight()) / step);
}

QRect TComboGrid::CellRect(int col, int row) const {
    int x = ColLeft(col), y = RowTop(row);
    if (x < 0 || y < 0) return {};
    return QRect(x, y, colWidths_[col], rowHeight_);
}

bool TComboGrid::MouseToCell(const QPoint& pos, int& col, int& row) const {
    col = row = -1;
    if (pos.x() < 0 || pos.y() < 0) return false;
    int x = 0;
    for (int c = 0; c < colCount_; ++c) {
        if (c == fixedCols_) c = leftCol_;
        if (c >= colCount_) break;
        int next = x + colWidths_[c] + LineWidthX(c);
        if (pos.x() < next) {
            col = c;
            break;
        }
        x = next;
    }
    int fh = FixedHeight();
    if (pos.y() < fh) {
        row = pos.y() / RowStep(0);
    } else {
        int r = topRow_ + (pos.y() - fh) / RowStep(fixedRows_);
        if (r < rowCount_) row = r;
    }
    if (row >= rowCount_) row = -1;
    return col >= 0 && row >= 0;
}

void TComboGrid::UpdateScrollBars() {
    int fullRows = VisibleRows();
    int nonFixedRows = rowCount_ - fixedRows_;
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, std::max(0, nonFixedRows - std::max(1, fullRows)));
    v->setPageStep(std::max(1, fullRows));
    v->setSingleStep(1);

    // The last left column that still shows every column up to the end.
    int avail = viewport()->width() - FixedWidth();
    int maxLeft = colCount_ - 1;
    int used = 0;
    for (int c = colCount_ - 1; c >= fixedCols_; --c) {
        used += colWidths_[c] + LineWidthX(c);
        if (used > avail) break;
        maxLeft = c;
    }
    maxLeft = std::max(maxLeft, fixedCols_);
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, maxLeft - fixedCols_);
    h->setPageStep(1);
    topRow_ = fixedRows_ + v->value();
    leftCol_ = fixedCols_ + h->value();
}

void TComboGrid::scrollContentsBy(int, int) {
    topRow_ = fixedRows_ + verticalScrollBar()->value();
    leftCol_ = fixedCols_ + horizontalScrollBar()->value();
    UpdateEditorGeometry();
    viewport()->update();
}

void TComboGrid::SetTopRow(int row) {
    verticalScrollBar()->setValue(row - fixedRows_);
    topRow_ = fixedRows_ + verticalScrollBar()->value();
}

void TComboGrid::ScrollInView(int col, int row) {
    if (row >= fixedRows_) {
        int full = std::max(1, VisibleRows());
        if (row < topRow_)
            SetTopRow(row);
        else if (row >= topRow_ + full)
            SetTopRow(row - full + 1);
    }
    if (col >= fixedCols_) {
        QScrollBar* h = horizontalScrollBar();
        if (col < leftCol_) {
            h->setValue(col - fixedCols_);
        } else {
            int avail = viewport()->width() - FixedWidth();
            auto fits = [&] {
                int w = 0;
                for (int c = leftCol_; c <= col; ++c) w += colWidths_[c] + LineWidthX(c);
                return w <= avail;
            };
            while (leftCol_ < col && !fits() && leftCol_ - fixedCols_ < h->maximum()) {
                h->setValue(h->value() + 1);
                leftCol_ = fixedCols_ + h->value();
            }
        }
        leftCol_ = fixedCols_ + h->value();
    }
}

void TComboGrid::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
    UpdateEditorGeometry();
}

// ---- cells and descriptions ----------------------------------------------------------------

const std::string& TComboGrid::Cells(int col, int row) const {
    if (col < 0 || row < 0 || col >= colCount_ || row >= rowCount_) return kEmpty;
    return cells_[static_cast<size_t>(row) * colCount_ + col];
}

void TComboGrid::SetCells(int col, int row, std::string text) {
    if (col < 0 || row < 0 || col >= colCount_ || row >= rowCount_) return;
    std::string& cell = cells_[static_cast<size_t>(row) * colCount_ + col];
    if (cell == text) return;
    cell = std::move(text);
    if (editorMode_ && col == editCol_ && row == editRow_ && !loadingEditor_ &&
        editor_->text().toStdString() != cell) {
        loadingEditor_ = true;
        editor_->setText(QString::fromStdString(cell));
        loadingEditor_ = false;
    }
    UpdateCell(col, row);
}

void TComboGrid::UpdateCell(int, int row) {
    // One update of the whole view is cheaper than a region of many cells, and a rebuild of
    // thousands of rows must not pay for the rows out of view.
    if (!isVisible() || RowTop(row) < 0) return;
    viewport()->update();
}

TCellKind& TComboGrid::GetCellKind(int col) {
    if (col < 0) col = 0;
    if (static_cast<size_t>(col) >= cellKinds_.size()) cellKinds_.resize(col + 1);
    auto& slot = cellKinds_[col];
    if (!slot) slot = std::make_unique<TCellKind>(this);
    return *slot;
}

void TComboGrid::CellKindChanged() { viewport()->update(); }

std::string TComboGrid::CellKindProperty() const {
    std::vector<const TCellKind*> kinds;
    for (int c = 0; c < colCount_; ++c)
        kinds.push_back(static_cast<size_t>(c) < cellKinds_.size() ? cellKinds_[c].get() : nullptr);
    return WriteCellKindProperty(kinds);
}

void TComboGrid::ReadCellKindProperty(std::string_view bytes) {
    std::vector<TCellKind> kinds = ::ReadCellKindProperty(bytes);
    HideEditor();
    cellKinds_.clear();
    for (TCellKind& k : kinds) {
        auto kind = std::make_unique<TCellKind>();  // stored descriptions have no grid
        kind->Assign(k);
        cellKinds_.push_back(std::move(kind));
    }
    viewport()->update();
}

std::string TComboGrid::CellDataProperty() const {
    std::vector<TStoredCell> cells;
    for (int r = 0; r < rowCount_; ++r)
        for (int c = 0; c < colCount_; ++c)
            if (const std::string& t = Cells(c, r); !t.empty()) cells.push_back({c, r, t});
    return WriteCellDataProperty(cells);
}

void TComboGrid::ReadCellDataProperty(std::string_view bytes) {
    std::vector<TStoredCell> cells = ::ReadCellDataProperty(bytes);
    for (const TStoredCell& c : cells) {
        if (c.Col >= colCount_ || c.Row >= rowCount_)
            throw kestrel::StreamError("stored cell " + std::to_string(c.Col) + ", " +
                                       std::to_string(c.Row) + " lies outside the grid of " +
                                       std::to_string(colCount_) + " x " +
                                       std::to_string(rowCount_) + " cells");
    }
    for (const TStoredCell& c : cells) SetCells(c.Col, c.Row, c.Text);
}

// ---- drawing -----------------------------------------------------------------------------

bool TComboGrid::IsActive() const {
    QWidget* f = QApplication::focusWidget();
    return f && (f == this || f == viewport() || (editor_ && f == editor_));
}

TGridDrawState TComboGrid::CellState(int col, int row) const {
    if (InFixed(col, row)) return gdFixed;
    TGridDrawState s;
    if (col == col_ && row == row_ && IsActive()) s |= gdFocused;
    if (row == row_ && (col == col_ || (options_ & goRowSelect))) s |= gdSelected;
    return s;
}

void TComboGrid::PaintCellBackground(QPainter& p, int, int, const QRect& rect,
                                     TGridDrawState state) {
    const QPalette& pal = palette();
    QColor brush = pal.color(QPalette::Base), pen = pal.color(QPalette::Text);
    if (state & gdFixed) {
        brush = pal.color(QPalette::Button);
        pen = pal.color(QPalette::ButtonText);
    } else if ((state & gdSelected) &&
               (!(state & gdFocused) || (options_ & (goDrawFocusSelected | goRowSelect)))) {
        brush = pal.color(QPalette::Highlight);
        pen = pal.color(QPalette::HighlightedText);
    }
    p.fillRect(rect, brush);
    p.setBrush(brush);
    p.setPen(pen);
}

void TComboGrid::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setFont(font());
    const QRect view = viewport()->rect();
    const QPalette& pal = palette();

    // Columns and rows in view, with their positions.
    std::vector<std::pair<int, int>> cols, rows;
    for (int c = 0, x = 0; c < colCount_ && x < view.width(); ++c) {
        if (c == fixedCols_) c = leftCol_;
        if (c >= colCount_) break;
        cols.emplace_back(c, x);
        x += colWidths_[c] + LineWidthX(c);
    }
    for (int r = 0, y = 0; r < rowCount_ && y < view.height(); ++r) {
        if (r == fixedRows_) r = topRow_;
        if (r >= rowCount_) break;
        rows.emplace_back(r, y);
        y += RowStep(r);
    }
    int right = cols.empty() ? 0
                             : cols.back().second + colWidths_[cols.back().first] +
                                   LineWidthX(cols.back().first);
    int bottom = rows.empty() ? 0 : rows.back().second + RowStep(rows.back().first);
    p.fillRect(QRect(right, 0, view.width() - right, view.height()), pal.color(QPalette::Base));
    p.fillRect(QRect(0, bottom, right, view.height() - bottom), pal.color(QPalette::Base));

    for (auto [r, y] : rows) {
        for (auto [c, x] : cols) {
            QRect rect(x, y, colWidths_[c], rowHeight_);
            TGridDrawState state = CellState(c, r);
            p.save();
            PaintCellBackground(p, c, r, rect, state);
            DrawCell(p, c, r, rect, state);
            p.restore();
            bool fixed = state & gdFixed;
            if (defaultDrawing_ && fixed && (options_ & (goFixedVertLine | goFixedHorzLine))) {
                // Raised edge of header cells.
                FillLine(p, rect.left(), rect.top(), rect.right(), rect.top(),
                         pal.color(QPalette::Light));
                FillLine(p, rect.left(), rect.top(), rect.left(), rect.bottom(),
                         pal.color(QPalette::Light));
                FillLine(p, rect.left(), rect.bottom(), rect.right(), rect.bottom(),
                         pal.color(QPalette::Dark));
                FillLine(p, rect.right(), rect.top(), rect.right(), rect.bottom(),
                         pal.color(QPalette::Dark));
            }
            const QColor& line = fixed ? kFixedLineColor : kLineColor;
            if (LineWidthX(c))
                FillLine(p, rect.right() + 1, y, rect.right() + 1, y + RowStep(r) - 1, line);
            if (LineWidthY(r))
                FillLine(p, x, rect.bottom() + 1, rect.right() + LineWidthX(c), rect.bottom() + 1,
                         line);
            if (defaultDrawing_ && (state & gdFocused) && !(options_ & goRowSelect) &&
                !editorMode_) {
                QStyleOptionFocusRect fo;
                fo.initFrom(this);
                fo.rect = rect;
                fo.backgroundColor = pal.color(QPalette::Highlight);
                style()->drawPrimitive(QStyle::PE_FrameFocusRect, &fo, &p, this);
            }
        }
    }

    // A button or check cell that is current shows its plain face, not the focus look the
    // loop gave it.
    if (col_ < colCount_ && row_ < rowCount_ && !InFixed(col_, row_)) {
        uint8_t type = GetCellKind(col_).CellType;
        QRect rect = CellRect(col_, row_);
        if ((type == ctButton || type == ctCheck) && !rect.isEmpty()) {
            p.save();
            PaintCellBackground(p, col_, row_, rect, {});
            DrawCell(p, col_, row_, rect, {});
            p.restore();
        }
    }
    auto focusRect = [&](int c, int r) {
        QRect rect = CellRect(c, r);
        if (rect.isEmpty()) return;
        QStyleOptionFocusRect fo;
        fo.initFrom(this);
        fo.rect = rect;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &fo, &p, this);
    };
    if (pressedDown_ && pressedCol_ >= 0)
        focusRect(pressedCol_, pressedRow_);
    else if (focusMarkCol_ >= 0 && IsActive())
        focusRect(focusMarkCol_, focusMarkRow_);
}

void TComboGrid::DrawCell(QPainter& p, int col, int row, const QRect& rect, TGridDrawState state) {
    if (defaultDrawing_) {
        TCellKind& kind = GetCellKind(col);
        const std::string& text = Cells(col, row);
        bool textType = kind.CellType == ctText || kind.CellType == ctList;
        if (state & gdFixed) {
            if (row < fixedRows_ || textType)
                DrawCellText(p, kind, text, rect, kind.TitleAlign, true, false);
            else
                DrawFace(p, col, row, rect, false, false);
        } else if (textType) {
            DrawCellText(p, kind, text, rect, kind.CellAlign, false, kind.CellType == ctText,
                         ElideColumn(col));
        } else {
            bool pressed = pressedDown_ && col == pressedCol_ && row == pressedRow_;
            DrawFace(p, col, row, rect, pressed, state & gdFocused);
        }
    }
    if (OnDrawCell) {
        p.save();
        p.setClipRect(rect);
        OnDrawCell(p, col, row, rect, state);
        p.restore();
    }
}

void TComboGrid::DrawFace(QPainter& p, int col, int row, const QRect& rect, bool pressed,
                          bool focused) {
    TCellKind& kind = GetCellKind(col);
    bool ownText =
        kind.ItemText(0) == kUseCellData || (kind.CellType == ctCheck && !InFixed(col, row));
    const std::string& caption = ownText ? Cells(col, row) : kind.ItemText(0);
    if (kind.CellType == ctCheck)
        DrawCheckBox(p, kind, rect, caption, pressed);
    else
        DrawButtonFace(p, rect, caption, pressed, focused);
}

QString TComboGrid::ShownText(const TCellKind& kind, const std::string& text,
                              bool formatted) const {
    std::string t = text;
    if (formatted && kind.ItemList.size() >= 2 && !kind.ItemText(1).empty() && !t.empty()) {
        if (std::optional<double> v = kestrel::ParseReal(t))
            t = kestrel::FormatFloatPattern(kind.ItemText(1), *v);
    }
    return QString::fromStdString(FitTextBuffer(t));
}

void TComboGrid::DrawCellText(QPainter& p, const TCellKind& kind, const std::string& text,
                              const QRect& rect, uint8_t align, bool fixed, bool formatted,
                              bool elide) {
    QString s = ShownText(kind, text, formatted);
    QFontMetrics fm(p.font());
    int w = rect.width(), h = rect.height(), th = fm.height();
    // The cut keeps the margin on both sides, so the "…" never touches the next column.
    if (elide && fm.horizontalAdvance(s) > w - 2 * kind.Margin)
        s = fm.elidedText(s, Qt::ElideRight, std::max(0, w - 2 * kind.Margin));
    int x = kind.Margin;
    int y = (h - th) / 2;
    if (align & caRight)
        x = w - kind.Margin - fm.horizontalAdvance(s);
    else if (align & caCenter)
        x = w / 2 - fm.horizontalAdvance(s) / 2;
    if (align & caBottom)
        y = fixed ? h - th - 2 : h - th;
    else if (align & caTop)
        y = 2;
    p.fillRect(rect, p.brush());
    p.save();
    p.setClipRect(rect);
    p.drawText(rect.left() + x, rect.top() + y + fm.ascent(), s);
    p.restore();
}

void TComboGrid::DrawButtonFace(QPainter& p, const QRect& rect, const std::string& caption,
                                bool pressed, bool focused) {
    p.save();
    QColor textColor = p.pen().color();
    const QPalette& pal = palette();
    QStyleOptionButton opt;
    opt.initFrom(this);
    opt.rect = rect;
    opt.state = QStyle::State_Enabled | (pressed ? QStyle::State_Sunken : QStyle::State_Raised);
    if (focused) opt.state |= QStyle::State_HasFocus;
    style()->drawControl(QStyle::CE_PushButtonBevel, &opt, &p, this);
    int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, this);
    QRect area = rect.adjusted(border, border, -border, -border);
    QString s = QString::fromStdString(FitTextBuffer(caption));
    QFontMetrics fm(p.font());
    int tw = fm.horizontalAdvance(s);
    int x = area.left() + (area.width() - tw) / 2;
    int y = area.top() + (area.height() - fm.height()) / 2;
    if (pressed) {
        ++x;
        ++y;
    }
    p.setClipRect(area);
    p.fillRect(QRect(x, y, tw, fm.height()) & area, pal.color(QPalette::Button));
    p.setPen(textColor);
    p.drawText(x, y + fm.ascent(), s);
    p.setClipping(false);
    QColor light = pal.color(QPalette::Light);
    FillLine(p, rect.left(), rect.bottom(), rect.left(), rect.top(), light);
    FillLine(p, rect.left(), rect.top(), rect.right(), rect.top(), light);
    p.restore();
}

void TComboGrid::DrawCheckBox(QPainter& p, const TCellKind& kind, const QRect& rect,
                              const std::string& caption, bool pressed) {
    const QPalette& pal = palette();
    QColor face = pal.color(QPalette::Button), light = pal.color(QPalette::Light),
           shadow = pal.color(QPalette::Dark);
    p.fillRect(rect, face);
    Frame(p, rect, light, shadow);
    Frame(p, rect.adjusted(1, 1, -1, -1), shadow, light);
    QRect inner = rect.adjusted(2, 2, -2, -2);
    int cx = inner.left() + inner.width() / 2, cy = inner.top() + inner.height() / 2;
    QRect box(cx - 6, cy - 6, 13, 13);
    int i = kind.IndexOf(caption);
    bool cross = i >= 0 && kind.ItemList[i].Value == 0;
    QColor fill = pressed ? face
                  : i < 0 ? pal.color(QPalette::Disabled, QPalette::Text)
                          : pal.color(QPalette::Base);
    p.fillRect(box, fill);
    Frame(p, box, shadow, light);
    Frame(p, box.adjusted(1, 1, -1, -1), pal.color(QPalette::Shadow), face);
    if (cross) {
        p.save();
        QRect b = box.adjusted(1, 1, -1, -1);
        p.setPen(QPen(pal.color(QPalette::ButtonText), 2));
        p.drawLine(b.left(), b.top(), b.right(), b.bottom());
        p.drawLine(b.right(), b.top(), b.left(), b.bottom());
        p.restore();
    }
}

QImage TComboGrid::GrabImage() {
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    render(&image);
    return image;
}

// ---- mouse -------------------------------------------------------------------------------

int TComboGrid::SizingColumnAt(const QPoint& pos) const {
    if (!(options_ & goColSizing) || pos.y() >= FixedHeight() || pos.x() <= FixedWidth()) return -1;
    for (int c = leftCol_; c < colCount_; ++c) {
        int left = ColLeft(c);
        if (left < 0) break;
        if (std::abs(pos.x() - (left + colWidths_[c])) <= 2) return c;
    }
    return -1;
}

void TComboGrid::BaseLeftPress(const QPoint& pos) {
    int c, r;
    if (!MouseToCell(pos, c, r) || InFixed(c, r)) return;
    if (c == col_ && r == row_) {
        if ((options_ & goEditing) && !editorMode_) ShowEditor();
        return;
    }
    MoveCurrent(c, r);
}

void TComboGrid::LeftPress(const QPoint& pos) {
    BaseLeftPress(pos);
    pressedCol_ = pressedRow_ = -1;
    pressedDown_ = false;
    int c, r;
    if (!MouseToCell(pos, c, r) || !CellRect(c, r).contains(pos)) return;
    // Buttons and check boxes in header cells are only pictures: no window has such cells.
    if (InFixed(c, r)) return;
    const TCellKind& kind = GetCellKind(c);
    bool clickable = kind.CellType == ctButton ||
                     (kind.CellType == ctCheck && kind.Editable && (options_ & goEditing));
    if (!clickable) return;
    pressedCol_ = c;
    pressedRow_ = r;
    pressedDown_ = true;
    pressedState_ = (c == col_ && r == row_) ? TGridDrawState(gdFocused) : TGridDrawState();
    focusMarkCol_ = focusMarkRow_ = -1;
    viewport()->update();
}

void TComboGrid::LeftRelease(const QPoint& pos) {
    if (editor_ && editor_->CellKind().CellType == ctList) editor_->SetTextArea();
    if (pressedCol_ < 0) return;
    int c = pressedCol_, r = pressedRow_;
    pressedDown_ = false;
    viewport()->update();
    if (CellRect(c, r).contains(pos)) {
        if (GetCellKind(c).CellType == ctCheck)
            SetCells(c, r, ToggleCheck(Cells(c, r), GetCellKind(c)));
        if (OnGridBtnClick) OnGridBtnClick(c, r);
    }
    if (!InFixed(c, r) && c < colCount_ && r < rowCount_) {
        focusMarkCol_ = c;
        focusMarkRow_ = r;
    }
    pressedCol_ = pressedRow_ = -1;
}

void TComboGrid::mousePressEvent(QMouseEvent* event) {
    QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        leftHeld_ = true;
        if (!hasFocus()) setFocus(Qt::MouseFocusReason);
        int sc = SizingColumnAt(pos);
        if (sc >= 0) {
            sizingCol_ = sc;
            sizingOffset_ = ColLeft(sc) + colWidths_[sc] - pos.x();
            return;
        }
        int c, r;
        headerPressCol_ =
            MouseToCell(pos, c, r) && r < fixedRows_ && CellRect(c, r).contains(pos) ? c : -1;
        LeftPress(pos);
        return;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void TComboGrid::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(event);
    leftHeld_ = false;
    if (sizingCol_ >= 0) {
        sizingCol_ = -1;
        return;
    }
    const QPoint pos = event->position().toPoint();
    const int header = std::exchange(headerPressCol_, -1);
    LeftRelease(pos);
    int c, r;
    if (header >= 0 && OnHeaderClick && MouseToCell(pos, c, r) && c == header && r < fixedRows_ &&
        CellRect(c, r).contains(pos))
        OnHeaderClick(c);
}

void TComboGrid::mouseMoveEvent(QMouseEvent* event) {
    QPoint pos = event->position().toPoint();
    if (sizingCol_ >= 0) {
        int left = ColLeft(sizingCol_);
        if (left >= 0) SetColWidths(sizingCol_, std::max(1, pos.x() + sizingOffset_ - left));
        return;
    }
    if (!(event->buttons() & Qt::LeftButton)) {
        if (SizingColumnAt(pos) >= 0)
            viewport()->setCursor(Qt::SplitHCursor);
        else
            viewport()->unsetCursor();
    }
}

void TComboGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && (options_ & goEditing) && !editorMode_) {
        int c, r;
        if (MouseToCell(event->position().toPoint(), c, r) && c == col_ && r == row_) ShowEditor();
    }
    mousePressEvent(event);
    int c, r;
    if (event->button() == Qt::LeftButton && !(options_ & goEditing) && OnOpenCell &&
        MouseToCell(event->position().toPoint(), c, r) && !InFixed(c, r))
        OnOpenCell(c, r);
}

void TComboGrid::contextMenuEvent(QContextMenuEvent* event) {
    if (popupMenu_) {
        // A right click picks the row it is on, so the menu acts on what the trader pointed at.
        int c, r;
        if (event->reason() == QContextMenuEvent::Mouse && MouseToCell(event->pos(), c, r) &&
            !InFixed(c, r))
            MoveCurrent(c, r);
        popupMenu_->popup(event->globalPos());
        event->accept();
    }
}

// ---- keyboard ----------------------------------------------------------------------------

void TComboGrid::keyPressEvent(QKeyEvent* event) {
    uint8_t type = col_ < colCount_ ? GetCellKind(col_).CellType : uint8_t(ctText);
    bool face = type == ctButton || type == ctCheck;
    int key = event->key();
    if (key == Qt::Key_Space && face && !InFixed(col_, row_)) {
        // Space works like a click on the current cell.
        if (!event->isAutoRepeat() && !leftHeld_ &&
            !(QGuiApplication::mouseButtons() & Qt::LeftButton)) {
            ScrollInView(col_, row_);
            LeftPress(CellRect(col_, row_).topLeft());
        }
        event->accept();
        return;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && type == ctButton) {
        if (OnGridBtnClick) OnGridBtnClick(col_, row_);
        event->accept();
        return;
    }
    int page = std::max(1, VisibleRows());
    bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (key) {
        case Qt::Key_Up:
            MoveCurrent(col_, row_ - 1);
            break;
        case Qt::Key_Down:
            MoveCurrent(col_, row_ + 1);
            break;
        case Qt::Key_Left:
            MoveCurrent(col_ - 1, row_);
            break;
        case Qt::Key_Right:
            MoveCurrent(col_ + 1, row_);
            break;
        case Qt::Key_PageUp:
            MoveCurrent(col_, row_ - page);
            break;
        case Qt::Key_PageDown:
            MoveCurrent(col_, row_ + page);
            break;
        case Qt::Key_Home:
            MoveCurrent(fixedCols_, ctrl ? fixedRows_ : row_);
            break;
        case Qt::Key_End:
            MoveCurrent(colCount_ - 1, ctrl ? rowCount_ - 1 : row_);
            break;
        case Qt::Key_F2:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (options_ & goEditing)
                ShowEditor();
            else if (OnOpenCell && !InFixed(col_, row_))
                OnOpenCell(col_, row_);
            break;
        default: {
            QString t = event->text();
            if ((options_ & goEditing) && !t.isEmpty() && t[0].isPrint() && !ctrl &&
                !(event->modifiers() & Qt::AltModifier)) {
                ShowEditor();
                if (editorMode_) QCoreApplication::sendEvent(editor_, event);
                break;
            }
            QAbstractScrollArea::keyPressEvent(event);
            return;
        }
    }
    event->accept();
}

void TComboGrid::keyReleaseEvent(QKeyEvent* event) {
    uint8_t type = col_ < colCount_ ? GetCellKind(col_).CellType : uint8_t(ctText);
    if (event->key() == Qt::Key_Space && (type == ctButton || type == ctCheck)) {
        if (!event->isAutoRepeat()) LeftRelease(CellRect(col_, row_).topLeft());
        event->accept();
        return;
    }
    QAbstractScrollArea::keyReleaseEvent(event);
}

void TComboGrid::SetElideColumn(int col, bool on) {
    if (col < 0) return;
    if (static_cast<size_t>(col) >= elided_.size()) elided_.resize(static_cast<size_t>(col) + 1);
    elided_[static_cast<size_t>(col)] = on;
    viewport()->update();
}

bool TComboGrid::ElideColumn(int col) const {
    return col >= 0 && static_cast<size_t>(col) < elided_.size() &&
           elided_[static_cast<size_t>(col)];
}

QString TComboGrid::CellToolTip(int col, int row) const {
    if (!ElideColumn(col) || InFixed(col, row) || col >= colCount_ || row >= rowCount_) return {};
    auto* self = const_cast<TComboGrid*>(this);  // a column without a description gets one
    const TCellKind& kind = self->GetCellKind(col);
    if (kind.CellType != ctText && kind.CellType != ctList) return {};
    const QString shown = ShownText(kind, Cells(col, row), kind.CellType == ctText);
    const int room = colWidths_[static_cast<size_t>(col)] - 2 * kind.Margin;
    if (QFontMetrics(font()).horizontalAdvance(shown) <= room) return {};
    return QString::fromStdString(Cells(col, row));
}

bool TComboGrid::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        int c, r;
        const QString tip = MouseToCell(help->pos(), c, r) ? CellToolTip(c, r) : QString();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, viewport(), CellRect(c, r));
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void TComboGrid::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TComboGrid::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// ---- current cell and editor -----------------------------------------------------------------

void TComboGrid::SetCurrentCell(int col, int row) { MoveCurrent(col, row); }

void TComboGrid::MoveCurrent(int col, int row) {
    if (fixedCols_ >= colCount_ || fixedRows_ >= rowCount_) return;
    col = std::clamp(col, fixedCols_, colCount_ - 1);
    row = std::clamp(row, fixedRows_, rowCount_ - 1);
    if (col == col_ && row == row_) {
        ScrollInView(col, row);
        return;
    }
    HideEditor();
    col_ = col;
    row_ = row;
    focusMarkCol_ = focusMarkRow_ = -1;
    ScrollInView(col, row);
    viewport()->update();
    if ((options_ & goEditing) && (options_ & goAlwaysShowEditor)) ShowEditor();
    if (OnSelectCell) OnSelectCell(col, row);
}

bool TComboGrid::EditorMode() const { return editorMode_; }

bool TComboGrid::CanEditShow() {
    bool base = (options_ & goEditing) && !(options_ & goRowSelect) && !InFixed(col_, row_) &&
                col_ < colCount_ && row_ < rowCount_;
    TCellKind& kind = GetCellKind(col_);
    if (editor_) editor_->SetCellKind(&kind);
    return base && kind.Editable && (kind.CellType == ctText || kind.CellType == ctList);
}

std::string TComboGrid::GetEditMask(int col, int) {
    const TCellKind& kind = GetCellKind(col);
    return kind.CellType == ctText ? kind.ItemText(0) : std::string();
}

int TComboGrid::GetEditLimit(int col, int) {
    const TCellKind& kind = GetCellKind(col);
    return kind.CellType == ctText ? kind.EditLimit : 0;
}

void TComboGrid::ShowEditor() {
    if (InFixed(col_, row_) || col_ >= colCount_ || row_ >= rowCount_) return;
    // The editor exists before the decision, so that it gets the column's description even
    // the first time it opens.
    if (!editor_) {
        editor_ = new TComboInplaceEdit(this);
        connect(editor_, &QLineEdit::textChanged, this, &TComboGrid::OnEditorTextChanged);
    }
    if (!CanEditShow()) {
        HideEditor();
        return;
    }
    editCol_ = col_;
    editRow_ = row_;
    textBeforeEdit_ = Cells(col_, row_);
    loadingEditor_ = true;
    editor_->SetEditMask(GetEditMask(col_, row_));
    editor_->SetMaxLength(GetEditLimit(col_, row_));
    editor_->setText(QString::fromStdString(textBeforeEdit_));
    loadingEditor_ = false;
    editorMode_ = true;
    ScrollInView(col_, row_);
    UpdateEditorGeometry();
    editor_->setFocus(Qt::OtherFocusReason);
    editor_->selectAll();
    viewport()->update();
}

void TComboGrid::HideEditor() {
    if (!editorMode_) return;
    editorMode_ = false;
    bool hadFocus = editor_->hasFocus();
    editor_->HideList();
    editor_->hide();
    editCol_ = editRow_ = -1;
    if (hadFocus) setFocus(Qt::OtherFocusReason);
    viewport()->update();
}

void TComboGrid::UpdateEditorGeometry() {
    if (!editor_ || !editorMode_) return;
    QRect rect = CellRect(editCol_, editRow_);
    if (rect.isEmpty()) {
        editor_->hide();
        return;
    }
    editor_->setGeometry(rect);
    editor_->show();
}

void TComboGrid::OnEditorTextChanged(const QString& text) {
    if (loadingEditor_ || !editorMode_) return;
    // The cell follows the editor as the user types.
    loadingEditor_ = true;
    SetCells(editCol_, editRow_, text.toStdString());
    loadingEditor_ = false;
}

void TComboGrid::EditorKey(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape: {
            std::string before = textBeforeEdit_;
            int c = editCol_, r = editRow_;
            HideEditor();
            SetCells(c, r, before);
            break;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
            HideEditor();
            break;
        default:
            HideEditor();
            keyPressEvent(event);
            break;
    }
}

void TComboGrid::OnFocusChanged(QWidget*, QWidget* now) {
    if (!editor_) return;
    TInplaceListBox* list = editor_->ListBox();
    if (list && now != editor_ && now != list) editor_->HideList();
    bool inside = now == this || now == viewport() || now == editor_ || (list && now == list);
    if (now && !inside && !(options_ & goAlwaysShowEditor)) HideEditor();
}
