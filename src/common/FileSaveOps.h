#pragma once
// The system calls a save is made of (create the temporary, write, sync, close, rename, remove),
// behind one small interface so that a test can make any single step fail.
#include <cstddef>
#include <string>
#include <system_error>

namespace kestrel {

// The base class makes the real calls; a test derives from it and overrides the step it wants
// to break. A step reports failure as the system's error code and never throws.
class FileSaveOps {
public:
    virtual ~FileSaveOps() = default;

    // Creates `path` as a new file open for writing. Anything already there, a link included,
    // is an error (file_exists) and is never opened. The new file gets the permission bits of
    // the file at `modeOf` when there is one, else 0644 less the umask.
    virtual std::error_code CreateNew(const std::string& path, const std::string& modeOf, int& fd);
    // Writes at most `size` bytes and says in `written` how many went; fewer is not an error.
    virtual std::error_code Write(int fd, const char* data, size_t size, size_t& written);
    virtual std::error_code Sync(int fd);
    virtual std::error_code Close(int fd);
    // Puts `from` in the place of `to` in one step: a reader finds the old file or the new one.
    virtual std::error_code Rename(const std::string& from, const std::string& to);
    // Removes the name `path`: a link itself, never what it points to.
    virtual std::error_code Remove(const std::string& path);
};

// The steps every save uses unless it is handed its own: the system's, or a test's.
FileSaveOps& CurrentSaveOps();

// Puts `ops` in place of the current steps for as long as it lives (for tests).
class ScopedSaveOps {
public:
    explicit ScopedSaveOps(FileSaveOps& ops);
    ~ScopedSaveOps();
    ScopedSaveOps(const ScopedSaveOps&) = delete;
    ScopedSaveOps& operator=(const ScopedSaveOps&) = delete;

private:
    FileSaveOps* previous_;
};

}  // namespace kestrel
