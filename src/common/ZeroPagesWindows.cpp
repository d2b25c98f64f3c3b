#include <windows.h>

#include "common/ZeroPages.h"

namespace kestrel {

// Committed pages are backed only once first touched, and come zeroed.
void* CZeroPages::Map(size_t bytes) {
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void* CZeroPages::MapAligned(size_t bytes, size_t) { return Map(bytes); }

void CZeroPages::Unmap(void* base, size_t) { VirtualFree(base, 0, MEM_RELEASE); }

size_t CZeroPages::PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// The pages stay committed; the system need not keep what they hold.
void CZeroPages::Discard(void* base, size_t bytes) {
    VirtualAlloc(base, bytes, MEM_RESET, PAGE_READWRITE);
}

// Large pages need a privilege an ordinary user does not hold, and must be committed whole up
// front: the block keeps its small pages.
void CZeroPages::PreferLargePages(void*, size_t) {}

}  // namespace kestrel
