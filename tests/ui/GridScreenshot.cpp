// Renders a combo grid with every cell type (plain, aligned and formatted text, a list column
// with its drop-down open, buttons, check boxes) into PNG files, so the look can be checked by
// eye. Usage: grid_screenshot OUT.png  (also writes OUT-screen.png, the screen with the list).
#include <cstdio>

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "ui/CmbGrid.h"
#include "ui/CmbInplace.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString out =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("grid-screenshot.png");
    TComboGrid grid;
    grid.setWindowTitle(QStringLiteral("TComboGrid"));
    grid.SetColCount(7);
    grid.SetRowCount(8);
    grid.SetFixedCols(1);
    grid.SetDefaultRowHeight(20);
    grid.SetOptions(grid.Options() | goEditing | goColSizing);
    const char* headers[] = {"No", "左寄せ", "右寄せ #,", "中央", "市場", "ボタン", "確認"};
    for (int c = 0; c < 7; ++c) {
        grid.SetCells(c, 0, headers[c]);
        grid.GetCellKind(c).SetTitleAlign(caCenter | caVCenter);
        grid.SetColWidths(c, c == 0 ? 30 : 90);
    }
    grid.GetCellKind(2).SetCellAlign(caRight | caVCenter);
    grid.GetCellKind(2).ItemList = {{"", 0}, {"#,", 0}};
    grid.GetCellKind(3).SetCellAlign(caCenter | caBottom);
    TCellKind& list = grid.GetCellKind(4);
    list.CellType = ctList;
    list.ItemList = {{"東証", 0}, {"大証", 0}, {"JASDAQ", 0}, {"HC", 0}};
    list.DropDownWidth = 185;
    TCellKind& button = grid.GetCellKind(5);
    button.CellType = ctButton;
    button.ItemList = {{kUseCellData, 0}};
    TCellKind& check = grid.GetCellKind(6);
    check.CellType = ctCheck;
    check.ItemList = {{"済", 0}, {"未", 1}};
    const char* markets[] = {"東証", "大証", "JASDAQ", "HC", "名証", "東証", "大証"};
    const char* checks[] = {"済", "未", "?", "済", "未", "済", "未"};
    for (int r = 1; r < 8; ++r) {
        grid.SetCells(0, r, std::to_string(r));
        grid.SetCells(1, r, "銘柄" + std::to_string(r));
        grid.SetCells(2, r, std::to_string(1234567 * r - 5000000));
        grid.SetCells(3, r, "+1." + std::to_string(r) + "0");
        grid.SetCells(4, r, markets[r - 1]);
        grid.SetCells(5, r, r % 2 ? "発注" : "取消");
        grid.SetCells(6, r, checks[r - 1]);
    }
    grid.SetCells(2, 7, "abc");
    // Colour one column by bitwise OR, as the main window does.
    grid.OnDrawCell = [](QPainter& p, int col, int, const QRect& rect, TGridDrawState s) {
        if (s == TGridDrawState(gdFixed) || col != 3) return;
        p.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
        p.fillRect(rect, QColor(255, 0, 0));
    };
    grid.resize(620, 260);
    grid.move(20, 20);
    grid.show();
    grid.SetCurrentCell(4, 2);
    grid.ShowEditor();

    QTimer::singleShot(300, [&] {
        if (!grid.GrabImage().save(out)) std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        if (TComboInplaceEdit* e = grid.InplaceEditor()) e->ToggleList();
        QTimer::singleShot(300, [&] {
            QString screen = out;
            screen.replace(QStringLiteral(".png"), QStringLiteral("-screen.png"));
            if (QScreen* s = QGuiApplication::primaryScreen())
                s->grabWindow(0, 0, 0, 700, 420).save(screen);
            std::printf("%s\n%s\n", qPrintable(out), qPrintable(screen));
            app.quit();
        });
    });
    return app.exec();
}
