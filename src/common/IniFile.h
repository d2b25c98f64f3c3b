#pragma once
// A private-profile (INI) file: case-insensitive section and key names, defaults for missing or
// malformed values, CP932 text (UTF-8 after a byte-order mark). Writing a key changes only that
// key's line (or adds the key, its section, the file) and leaves every other byte of the file as it
// was.
#include <cstdint>
#include <optional>
#include <string>

#include "common/InputFile.h"

namespace kestrel {

class IniFile {
public:
    explicit IniFile(std::string path);

    const std::string& Path() const { return path_; }

    // The value text without surrounding blanks and one pair of enclosing quotes, at most
    // 2047 characters; `def` when the section or key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // The same, none when the section or key is missing.
    std::optional<std::string> ReadValue(const std::string& section, const std::string& key) const;
    // Decimal, or hexadecimal after "$", "0x", "0X"; `def` when missing or malformed.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    double ReadFloat(const std::string& section, const std::string& key, double def) const;
    // Whether the file has a section of that name (false when the file cannot be read).
    bool HasSection(const std::string& section) const;

    // What one reading of the file found.
    struct ReadState {
        bool Read = false;
        InputRefusal Refusal;  // why not, when not read
        // The file begins with a UTF-8 byte-order mark (an editor saved it as UTF-8): the mark
        // is no part of the first line, and each value that is well-formed UTF-8 reads as such.
        bool Utf8Mark = false;
    };
    // Reads the file once now (a regular file of at most kMaxSettingsFileBytes); the reads that
    // follow answer from what was read until Release, so they see one state of the file.
    ReadState Hold();
    void Release() { held_.reset(); }

    // False when the file cannot be written; the file is then as it was, and LastWriteError
    // says why ("<path>: <the system's reason>"). A file that is there but refused for reading
    // (not a regular file, or too large) is not written over.
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
    // The file's bytes: those held, or read now into `own`; null when it is not read.
    const std::string* Bytes(std::string& own) const;
    std::string path_;
    std::string lastWriteError_;
    std::optional<std::string> held_;
};

}  // namespace kestrel
