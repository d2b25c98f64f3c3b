#include "common/ZeroPages.h"

#include <cstdint>
#include <new>
#include <utility>

namespace kestrel {

CZeroPages::CZeroPages(size_t bytes) : Bytes(bytes) {
    if (bytes == 0) return;
    Base = static_cast<char*>(Map(bytes));
    if (!Base) throw std::bad_alloc();
}

CZeroPages CZeroPages::Large(size_t bytes) {
    CZeroPages block;
    if (bytes == 0) return block;
    block.Base = static_cast<char*>(MapAligned(bytes, size_t{2} << 20));
    if (!block.Base) throw std::bad_alloc();
    block.Bytes = bytes;
    PreferLargePages(block.Base, bytes);
    return block;
}

CZeroPages::~CZeroPages() {
    if (Base) Unmap(Base, Bytes);
}

CZeroPages::CZeroPages(CZeroPages&& other) noexcept
    : Base(std::exchange(other.Base, nullptr)), Bytes(std::exchange(other.Bytes, 0)) {}

CZeroPages& CZeroPages::operator=(CZeroPages&& other) noexcept {
    if (this != &other) {
        if (Base) Unmap(Base, Bytes);
        Base = std::exchange(other.Base, nullptr);
        Bytes = std::exchange(other.Bytes, 0);
    }
    return *this;
}

void CZeroPages::DiscardWithin(void* at, size_t bytes) {
    const uintptr_t page = PageSize();
    const uintptr_t from = (reinterpret_cast<uintptr_t>(at) + page - 1) / page * page;
    const uintptr_t to = (reinterpret_cast<uintptr_t>(at) + bytes) / page * page;
    if (to > from) Discard(reinterpret_cast<void*>(from), to - from);
}

}  // namespace kestrel
