#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <QApplication>
#include <QPainter>
#include <QTest>

#include "ui/CmbGrid.h"
#include "ui/CmbInplace.h"
#include "ui/ComponentStream.h"
#include "ui/GridForms.h"

namespace {

class GridTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char name[] = "test_cmbgrid";
            static char* argv[] = {name, nullptr};
            app_ = std::make_unique<QApplication>(argc, argv);
        }
    }

    // Gone before the program's static objects are, which QApplication needs.
    static void TearDownTestSuite() { app_.reset(); }

    // A grid of 4 columns of 100 pixels and 6 rows of 20, one header row, no fixed column.
    void SetUp() override {
        grid_ = std::make_unique<TComboGrid>();
        grid_->SetColCount(4);
        grid_->SetRowCount(6);
        grid_->SetFixedCols(0);
        grid_->SetDefaultColWidth(100);
        grid_->SetDefaultRowHeight(20);
        grid_->resize(460, 200);
        grid_->show();
        grid_->activateWindow();
        // Qt's default of five seconds, raised: only a guard against a window never activated.
        ASSERT_TRUE(QTest::qWaitForWindowActive(grid_.get(), 60'000));
        grid_->SetCurrentCell(3, 5);
        grid_->OnGridBtnClick = [this](int c, int r) { clicks_.push_back({c, r}); };
    }

    QPoint Centre(int col, int row) { return grid_->CellRect(col, row).center(); }
    void Click(int col, int row) {
        QTest::mouseClick(grid_->viewport(), Qt::LeftButton, {}, Centre(col, row));
    }
    QImage CellImage(int col, int row) {
        QImage all = grid_->GrabImage();
        QRect r = grid_->CellRect(col, row).translated(grid_->viewport()->pos());
        return all.copy(r);
    }
    // Bounds of the dark pixels (text) in an image.
    static QRect Ink(const QImage& img) {
        QRect ink;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (qGray(img.pixel(x, y)) < 128) ink |= QRect(x, y, 1, 1);
        return ink;
    }

    static inline std::unique_ptr<QApplication> app_;
    std::unique_ptr<TComboGrid> grid_;
    std::vector<std::pair<int, int>> clicks_;
};

}  // namespace

TEST_F(GridTest, TextAlignmentAndMargin) {
    grid_->GetCellKind(0).SetCellAlign(caRight | caVCenter);   // 20
    grid_->GetCellKind(1).SetCellAlign(caCenter | caVCenter);  // 18
    grid_->GetCellKind(2).SetCellAlign(caCenter | caRight);    // 0x06: right wins
    for (int c = 0; c < 4; ++c) grid_->SetCells(c, 2, "8888");
    QRect right = Ink(CellImage(0, 2)), centre = Ink(CellImage(1, 2)), both = Ink(CellImage(2, 2)),
          left = Ink(CellImage(3, 2));
    ASSERT_FALSE(right.isEmpty());
    // Right end 2 pixels (the margin) left of the cell's edge, within the glyph's bearing.
    EXPECT_LE(right.right(), 100 - 1 - 2);
    EXPECT_GE(right.right(), 100 - 1 - 2 - 3);
    EXPECT_EQ(both, right);
    EXPECT_NEAR((centre.left() + centre.right()) / 2.0, 50, 2);
    EXPECT_GE(left.left(), 2);
    EXPECT_LE(left.left(), 4);
    EXPECT_NEAR((left.top() + left.bottom()) / 2.0, 10, 2);
    // Top and bottom flags; bottom keeps 2 more pixels in a header cell.
    grid_->GetCellKind(3).SetCellAlign(caLeft | caTop);
    QRect top = Ink(CellImage(3, 2));
    grid_->GetCellKind(3).SetCellAlign(caLeft | caBottom | caTop);
    QRect bottom = Ink(CellImage(3, 2));
    EXPECT_LT(top.top(), left.top());
    EXPECT_GT(bottom.bottom(), left.bottom());
    grid_->SetCells(3, 0, "8888");
    grid_->GetCellKind(3).SetTitleAlign(caLeft | caBottom);
    EXPECT_EQ(Ink(CellImage(3, 0)).bottom(), bottom.bottom() - 2);
    // A column with no description is left/centre text with a 2-pixel margin.
    EXPECT_EQ(grid_->GetCellKind(3).Margin, 2);
}

TEST_F(GridTest, DisplayFormatOnlyForNumbersInDataCells) {
    grid_->GetCellKind(0).ItemList = {{"", 0}, {"#,", 0}};
    grid_->SetCells(0, 2, "1234567");
    grid_->SetCells(1, 2, "1,234,567");
    EXPECT_EQ(CellImage(0, 2), CellImage(1, 2));
    grid_->SetCells(0, 3, "abc");
    grid_->SetCells(1, 3, "abc");
    EXPECT_EQ(CellImage(0, 3), CellImage(1, 3));
    grid_->SetCells(0, 0, "1234567");  // header: never formatted
    grid_->SetCells(1, 0, "1234567");
    EXPECT_EQ(CellImage(0, 0), CellImage(1, 0));
    grid_->SetCells(0, 4, "");
    EXPECT_TRUE(Ink(CellImage(0, 4)).isEmpty());
    EXPECT_EQ(grid_->Cells(0, 2), "1234567");  // the cell keeps its own text
}

TEST_F(GridTest, DrawEventAfterTextAllowsBitwiseOrPaint) {
    std::vector<std::tuple<int, int, QRect, TGridDrawState>> seen;
    grid_->OnDrawCell = [&](QPainter& p, int c, int r, const QRect& rect, TGridDrawState s) {
        seen.emplace_back(c, r, rect, s);
        if (s == TGridDrawState(gdFixed)) return;
        p.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
        p.fillRect(rect, QColor(255, 0, 0));
    };
    grid_->SetCells(0, 2, "8888");
    grid_->SetCells(0, 0, "8888");
    QImage cell = CellImage(0, 2);
    int red = 0;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x) {
            QRgb px = cell.pixel(x, y);
            ASSERT_EQ(qRed(px), 255);  // white stays white, black becomes red
            if (qGreen(px) < 64 && qBlue(px) < 64) ++red;
        }
    EXPECT_GT(red, 10);
    EXPECT_FALSE(Ink(CellImage(0, 0)).isEmpty());  // header left alone, text still black
    bool header = false, data = false;
    for (auto& [c, r, rect, s] : seen) {
        if (c == 0 && r == 0) header = s == TGridDrawState(gdFixed);
        if (c == 0 && r == 2) data = s == TGridDrawState() && rect == grid_->CellRect(0, 2);
    }
    EXPECT_TRUE(header);
    EXPECT_TRUE(data);
    // The event comes also when the grid draws nothing itself.
    seen.clear();
    grid_->SetDefaultDrawing(false);
    grid_->GrabImage();
    EXPECT_FALSE(seen.empty());
}

TEST_F(GridTest, TextBufferHolds255ShiftJisBytes) {
    EXPECT_EQ(FitTextBuffer(std::string(300, 'a')), std::string(255, 'a'));
    std::string kanji;
    for (int i = 0; i < 200; ++i) kanji += "株";  // 2 bytes each in Shift-JIS
    std::string fitted = FitTextBuffer(kanji);
    EXPECT_EQ(fitted.size(), 127u * 3);
    std::string halfwidth;
    for (int i = 0; i < 100; ++i) halfwidth += "ｶ";  // 3 bytes of UTF-8, 1 of Shift-JIS
    EXPECT_EQ(FitTextBuffer(halfwidth), halfwidth);
}

TEST_F(GridTest, CheckCellCycleAndEditingOption) {
    TCellKind& k = grid_->GetCellKind(1);
    k.CellType = ctCheck;
    k.ItemList = {{"済", 0}, {"未", 1}};
    grid_->SetCells(1, 2, "未");
    grid_->SetCells(1, 3, "済");
    grid_->SetCells(1, 4, "何か");
    // Without the editing option check cells ignore clicks.
    Click(1, 2);
    EXPECT_EQ(grid_->Cells(1, 2), "未");
    EXPECT_TRUE(clicks_.empty());

    grid_->SetOptions(grid_->Options() | goEditing);
    QImage emptyBox = CellImage(1, 2), crossed = CellImage(1, 3), grey = CellImage(1, 4);
    QPoint mid(emptyBox.width() / 2, emptyBox.height() / 2);
    EXPECT_GT(qGray(emptyBox.pixel(mid)), 200);
    EXPECT_LT(qGray(crossed.pixel(mid)), 100);
    EXPECT_LT(qGray(grey.pixel(mid)), qGray(emptyBox.pixel(mid)));
    EXPECT_GT(qGray(grey.pixel(mid)), 100);

    Click(1, 2);
    EXPECT_EQ(grid_->Cells(1, 2), "済");
    Click(1, 2);
    EXPECT_EQ(grid_->Cells(1, 2), "未");
    Click(1, 4);
    EXPECT_EQ(grid_->Cells(1, 4), "済");
    EXPECT_EQ(clicks_, (std::vector<std::pair<int, int>>{{1, 2}, {1, 2}, {1, 4}}));
    EXPECT_FALSE(grid_->EditorMode());  // a check cell never opens the editor
    // Not editable: clicks ignored even with the option.
    k.Editable = false;
    Click(1, 3);
    EXPECT_EQ(grid_->Cells(1, 3), "済");
}

TEST_F(GridTest, ButtonPressReleaseInsideAndOutside) {
    TCellKind& k = grid_->GetCellKind(2);
    k.CellType = ctButton;
    k.ItemList = {{"発注", 0}};
    grid_->SetCells(2, 2, "own");
    QImage idle = CellImage(2, 2);
    QTest::mousePress(grid_->viewport(), Qt::LeftButton, {}, Centre(2, 2));
    EXPECT_EQ(grid_->PressedCol(), 2);
    EXPECT_EQ(grid_->PressedRow(), 2);
    EXPECT_NE(CellImage(2, 2), idle);  // drawn sunken
    QTest::mouseRelease(grid_->viewport(), Qt::LeftButton, {}, Centre(0, 4));
    EXPECT_TRUE(clicks_.empty());
    EXPECT_EQ(grid_->PressedCol(), -1);
    grid_->clearFocus();
    EXPECT_EQ(CellImage(2, 3), CellImage(2, 4));  // captions from entry 0, all alike
    Click(2, 2);
    EXPECT_EQ(clicks_.size(), 1u);
    // The marker shows each cell's own text: cells with other texts now look different.
    k.ItemList = {{kUseCellData, 0}};
    grid_->SetCells(2, 3, "abc");
    grid_->SetCells(2, 4, "xyz");
    EXPECT_NE(CellImage(2, 3), CellImage(2, 4));
    // Buttons react without the editing option, and never open an editor.
    EXPECT_FALSE(grid_->Options() & goEditing);
    EXPECT_FALSE(grid_->EditorMode());
}

TEST_F(GridTest, SpaceAndEnterOnButtonAndCheckCells) {
    grid_->GetCellKind(2).CellType = ctButton;
    TCellKind& check = grid_->GetCellKind(3);
    check.CellType = ctCheck;
    check.ItemList = {{"x", 0}, {"", 1}};
    grid_->SetOptions(grid_->Options() | goEditing);
    grid_->SetCurrentCell(2, 2);
    QTest::keyClick(grid_.get(), Qt::Key_Space);
    EXPECT_EQ(clicks_.size(), 1u);
    QTest::keyClick(grid_.get(), Qt::Key_Return);
    EXPECT_EQ(clicks_.size(), 2u);
    QTest::keyPress(grid_.get(), Qt::Key_Space);
    QTest::keyPress(grid_.get(), Qt::Key_Space, {}, -1);  // a repeat does not press again
    EXPECT_EQ(clicks_.size(), 2u);
    QTest::keyRelease(grid_.get(), Qt::Key_Space);
    EXPECT_EQ(clicks_.size(), 3u);

    grid_->SetCurrentCell(3, 2);
    QTest::keyClick(grid_.get(), Qt::Key_Return);
    EXPECT_EQ(clicks_.size(), 3u);
    QTest::keyClick(grid_.get(), Qt::Key_Space);
    EXPECT_EQ(grid_->Cells(3, 2), "x");
    EXPECT_EQ(clicks_.size(), 4u);
    EXPECT_FALSE(grid_->EditorMode());
}

TEST_F(GridTest, NoEditorWithoutTheEditingOption) {
    grid_->SetCurrentCell(1, 2);
    QTest::keyClick(grid_.get(), Qt::Key_F2);
    QTest::keyClick(grid_.get(), Qt::Key_Return);
    QTest::keyClicks(grid_.get(), QStringLiteral("a"));
    Click(1, 2);
    QTest::mouseDClick(grid_->viewport(), Qt::LeftButton, {}, Centre(1, 2));
    grid_->ShowEditor();
    EXPECT_FALSE(grid_->EditorMode());
    EXPECT_EQ(grid_->Cells(1, 2), "");

    grid_->SetOptions(grid_->Options() | goEditing);
    TCellKind& k = grid_->GetCellKind(1);
    k.ItemList = {{"000", 0}};
    k.EditLimit = 4;
    QTest::keyClick(grid_.get(), Qt::Key_F2);
    ASSERT_TRUE(grid_->EditorMode());
    TComboInplaceEdit* e = grid_->InplaceEditor();
    EXPECT_EQ(e->EditMask(), "000");
    EXPECT_EQ(e->inputMask(), QStringLiteral("999;_"));
    EXPECT_EQ(e->MaxLength(), 4);
    EXPECT_EQ(e->textMargins(), QMargins());  // a text editor has no arrow
    QTest::keyClick(grid_.get(), Qt::Key_Escape);
    grid_->HideEditor();
    k.ItemList.clear();
    grid_->ShowEditor();
    for (QString ch :
         {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("株"), QStringLiteral("c")}) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, ch);
        QApplication::sendEvent(e, &press);
    }  // 5 Shift-JIS bytes: the last character does not fit
    EXPECT_EQ(grid_->Cells(1, 2), "ab株");
    QTest::keyClick(e, Qt::Key_Escape);
    EXPECT_FALSE(grid_->EditorMode());
    EXPECT_EQ(grid_->Cells(1, 2), "");
    k.Editable = false;
    grid_->ShowEditor();
    EXPECT_FALSE(grid_->EditorMode());

    EXPECT_EQ(EditMaskToInputMask("!000-0000;1;_"), QStringLiteral("999-9999;_"));
    EXPECT_EQ(EditMaskToInputMask("LLaX<>c;0;*"), QStringLiteral("AAn\\X!x;*"));
}

TEST_F(GridTest, ListEditorWidthPlacementAndSelection) {
    grid_->SetOptions(grid_->Options() | goEditing);
    TCellKind& k = grid_->GetCellKind(1);
    k.CellType = ctList;
    k.ItemList = {{"東証", 0}, {"大証", 0}, {"JASDAQ", 0}};
    k.DropDownWidth = 50;
    grid_->SetCells(1, 2, "名証");
    grid_->SetCurrentCell(1, 2);
    grid_->ShowEditor();  // the first opening already knows the column
    TComboInplaceEdit* e = grid_->InplaceEditor();
    ASSERT_TRUE(e && grid_->EditorMode());
    ASSERT_NE(e->ListBox(), nullptr);
    EXPECT_EQ(e->textMargins().right(), TComboInplaceEdit::ArrowWidth() + 2);
    TInplaceListBox* list = e->ListBox();

    QPoint textArea(5, e->height() / 2), arrow(e->width() - 3, e->height() / 2);
    QTest::mouseClick(e, Qt::LeftButton, {}, textArea);
    EXPECT_FALSE(e->ListVisible());
    QTest::mouseClick(e, Qt::LeftButton, {}, arrow);
    ASSERT_TRUE(e->ListVisible());
    EXPECT_EQ(list->width(), e->width());  // never narrower than the editor
    EXPECT_EQ(list->height(), TComboInplaceEdit::kListHeight);
    QPoint corner = e->mapToGlobal(QPoint(e->width(), e->height()));
    EXPECT_EQ(list->geometry().right() + 1, corner.x());
    EXPECT_EQ(list->geometry().top(), corner.y());
    EXPECT_TRUE(list->selectedItems().isEmpty());  // "名証" is no entry
    QTest::mouseClick(e, Qt::LeftButton, {}, arrow);
    EXPECT_FALSE(e->ListVisible());

    grid_->HideEditor();
    k.DropDownWidth = 185;
    grid_->SetCells(1, 2, "大証");
    grid_->ShowEditor();
    QTest::mouseClick(e, Qt::LeftButton, {}, arrow);
    ASSERT_TRUE(e->ListVisible());
    EXPECT_EQ(list->width(), 185);
    corner = e->mapToGlobal(QPoint(e->width(), e->height()));
    EXPECT_EQ(list->geometry().right() + 1, corner.x());  // reaches out to the left
    EXPECT_EQ(list->currentRow(), 1);

    // A release on an entry takes its text and closes the list; the click is reported.
    QRect third = list->visualItemRect(list->item(2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, third.center());
    EXPECT_FALSE(e->ListVisible());
    EXPECT_EQ(e->text(), QStringLiteral("JASDAQ"));
    EXPECT_EQ(grid_->Cells(1, 2), "JASDAQ");
    EXPECT_EQ(clicks_, (std::vector<std::pair<int, int>>{{1, 2}}));

    // Up and Down move the list's selection even while it is hidden; Escape closes it.
    QTest::keyClick(e, Qt::Key_Up);
    EXPECT_EQ(e->text(), QStringLiteral("大証"));
    EXPECT_EQ(clicks_.size(), 2u);
    QTest::mouseClick(e, Qt::LeftButton, {}, arrow);
    ASSERT_TRUE(e->ListVisible());
    QTest::keyClick(e, Qt::Key_Escape);
    EXPECT_FALSE(e->ListVisible());
    EXPECT_TRUE(grid_->EditorMode());
}

TEST_F(GridTest, StoredDescriptionsAtWindowCreation) {
    TComboGrid gridA;
    gridA.SetColCount(10);
    gridA.SetRowCount(2);
    gridA.SetFixedCols(0);
    kestrel::LoadStoredGrid(gridA, "GridA");
    EXPECT_EQ(gridA.Cells(0, 0), "コード");
    EXPECT_EQ(gridA.Cells(9, 0), "時刻");
    EXPECT_EQ(gridA.GetCellKind(4).CellAlign, 20);
    EXPECT_EQ(gridA.GetCellKind(9).CellAlign, 18);
    EXPECT_EQ(gridA.CellKindCount(), 10u);
    // Written back, the descriptions read into the same settings.
    TComboGrid copy;
    copy.SetColCount(10);
    copy.SetRowCount(2);
    copy.ReadCellKindProperty(gridA.CellKindProperty());
    copy.ReadCellDataProperty(gridA.CellDataProperty());
    for (int c = 0; c < 10; ++c) {
        EXPECT_TRUE(copy.GetCellKind(c).SameSettings(gridA.GetCellKind(c)));
        EXPECT_EQ(copy.Cells(c, 0), gridA.Cells(c, 0));
    }

    TComboGrid combo;
    combo.SetColCount(5);  // more columns than stored descriptions
    kestrel::LoadStoredGrid(combo, "ComboGrid1");
    EXPECT_EQ(combo.GetCellKind(1).CellType, ctList);
    EXPECT_EQ(combo.GetCellKind(1).ItemText(2), "JASDAQ");
    EXPECT_EQ(combo.GetCellKind(4).CellAlign, caLeft | caVCenter);
    EXPECT_EQ(combo.Cells(1, 0), "市場");

    TComboGrid small;
    small.SetColCount(2);
    EXPECT_THROW(kestrel::LoadStoredGrid(small, "ComboGrid1"), kestrel::StreamError);
    EXPECT_EQ(small.Cells(0, 0), "");  // nothing applied from the failed value
    EXPECT_THROW(kestrel::LoadStoredGrid(small, "NoSuchGrid"), kestrel::StreamError);
}

TEST_F(GridTest, ColumnBordersDragInTheHeaderRow) {
    QPoint border(100, 10);  // the line right of column 0 in the header row
    QTest::mousePress(grid_->viewport(), Qt::LeftButton, {}, border);
    QTest::mouseMove(grid_->viewport(), QPoint(140, 10));
    QTest::mouseRelease(grid_->viewport(), Qt::LeftButton, {}, QPoint(140, 10));
    EXPECT_EQ(grid_->ColWidths(0), 100);

    grid_->SetOptions(grid_->Options() | goColSizing);
    QTest::mousePress(grid_->viewport(), Qt::LeftButton, {}, border);
    QMouseEvent move(QEvent::MouseMove, QPointF(140, 10),
                     grid_->viewport()->mapToGlobal(QPointF(140, 10)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(grid_->viewport(), &move);
    QTest::mouseRelease(grid_->viewport(), Qt::LeftButton, {}, QPoint(140, 10));
    EXPECT_EQ(grid_->ColWidths(0), 140);
    // Data rows never resize.
    QTest::mousePress(grid_->viewport(), Qt::LeftButton, {}, QPoint(140, 50));
    QApplication::sendEvent(grid_->viewport(), &move);
    QTest::mouseRelease(grid_->viewport(), Qt::LeftButton, {}, QPoint(180, 50));
    EXPECT_EQ(grid_->ColWidths(0), 140);
}
