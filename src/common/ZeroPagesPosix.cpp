#include <sys/mman.h>
#include <unistd.h>

#include "common/ZeroPages.h"

namespace kestrel {

// Not counted against the commit charge up front: a block for a long watch list may be larger
// than the memory of the machine, of which only the pages written are ever used.
void* CZeroPages::Map(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
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
