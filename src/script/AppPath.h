#pragma once
// Finding an installed program the platform's way (the PATH search here) and turning the Ruby
// interpreter's location into the directory that goes onto the library search list RUBYLIB.
#include <string>

namespace kestrel::ruby {

#ifdef _WIN32
inline constexpr char SearchListSeparator = ';';
#else
inline constexpr char SearchListSeparator = ':';
#endif

// Full path of the program named by the file-name part of `name` (".exe" is added to a name
// without extension on Windows only), searched along PATH; empty when there is none.
std::string GetAppPath(const std::string& name);

// The same search along an explicit search list (a PATH value). Empty entries are skipped, so
// the current folder is never searched by accident.
std::string FindOnSearchPath(const std::string& name, const std::string& searchList);

// The folder of a program's path, without a trailing separator ("/usr/bin/ruby" gives
// "/usr/bin"); empty for an empty path. Case is kept: Linux paths are case-sensitive.
std::string InstallDirectory(const std::string& appPath);

// A search-list value with `dir` appended as the last entry ("" and "/opt" give "/opt",
// "/d/lib" and "/opt" give "/d/lib:/opt").
std::string AppendSearchDir(const std::string& current, const std::string& dir);

}  // namespace kestrel::ruby
