#pragma once
// The settings object: debug switch, move-detection parameters, the main grid's column widths,
// the event viewer's place and the trader's alerts from KESTREL.INI, read once at start; only the
// widths and the viewer's place are ever written back.
#include <array>
#include <cstdint>
#include <optional>
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

    // [EVENTVIEWER]: where the trader last put the event viewer (left and top of its frame, width
    // and height inside it). None until the viewer has been moved, or when the section does not
    // hold four whole numbers with a width and a height above 0.
    struct CPlace {
        int32_t Left = 0;
        int32_t Top = 0;
        int32_t Width = 0;
        int32_t Height = 0;
        bool operator==(const CPlace&) const = default;
    };
    std::optional<CPlace> ViewerPlace;
    // Writes the place to [EVENTVIEWER] (every other line of the file stays as it is) and keeps
    // it in ViewerPlace. Throws as SaveWidths does.
    void SaveViewerPlace(const CPlace& place);

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
    static constexpr const char* kViewerSection = "EVENTVIEWER";
    static std::string WidthKey(int index);
    void LoadViewerPlace();
    // The [ALERT] keys read and checked; one note lists the values that cannot be used.
    void LoadAlerts();
    kestrel::IniFile File;
    std::vector<std::string> Notes;
};
