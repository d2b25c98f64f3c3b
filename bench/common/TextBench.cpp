// Line reading + comma-text splitting of a CP932 file. With KESTREL_BENCH_FILE set, also reads
// that (large) file once and prints lines per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/TextFile.h"

static std::string MakeText(int lines) {
    std::string s;
    for (int i = 0; i < lines; ++i)
        s += "09:" + std::to_string(10 + i % 50) + ":15," + std::to_string(1000 + i % 2000) +
             ",\"ソニー 株\"," + std::to_string(5000 + i % 300) + "," + std::to_string(i * 100) +
             "\r\n";
    return kestrel::Utf8ToCp932(s);
}

static void BM_SplitLinesAndColumns(benchmark::State& state) {
    std::string bytes = MakeText(100000);
    std::vector<std::string> cols;
    for (auto _ : state) {
        auto lines = kestrel::SplitLines(kestrel::Cp932ToUtf8(bytes));
        size_t n = 0;
        for (auto& l : lines) {
            kestrel::SplitCommaText(l, cols);
            n += cols.size();
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_SplitLinesAndColumns)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (const char* file = std::getenv("KESTREL_BENCH_FILE")) {
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::string> lines;
        if (!kestrel::ReadLines(file, lines))
            return std::fprintf(stderr, "cannot read %s\n", file), 1;
        std::vector<std::string> cols;
        size_t n = 0;
        for (auto& l : lines) {
            kestrel::SplitCommaText(l, cols);
            n += cols.size();
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%s: %zu lines, %zu columns, %.2f s, %.0f lines/s\n", file, lines.size(), n, s,
                    lines.size() / s);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
