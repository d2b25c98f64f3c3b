#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/Codec.h"

namespace kestrel::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::WriteBytes(const std::string& name, const std::string& bytes) const {
    std::string p = File(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << bytes;
    return p;
}

std::string TempDir::WriteCp932(const std::string& name, const std::string& utf8) const {
    return WriteBytes(name, Utf8ToCp932(utf8));
}

std::string TempDir::ReadBytes(const std::string& name) const {
    std::ifstream f(File(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace kestrel::test
