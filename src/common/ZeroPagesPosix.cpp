#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "common/ZeroPages.h"

namespace kestrel {

// Not counted against the commit charge up front: a block for a long watch list may be larger
// than the memory of the machine, of which only the pages written are ever used.
void* CZeroPages::Map(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// Mapped `align` longer, then cut down to the aligned part: what is left is one mapping of
// exactly `bytes`, which Unmap gives back like any other.
void* CZeroPages::MapAligned(size_t bytes, size_t align) {
    if (bytes > SIZE_MAX - align) return nullptr;
    char* p = static_cast<char*>(Map(bytes + align));
    if (!p) return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    char* start = p + ((align - at % align) % align);
    if (start > p) munmap(p, static_cast<size_t>(start - p));
    const size_t after = static_cast<size_t>(p + bytes + align - (start + bytes));
    if (after > 0) munmap(start + bytes, after);
    return start;
}

void CZeroPages::Unmap(void* base, size_t bytes) { munmap(base, bytes); }

size_t CZeroPages::PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void CZeroPages::Discard(void* base, size_t bytes) { madvise(base, bytes, MADV_DONTNEED); }

void CZeroPages::PreferLargePages(void* base, size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (base) madvise(base, bytes, MADV_HUGEPAGE);  // a hint: refused or not, the block is fine
#endif
}

}  // namespace kestrel
