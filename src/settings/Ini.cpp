#include "settings/Ini.h"

#include <cstdio>
#include <stdexcept>

CIni::CIni(const std::string& fileName) : File(fileName) {}

std::string CIni::WidthKey(int index) {
    char key[24];
    std::snprintf(key, sizeof key, "width%2.2d", index + 1);
    return key;
}

void CIni::Load() {
    Flg = File.ReadInteger("DEBUG", "flg", 1);
    Rate = File.ReadFloat("PARA", "rate", 2.0);
    Span = File.ReadInteger("PARA", "time", 2);
    DataSource = File.ReadString("PARA", "DataSource", "DDE");
    for (int i = 0; i < kColumns; ++i) Widths[i] = File.ReadInteger("GRID", WidthKey(i), 64);
    AlertSection = File.HasSection("ALERT");
    if (!AlertSection) return;
    AlertSound = File.ReadInteger("ALERT", "sound", 0);
    AlertFile = File.ReadString("ALERT", "file", "");
    AlertCooldown = File.ReadInteger("ALERT", "cooldown", 60);
    AlertKinds = File.ReadString("ALERT", "kinds", "AD");
    AlertStale = File.ReadInteger("ALERT", "stale", 120);
}

void CIni::SaveWidths() {
    for (int i = 0; i < kColumns; ++i)
        if (!File.WriteInteger("GRID", WidthKey(i), Widths[i]))
            throw std::runtime_error(File.Path() + " に書き込めません");
}

int32_t CIni::GetWidth(int index) const {
    return index >= 0 && index < kColumns ? Widths[index] : 64;
}

void CIni::SetWidth(int index, int32_t value) {
    if (index >= 0 && index < kColumns) Widths[index] = value;
}
