#include "settings/Ini.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include "common/Codec.h"
#include "common/InputFile.h"
#include "common/Numbers.h"

CIni::CIni(const std::string& fileName) : File(fileName) {}

std::string CIni::WidthKey(int index) {
    char key[24];
    std::snprintf(key, sizeof key, "width%2.2d", index + 1);
    return key;
}

void CIni::Load() {
    Notes.clear();
    // One reading for every key: they all come from one state of the file.
    const kestrel::IniFile::ReadState state = File.Hold();
    if (!state.Read && !state.Refusal.Missing)
        Notes.push_back("設定ファイルを読めないため、既定の設定で動きます: " + state.Refusal.Text);
    if (state.Utf8Mark)
        Notes.push_back(
            "【" + File.Path() +
            "】は Shift-JIS のはずですが、先頭に UTF-8 のバイト順マーク (BOM) "
            "があります。マークを除き、UTF-8 として正しい値は UTF-8 として読みました。");
    Flg = File.ReadInteger("DEBUG", "flg", 1);
    Rate = File.ReadFloat("PARA", "rate", 2.0);
    Span = File.ReadInteger("PARA", "time", 2);
    DataSource = File.ReadString("PARA", "DataSource", "DDE");
    for (int i = 0; i < kColumns; ++i) Widths[i] = File.ReadInteger("GRID", WidthKey(i), 64);
    LoadViewerPlace();
    AlertSection = File.HasSection("ALERT");
    if (AlertSection) LoadAlerts();
    File.Release();
}

namespace {

bool IsAbsolute(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && path[1] == ':';  // a drive letter
}

// The folder part of a path, with its last mark; "" for a bare name.
std::string FolderOf(const std::string& path) {
    const size_t mark = path.find_last_of("/\\");
    return mark == std::string::npos ? std::string() : path.substr(0, mark + 1);
}

}  // namespace

void CIni::LoadAlerts() {
    // A value that cannot be used is replaced, as it always was, but never silently: each one
    // goes into one note with what is used instead.
    std::vector<std::string> bad;
    const auto say = [&](const char* key, const std::string& value, const std::string& used,
                         const std::string& why) {
        std::string shown = kestrel::FirstChars(value, 64);
        if (shown.size() < value.size()) shown += "…";
        bad.push_back(std::string(key) + "=" + shown + " → " + used + "（" + why + "）");
    };
    // A whole number of at least 0; `def` when it is none, 0 when below.
    const auto seconds = [&](const char* key, int32_t def, const char* why) {
        const auto value = File.ReadValue("ALERT", key);
        if (!value) return def;
        const auto n = kestrel::ParseInt(*value, true);
        if (n && *n >= 0) return *n;
        const int32_t used = n ? 0 : def;
        say(key, *value, std::to_string(used), why);
        return used;
    };

    AlertSound = 0;
    if (const auto value = File.ReadValue("ALERT", "sound")) {
        const auto n = kestrel::ParseInt(*value, true);
        AlertSound = n && *n != 0 ? 1 : 0;  // any other number has always meant on
        if (!n || (*n != 0 && *n != 1))
            say("sound", *value, std::to_string(AlertSound), "0 か 1 のはずです");
    }
    AlertCooldown = seconds("cooldown", 60, "0 以上の秒数のはずです");
    AlertKinds = "AD";
    if (const auto value = File.ReadValue("ALERT", "kinds")) {
        bool a = false, d = false, other = value->empty();
        for (char c : *value) {
            if (c == 'A' || c == 'a')
                a = true;
            else if (c == 'D' || c == 'd')
                d = true;
            else
                other = true;
        }
        // The rule sounds the kinds named, and both when neither is.
        AlertKinds = a && !d ? "A" : d && !a ? "D" : "AD";
        if (other) {
            say("kinds", *value, AlertKinds, "A、D、AD のいずれかのはずです");
        } else {
            AlertKinds = *value;
        }
    }
    AlertStale = seconds("stale", 120, "0 以上の秒数のはずです。0 で見張りません");
    AlertFile = File.ReadString("ALERT", "file", "");
    if (SoundOn() && !AlertFile.empty()) {
        // Relative to the working folder, where the settings file is.
        const std::string path =
            IsAbsolute(AlertFile) ? AlertFile : FolderOf(FileName()) + AlertFile;
        if (const auto refused = kestrel::CheckRegularFile(path, kestrel::kMaxSoundFileBytes))
            say("file", AlertFile, "警告ごとにビープ音", refused->Text);
    }
    if (bad.empty()) return;
    std::string note =
        "【" + FileName() + "】の [ALERT] に使えない値があります。代わりの値で動きます:";
    for (const auto& line : bad) note += "\n" + line;
    Notes.push_back(note);
}

void CIni::SaveWidths() {
    for (int i = 0; i < kColumns; ++i)
        if (!File.WriteInteger("GRID", WidthKey(i), Widths[i]))
            throw std::runtime_error(File.Path() + " に書き込めません");
}

void CIni::LoadViewerPlace() {
    ViewerPlace.reset();
    CPlace place;
    const std::pair<const char*, int32_t*> keys[] = {{"left", &place.Left},
                                                     {"top", &place.Top},
                                                     {"width", &place.Width},
                                                     {"height", &place.Height}};
    for (auto [key, field] : keys) {
        const auto value = File.ReadValue(kViewerSection, key);
        const auto n = value ? kestrel::ParseInt(*value, true) : std::nullopt;
        if (!n) return;
        *field = *n;
    }
    if (place.Width > 0 && place.Height > 0) ViewerPlace = place;
}

void CIni::SaveViewerPlace(const CPlace& place) {
    const std::pair<const char*, int32_t> keys[] = {
        {"left", place.Left}, {"top", place.Top}, {"width", place.Width}, {"height", place.Height}};
    for (auto [key, value] : keys)
        if (!File.WriteInteger(kViewerSection, key, value))
            throw std::runtime_error(File.Path() + " に書き込めません");
    ViewerPlace = place;
}

int32_t CIni::GetWidth(int index) const {
    return index >= 0 && index < kColumns ? Widths[index] : 64;
}

void CIni::SetWidth(int index, int32_t value) {
    if (index >= 0 && index < kColumns) Widths[index] = value;
}
