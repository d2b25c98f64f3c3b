#pragma once
// A temporary folder for one test, removed with everything in it afterwards, and a helper that
// writes UTF-8 text into it as a real CP932 file.
#include <string>

namespace kestrel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes `utf8` converted to CP932, byte for byte otherwise (line ends as given).
    std::string WriteCp932(const std::string& name, const std::string& utf8) const;
    std::string WriteBytes(const std::string& name, const std::string& bytes) const;
    std::string ReadBytes(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace kestrel::test
