#include "common/ZeroPages.h"

#include <new>
#include <utility>

namespace kestrel {

CZeroPages::CZeroPages(size_t bytes) : Bytes(bytes) {
    if (bytes == 0) return;
    Base = static_cast<char*>(Map(bytes));
    if (!Base) throw std::bad_alloc();
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

}  // namespace kestrel
