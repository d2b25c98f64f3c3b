#include <windows.h>

#include "common/ZeroPages.h"

namespace kestrel {

// Committed pages are backed only once first touched, and come zeroed.
void* CZeroPages::Map(size_t bytes) {
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void CZeroPages::Unmap(void* base, size_t) { VirtualFree(base, 0, MEM_RELEASE); }

}  // namespace kestrel
