#include "kestrel/HomeFolder.h"

#include <cstdlib>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
// windows.h first: the shell's header needs its types.
#include <knownfolders.h>
#include <shlobj.h>
#endif

namespace fs = std::filesystem;

namespace kestrel {
namespace {

// An environment variable as a path (wide on Windows, so any folder name comes through).
fs::path EnvPath(const char* name) {
#ifdef _WIN32
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* v = _wgetenv(wide.c_str());
    return v && *v ? fs::path(v) : fs::path();
#else
    const char* v = std::getenv(name);
    return v && *v ? fs::path(v) : fs::path();
#endif
}

// A path for a message, in UTF-8 whatever the platform's own form.
std::string Describe(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace

fs::path TraderHomeFolder(std::string& error) {
    if (fs::path env = EnvPath("KESTREL_HOME"); !env.empty()) return env;
#ifdef _WIN32
    PWSTR docs = nullptr;
    fs::path result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &docs)) && docs)
        result = fs::path(docs) / L"Kestrel";
    CoTaskMemFree(docs);
    if (result.empty())
        error = "the documents folder of this user was not found (set KESTREL_HOME)";
    return result;
#else
    fs::path home = EnvPath("HOME");
    if (home.empty()) {
        error = "HOME is not set (set KESTREL_HOME)";
        return {};
    }
    return home / "Kestrel";
#endif
}

fs::path InstalledDemoFolder(std::string& error) {
    fs::path exe;
#ifdef _WIN32
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n > 0 && n < buf.size()) exe = fs::path(buf.substr(0, n));
#else
    std::error_code ec;
    exe = fs::read_symlink("/proc/self/exe", ec);
#endif
    if (exe.empty()) {
        error = "the program's own folder was not found";
        return {};
    }
    return exe.parent_path().parent_path() / "share" / "kestrel" / "demo";
}

bool MakeHomeFromDemo(const fs::path& home, const fs::path& demo, bool& made, std::string& error) {
    made = false;
    std::error_code ec;
    // A dangling link counts as there: it is the trader's, not ours to replace.
    if (fs::symlink_status(home, ec).type() != fs::file_type::not_found) {
        if (ec) {
            error = Describe(home) + ": " + ec.message();
            return false;
        }
        return true;
    }
    if (!fs::is_directory(demo, ec)) {
        error = "the demo folder " + Describe(demo) + " is missing";
        return false;
    }
    const fs::path parent = home.parent_path().empty() ? fs::path(".") : home.parent_path();
    fs::create_directories(parent, ec);
    if (ec) {
        error = Describe(parent) + ": " + ec.message();
        return false;
    }
    std::random_device rd;
    fs::path tmp;
    for (int i = 0; i < 16; ++i) {
        tmp = parent / (".kestrel-demo." + std::to_string(rd() % 1000000));
        if (fs::create_directory(tmp, ec)) break;
        if (ec) {
            error = Describe(tmp) + ": " + ec.message();
            return false;
        }
        tmp.clear();
    }
    if (tmp.empty()) {
        error = "no temporary folder could be made in " + Describe(parent);
        return false;
    }
    auto fail = [&](const std::string& what) {
        std::error_code ignored;
        fs::remove_all(tmp, ignored);
        error = what;
        return false;
    };
    // Entry by entry: MinGW's std::filesystem::copy will not copy a folder into an existing one.
    for (fs::recursive_directory_iterator it(demo, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path to = tmp / fs::relative(it->path(), demo);
        if (it->is_directory())
            fs::create_directories(to, ec);
        else
            fs::copy_file(it->path(), to, ec);
    }
    if (ec) return fail("copying the demo folder " + Describe(demo) + ": " + ec.message());
    // The demo's placeholder for the empty log folder is no file of the trader's.
    fs::remove(tmp / ".keep", ec);
    fs::remove(tmp / "log" / ".keep", ec);
    fs::create_directories(tmp / "log", ec);
    if (ec) return fail(Describe(tmp / "log") + ": " + ec.message());
    fs::rename(tmp, home, ec);
    if (ec) return fail(Describe(home) + ": " + ec.message());
    made = true;
    return true;
}

}  // namespace kestrel
