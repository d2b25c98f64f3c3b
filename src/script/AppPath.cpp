#include "script/AppPath.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kestrel::ruby {
namespace fs = std::filesystem;

namespace {

std::string ProgramFileName(const std::string& name) {
    std::string file = fs::path(name).filename().string();
#ifdef _WIN32
    if (!file.empty() && !fs::path(file).has_extension()) file += ".exe";
#endif
    return file;
}

bool IsExecutableFile(const fs::path& path) {
    std::error_code ec;
#ifdef _WIN32
    return fs::is_regular_file(path, ec);
#else
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
#endif
}

}  // namespace

std::string FindOnSearchPath(const std::string& name, const std::string& searchList) {
    const std::string file = ProgramFileName(name);
    if (file.empty() || file == "." || file == "..") return {};
    size_t start = 0;
    while (start <= searchList.size()) {
        size_t end = searchList.find(SearchListSeparator, start);
        if (end == std::string::npos) end = searchList.size();
        const std::string dir = searchList.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        const fs::path candidate = fs::path(dir) / file;
        if (!IsExecutableFile(candidate)) continue;
        std::error_code ec;
        fs::path full = fs::absolute(candidate, ec);
        return (ec ? candidate : full).lexically_normal().string();
    }
    return {};
}

std::string GetAppPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    return path ? FindOnSearchPath(name, path) : std::string();
}

std::string InstallDirectory(const std::string& appPath) {
    if (appPath.empty()) return {};
    std::string dir = fs::path(appPath).parent_path().string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
#ifdef _WIN32
    // The Windows installation is named in the registry with backslashes and any case; the
    // interpreter wants forward slashes and compares its load path case-sensitively.
    for (char& c : dir) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
#endif
    return dir;
}

std::string AppendSearchDir(const std::string& current, const std::string& dir) {
    if (current.empty()) return dir;
    return current + SearchListSeparator + dir;
}

}  // namespace kestrel::ruby
