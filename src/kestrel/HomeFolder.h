#pragma once
// The trader's own working folder, for a monitor started from a menu rather than a shell: the
// folder named by KESTREL_HOME, else "Kestrel" in the user's documents on Windows and in the home
// folder elsewhere. The first start makes it a copy of the demo folder installed with the
// program; a folder that exists is never written to here, so an upgrade cannot touch the
// trader's settings, watch list or resume files.
#include <filesystem>
#include <string>

namespace kestrel {

// The folder to work in, or an empty path with `error` set when neither KESTREL_HOME nor the
// user's documents (home) folder can be found.
std::filesystem::path TraderHomeFolder(std::string& error);

// The demo folder installed with the program: share/kestrel/demo beside the program's bin folder.
std::filesystem::path InstalledDemoFolder(std::string& error);

// When `home` does not exist: copies `demo` beside it (with an empty log/ folder) and renames the
// copy into place, so a copy cut short never looks like the trader's folder. Returns false with
// `error` set when that fails; `made` says whether a copy was made.
bool MakeHomeFromDemo(const std::filesystem::path& home, const std::filesystem::path& demo,
                      bool& made, std::string& error);

}  // namespace kestrel
