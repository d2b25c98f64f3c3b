#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/ZeroPages.h"

// A vector on large blocks keeps every value as it grows from the heap into mappings of its
// own and back, and each block goes back the way it came (a block handed to the wrong one
// would crash or show up under the sanitizers).
TEST(ZeroPages, LargeBlocksKeepWhatTheyHoldAsTheyMoveBetweenHeapAndMappings) {
    std::vector<uint64_t, kestrel::CLargeBlockAllocator<uint64_t>> v;
    const uint64_t n = 3 << 20;  // 24 MiB: past the heap's blocks many times over
    for (uint64_t i = 0; i < n; ++i) v.push_back(i * 2654435761u);
    for (uint64_t i = 0; i < n; i += 4099) ASSERT_EQ(v[i], i * 2654435761u) << i;
    EXPECT_EQ(v.back(), (n - 1) * 2654435761u);
#ifndef _WIN32
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % (2 << 20), 0u) << "not on a large page";
#endif
    v.resize(1000);
    v.shrink_to_fit();  // back to the heap
    for (uint64_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i * 2654435761u) << i;
    std::vector<uint64_t, kestrel::CLargeBlockAllocator<uint64_t>> copy(v.begin(), v.end());
    copy.reserve(1 << 20);  // a mapping, asked for whole
    EXPECT_TRUE(copy == v);
}
