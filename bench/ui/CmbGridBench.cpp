// The main window's refresh: 4,000 rows x 10 columns rewritten, then the part in view drawn
// offscreen. Run with QT_QPA_PLATFORM=offscreen; times are reported in milliseconds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QPainter>

#include "ui/CmbGrid.h"
#include "ui/GridForms.h"

namespace {

constexpr int kRows = 4000;
constexpr int kCols = 10;

std::unique_ptr<TComboGrid> MakeGrid() {
    auto grid = std::make_unique<TComboGrid>();
    grid->SetColCount(kCols);
    grid->SetFixedCols(0);
    grid->SetRowCount(2);
    grid->SetDefaultRowHeight(16);
    grid->SetOptions(goFixedVertLine | goFixedHorzLine | goColSizing);
    kestrel::LoadStoredGrid(*grid, "GridA");
    grid->resize(781, 469);
    grid->show();
    // Colours by sign as the main window paints them, so the drawing hook is in the cost.
    grid->OnDrawCell = [](QPainter& p, int col, int, const QRect& rect, TGridDrawState s) {
        if (s == TGridDrawState(gdFixed) || (col != 3 && col != 5 && col != 6)) return;
        p.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
        p.fillRect(rect, QColor(255, 0, 0));
    };
    return grid;
}

// Texts like the ranking list's: code, name, figures with separators and signs, time.
std::vector<std::string> RowTexts(int i) {
    return {std::to_string(1300 + i % 8000),
            "(貸)東京電力ホールディングス" + std::to_string(i % 97),
            "1,234",
            "+" + std::to_string(i % 500),
            "12,345",
            "+1.25",
            "-0.75",
            "13,000",
            std::to_string(i % 3000),
            "10:" + std::to_string(10 + i % 50)};
}

void BM_FillAndRepaint(benchmark::State& state) {
    auto grid = MakeGrid();
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < kRows; ++i) rows.push_back(RowTexts(i));
    QImage image(grid->size(), QImage::Format_ARGB32_Premultiplied);
    int shift = 0;
    for (auto _ : state) {
        // Every pass moves each entry one row down, so every cell gets a new text.
        ++shift;
        grid->SetRowCount(kRows + 1);
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) grid->SetCells(c, r + 1, rows[(r + shift) % kRows][c]);
        grid->render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_FillAndRepaint)->Unit(benchmark::kMillisecond);

void BM_RepaintOnly(benchmark::State& state) {
    auto grid = MakeGrid();
    grid->SetRowCount(kRows + 1);
    for (int r = 0; r < kRows; ++r) {
        std::vector<std::string> t = RowTexts(r);
        for (int c = 0; c < kCols; ++c) grid->SetCells(c, r + 1, t[c]);
    }
    QImage image(grid->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        grid->render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_RepaintOnly)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
