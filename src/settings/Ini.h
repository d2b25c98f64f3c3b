#pragma once
// The settings object: debug switch, move-detection parameters and the main grid's column widths
// from KESTREL.INI, read once at start; only the widths are ever written back.
#include <array>
#include <cstdint>
#include <string>

#include "common/IniFile.h"

class CIni {
public:
    static constexpr const char* kDefaultPath = "KESTREL.INI";
    static constexpr int kColumns = 10;

    // Opens the accessor on the file; reads nothing.
    explicit CIni(const std::string& fileName);

    void Load();
    // Writes the ten widths to GRID/width01..width10. Throws std::runtime_error
    // "<file> に書き込めません" at the first key that cannot be written.
    void SaveWidths();

    bool IsDebug() const { return Flg != 0; }
    double GetRate() const { return Rate; }
    int32_t GetSpan() const { return Span; }
    int32_t GetWidth(int index) const;
    void SetWidth(int index, int32_t value);
    const std::string& FileName() const { return File.Path(); }

    int32_t Flg = 1;
    double Rate = 2.0;
    int32_t Span = 2;
    std::string DataSource = "DDE";
    std::array<int32_t, kColumns> Widths{64, 64, 64, 64, 64, 64, 64, 64, 64, 64};

private:
    static std::string WidthKey(int index);
    kestrel::IniFile File;
};
