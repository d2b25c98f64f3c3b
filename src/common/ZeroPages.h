#pragma once
// A block of memory straight from the system: zeroed, and taken page by page only as it is
// first written, so the untouched part of a large block costs address space, not memory. One
// block is one mapping however large, so many of them do not run into the system's limit on
// mappings the way one allocation per object of a few hundred KB does.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace kestrel {

class CZeroPages {
public:
    CZeroPages() = default;
    // Throws std::bad_alloc when the system refuses the block.
    explicit CZeroPages(size_t bytes);
    ~CZeroPages();
    CZeroPages(CZeroPages&& other) noexcept;
    CZeroPages& operator=(CZeroPages&& other) noexcept;
    CZeroPages(const CZeroPages&) = delete;
    CZeroPages& operator=(const CZeroPages&) = delete;

    // A block starting on a multiple of `align` (as MapAligned), with large pages asked for:
    // for an array of hundreds of megabytes written once, in parts, by several threads.
    static CZeroPages Large(size_t bytes);

    char* Data() const { return Base; }
    size_t Size() const { return Bytes; }

    // The system's part, one file per platform.
    static void* Map(size_t bytes);  // null when refused
    // The same, starting on a multiple of `align` (a power of two, a multiple of the page size)
    // where the system can place it so; on Windows, where large pages are not asked for, as Map.
    static void* MapAligned(size_t bytes, size_t align);
    static void Unmap(void* base, size_t bytes);
    static size_t PageSize();
    // Whole pages of memory this process owns whose contents are no longer wanted: the system
    // may take them back (they read as zeros after that, or as they were where it keeps them).
    // The range must start and end on a page boundary.
    static void Discard(void* base, size_t bytes);
    // The same for the whole pages inside [at, at + bytes), which need not start or end on a
    // page boundary.
    static void DiscardWithin(void* at, size_t bytes);
    // Asks the system to back the block with large pages where it can (a block read all over,
    // again and again, that would otherwise take more small pages than the processor keeps
    // translations for). Every page of it may then count as used; nothing else changes.
    void PreferLargePages() { PreferLargePages(Base, Bytes); }
    static void PreferLargePages(void* base, size_t bytes);

private:
    char* Base = nullptr;
    size_t Bytes = 0;
};

// An allocator for vectors that grow to hundreds of megabytes and are written through once
// (a study's scoring scratch), or blocks of megabytes used again and again: a block of 4 MiB or
// more is a mapping of its own, on a large page's boundary, with large pages asked for, so it
// is paged in 2 MiB at a time rather than 4 KB (a fresh small page costs microseconds where the
// system runs in a virtual machine). Smaller blocks come from the heap.
template <class T>
struct CLargeBlockAllocator {
    using value_type = T;
    static constexpr size_t kLarge = size_t{4} << 20;
    CLargeBlockAllocator() = default;
    template <class U>
    CLargeBlockAllocator(const CLargeBlockAllocator<U>&) {}
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        const size_t bytes = n * sizeof(T);
        if (bytes < kLarge) return std::allocator<T>().allocate(n);
        void* p = CZeroPages::MapAligned(bytes, size_t{2} << 20);
        if (!p) throw std::bad_alloc();
        CZeroPages::PreferLargePages(p, bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) < kLarge)
            std::allocator<T>().deallocate(p, n);
        else
            CZeroPages::Unmap(p, n * sizeof(T));
    }
    template <class U>
    bool operator==(const CLargeBlockAllocator<U>&) const {
        return true;
    }
};

}  // namespace kestrel
