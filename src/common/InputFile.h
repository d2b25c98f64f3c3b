#pragma once
// Every file the system reads is looked at before it is read: only a regular file of a size no
// real one of its kind reaches is read. A folder, a FIFO or a device in a file's place is named
// as what it is, and neither a FIFO without a writer nor an endless device can hold up a reader
// or fill the memory.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kestrel {

// How large an input file may be, by kind. Each is far above any real file of that kind.
// KESTREL.INI: a few hundred bytes.
constexpr uint64_t kMaxSettingsFileBytes = uint64_t{1} << 20;
// The alert WAV: a chime of a second is some 100 KB; 64 MiB is six minutes of CD sound.
constexpr uint64_t kMaxSoundFileBytes = uint64_t{64} << 20;
// 銘柄情報.txt, 株式売買値幅.txt, 監視銘柄.txt and the resume files: one line an issue of the
// whole market is well under 1 MB.
constexpr uint64_t kMaxListFileBytes = uint64_t{256} << 20;
// kabu.txt and std.csv: a day of 10 million quotes is some 300 MB. The line index of the replay
// holds texts past 4 GiB, so the limit lies above that.
constexpr uint64_t kMaxReplayFileBytes = uint64_t{8} << 30;

// Why a file is not read.
struct InputRefusal {
    bool Missing = false;  // nothing by that name: often no fault at all
    std::string Text;      // "<path>: <why>", the system's reason where there is one
};

// Whether `path` names a regular file (a link to one counts) of at most `limit` bytes, looked at
// without opening it. None when it does; otherwise why not: "<path>: is a FIFO, not a file",
// "... is a folder ...", "... is a device ...", "<path>: is N bytes, more than ..." or the
// system's reason ("<path>: No such file or directory").
std::optional<InputRefusal> CheckRegularFile(const std::string& path, uint64_t limit);

// Opens `path` for reading in binary when CheckRegularFile allows it, without waiting on
// whatever is there, and checks the opened file once more (a swap between the look and the
// open is caught). Null, with `refusal` filled, when it is refused or cannot be opened.
FILE* OpenInputFile(const std::string& path, uint64_t limit, InputRefusal& refusal);

// A size for people: "1 MiB", "8 GiB", "300 bytes".
std::string SizeText(uint64_t bytes);

}  // namespace kestrel
