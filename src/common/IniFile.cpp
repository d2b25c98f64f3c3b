#include "common/IniFile.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cctype>
#include <cerrno>
#include <system_error>
#include <vector>

#include "common/Codec.h"
#include "common/Numbers.h"
#include "common/TextFile.h"

namespace kestrel {
namespace {

// One physical line of the file as raw bytes, with where it begins and where its text ends
// (before the line end), so a write can splice a single line.
struct RawLine {
    size_t begin;
    size_t textEnd;
    size_t end;  // after the line end
};

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

bool HasUtf8Mark(std::string_view bytes) { return bytes.substr(0, kUtf8Mark.size()) == kUtf8Mark; }

// The lines of the file, the first one after a byte-order mark.
std::vector<RawLine> ScanLines(const std::string& bytes) {
    std::vector<RawLine> lines;
    const size_t from = HasUtf8Mark(bytes) ? kUtf8Mark.size() : 0;
    size_t i = from, start = from, n = bytes.size();
    while (i < n) {
        char c = bytes[i];
        if (c == '\r' || c == '\n') {
            size_t textEnd = i;
            if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n') ++i;
            ++i;
            lines.push_back({start, textEnd, i});
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n) lines.push_back({start, n, n});
    return lines;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool SectionName(std::string_view text, std::string_view& name) {
    std::string_view t = TrimBlanks(text);
    if (t.empty() || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string_view::npos) return false;
    name = TrimBlanks(t.substr(1, close - 1));
    return true;
}

bool KeyValue(std::string_view text, std::string_view& key, std::string_view& value) {
    std::string_view t = TrimBlanks(text);
    if (t.empty() || t.front() == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    key = TrimBlanks(t.substr(0, eq));
    value = TrimBlanks(t.substr(eq + 1));
    return true;
}

// Where a key lives: the line index of the key (or npos), the section line (or npos) and the
// last non-blank line of the section.
struct Place {
    size_t keyLine = std::string::npos;
    size_t sectionLine = std::string::npos;
    size_t lastInSection = std::string::npos;
};

// A section or key name as the program spells it (UTF-8), and as a CP932 file does.
struct Name {
    explicit Name(const std::string& utf8) : Utf8(utf8), Cp932(Utf8ToCp932(utf8)) {}
    // A file with a byte-order mark may spell it either way.
    bool Is(std::string_view name, bool utf8Mark) const {
        return EqualNoCase(name, Cp932) || (utf8Mark && EqualNoCase(name, Utf8));
    }
    std::string Utf8, Cp932;
};

// A value as the program takes it: CP932 decoded, or UTF-8 as it is after a byte-order mark.
std::string DecodeValue(std::string_view v, bool utf8Mark) {
    if (utf8Mark && IsValidUtf8(v)) return std::string(v);
    return Cp932ToUtf8(v);
}

Place Find(const std::string& bytes, const std::vector<RawLine>& lines, const Name& section,
           const Name& key) {
    const bool mark = HasUtf8Mark(bytes);
    Place p;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view text(bytes.data() + lines[i].begin, lines[i].textEnd - lines[i].begin);
        std::string_view name;
        if (SectionName(text, name)) {
            if (inSection) break;  // the first section of that name is the one used
            inSection = section.Is(name, mark);
            if (inSection) {
                p.sectionLine = i;
                p.lastInSection = i;
            }
            continue;
        }
        if (!inSection) continue;
        if (!TrimBlanks(text).empty()) p.lastInSection = i;
        std::string_view k, v;
        if (KeyValue(text, k, v) && key.Is(k, mark)) {
            p.keyLine = i;
            return p;
        }
    }
    return p;
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

bool IniFile::LookupIn(const std::string& bytes, const std::string& section, const std::string& key,
                       std::string& raw) {
    auto lines = ScanLines(bytes);
    Place p = Find(bytes, lines, Name(section), Name(key));
    if (p.keyLine == std::string::npos) return false;
    std::string_view text(bytes.data() + lines[p.keyLine].begin,
                          lines[p.keyLine].textEnd - lines[p.keyLine].begin);
    std::string_view kk, v;
    KeyValue(text, kk, v);
    raw = DecodeValue(v, HasUtf8Mark(bytes));
    return true;
}

IniFile::ReadState IniFile::Hold() {
    ReadState state;
    std::string bytes;
    held_.reset();
    state.Read = ReadFileBytes(path_, bytes, kMaxSettingsFileBytes, &state.Refusal);
    state.Utf8Mark = HasUtf8Mark(bytes);
    held_ = std::move(bytes);
    return state;
}

const std::string* IniFile::Bytes(std::string& own) const {
    if (held_) return &*held_;
    return ReadFileBytes(path_, own, kMaxSettingsFileBytes) ? &own : nullptr;
}

bool IniFile::Lookup(const std::string& section, const std::string& key, std::string& raw) const {
    std::string own;
    const std::string* bytes = Bytes(own);
    return bytes && LookupIn(*bytes, section, key, raw);
}

std::optional<std::string> IniFile::ReadValue(const std::string& section,
                                              const std::string& key) const {
    std::string raw;
    if (!Lookup(section, key, raw)) return std::nullopt;
    std::string_view v = TrimBlanks(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    std::string out(v);
    if (out.size() > 2047) out = FirstChars(out, 2047);
    return out;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    return ReadValue(section, key).value_or(def);
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t def) const {
    std::string s = ReadString(section, key, "");
    return ParseInt(s, true).value_or(def);
}

double IniFile::ReadFloat(const std::string& section, const std::string& key, double def) const {
    std::string s = ReadString(section, key, "");
    return ParseReal(s).value_or(def);
}

bool IniFile::HasSection(const std::string& section) const {
    std::string own;
    const std::string* bytes = Bytes(own);
    if (!bytes) return false;
    const Name sec(section);
    const bool mark = HasUtf8Mark(*bytes);
    for (const RawLine& l : ScanLines(*bytes)) {
        std::string_view name;
        if (SectionName(std::string_view(bytes->data() + l.begin, l.textEnd - l.begin), name) &&
            sec.Is(name, mark))
            return true;
    }
    return false;
}

std::string IniFile::SpliceValue(const std::string& bytes, const std::string& section,
                                 const std::string& key, const std::string& value) {
    // A file that says it is UTF-8 gets UTF-8.
    const bool mark = HasUtf8Mark(bytes);
    const std::string sec = mark ? section : Utf8ToCp932(section);
    const std::string k = mark ? key : Utf8ToCp932(key);
    const std::string v = mark ? value : Utf8ToCp932(value);
    auto lines = ScanLines(bytes);
    Place p = Find(bytes, lines, Name(section), Name(key));
    std::string out;
    if (p.keyLine != std::string::npos) {
        const RawLine& l = lines[p.keyLine];
        std::string_view text(bytes.data() + l.begin, l.textEnd - l.begin);
        // Keep the key as it is spelt in the file and any indentation before it.
        size_t eq = text.find('=');
        out = bytes.substr(0, l.begin) + std::string(text.substr(0, eq + 1)) + v +
              bytes.substr(l.textEnd);
    } else if (p.sectionLine != std::string::npos) {
        const RawLine& l = lines[p.lastInSection];
        std::string head = bytes.substr(0, l.end);
        if (l.end == l.textEnd) head += "\r\n";  // the last line of the file had no end mark
        out = head + k + "=" + v + "\r\n" + bytes.substr(l.end);
    } else {
        out = bytes;
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += "\r\n";
        if (!out.empty()) out += "\r\n";
        out += "[" + sec + "]\r\n" + k + "=" + v + "\r\n";
    }
    return out;
}

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    lastWriteError_.clear();
    held_.reset();  // what is held would no longer be the file
    auto refuse = [&](int err) {
        lastWriteError_ = path_ + ": " + std::generic_category().message(err);
        return false;
    };
    std::string bytes;
    InputRefusal refusal;
    bool exists = ReadFileBytes(path_, bytes, kMaxSettingsFileBytes, &refusal);
    if (!exists && !refusal.Missing) {
        // There but unreadable, or no settings file at all (a folder, a FIFO, a device, a
        // file too large): do not clobber it.
        lastWriteError_ = refusal.Text;
        return false;
    }
    // A read-only file stays so.
#ifdef _WIN32
    if (exists && _waccess(WidePath(path_).c_str(), 2) != 0) return refuse(errno);
#else
    if (exists && access(path_.c_str(), W_OK) != 0) return refuse(errno);
#endif
    std::string out = SpliceValue(bytes, section, key, value);
    try {
        WriteFileBytes(path_, out);
    } catch (const std::exception& e) {
        lastWriteError_ = e.what();
        return false;
    }
    return true;
}

bool IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

}  // namespace kestrel
