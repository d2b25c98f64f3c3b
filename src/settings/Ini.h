#pragma once
// The settings object: debug switch, move-detection parameters, the main grid's column widths
// and the trader's alerts from KESTREL.INI, read once at start; only the widths are ever written
// back.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/IniFile.h"

class CIni {
public:
    static constexpr const char* kDefaultPath = "KESTREL.INI";
    static constexpr int kColumns = 10;

    // Opens the accessor on the file; reads nothing.
    explicit CIni(const std::string& fileName);

    // Reads every setting (the file once, a regular file of at most 1 MiB). What the user
    // should hear about it goes to the notes: a file that is not read although it is there, a
    // byte-order mark, [ALERT] values that cannot be used (with what is used instead).
    void Load();
    // The notes of the last Load, handed out once: whoever says them takes them.
    std::vector<std::string> TakeNotes() { return std::move(Notes); }
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

    // [ALERT]: read only. Without the section every alert is off.
    bool SoundOn() const { return AlertSound != 0; }
    // Seconds of silence in the session that the live feed may keep before the status bar says
    // so; 0 when that watch is off (no [ALERT] section, or stale=0).
    int32_t StaleSeconds() const { return AlertSection && AlertStale > 0 ? AlertStale : 0; }

    bool AlertSection = false;
    int32_t AlertSound = 0;
    std::string AlertFile;  // "" for the sound the program carries
    int32_t AlertCooldown = 60;
    std::string AlertKinds = "AD";
    int32_t AlertStale = 120;

private:
    static std::string WidthKey(int index);
    // The [ALERT] keys read and checked; one note lists the values that cannot be used.
    void LoadAlerts();
    kestrel::IniFile File;
    std::vector<std::string> Notes;
};
