#pragma once
// A private-profile (INI) file: case-insensitive section and key names, defaults for missing or
// malformed values, CP932 text. Writing a key changes only that key's line (or adds the key,
// its section, the file) and leaves every other byte of the file as it was.
#include <cstdint>
#include <string>

namespace kestrel {

class IniFile {
public:
    explicit IniFile(std::string path);

    const std::string& Path() const { return path_; }

    // The value text without surrounding blanks and one pair of enclosing quotes, at most
    // 2047 characters; `def` when the section or key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Decimal, or hexadecimal after "$", "0x", "0X"; `def` when missing or malformed.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    double ReadFloat(const std::string& section, const std::string& key, double def) const;
    // Whether the file has a section of that name (false when the file cannot be read).
    bool HasSection(const std::string& section) const;

    // False when the file cannot be written; the file is then as it was, and LastWriteError
    // says why ("<path>: <the system's reason>").
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    bool WriteInteger(const std::string& section, const std::string& key, int32_t value);
    const std::string& LastWriteError() const { return lastWriteError_; }

    // The same rules on a file's bytes, for callers (and fuzzers) that hold them already.
    static bool LookupIn(const std::string& bytes, const std::string& section,
                         const std::string& key, std::string& raw);
    static std::string SpliceValue(const std::string& bytes, const std::string& section,
                                   const std::string& key, const std::string& value);

private:
    bool Lookup(const std::string& section, const std::string& key, std::string& raw) const;
    std::string path_;
    std::string lastWriteError_;
};

}  // namespace kestrel
