// Huge-page advice: only the whole 2 MiB pages inside a buffer, never a byte outside it, and the contents kept.
#include <cstdint>
#include <filesystem>
#include <numeric>

#include <sys/mman.h>

#include <gtest/gtest.h>

#include "base/pages.h"

namespace vistereo {
namespace {

const size_t kHuge = size_t{1} << 21;

TEST(HugePages, AdviceKeepsInsideTheBufferAndLeavesSmallOnesAlone) {
    if (!std::filesystem::exists("/sys/kernel/mm/transparent_hugepage")) GTEST_SKIP() << "no transparent huge pages";
    // A mapping with nothing mapped on either side: advice reaching past its ends would be refused.
    const size_t pageSize = 4096, total = 10 * kHuge;
    void* all = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(all, MAP_FAILED);
    uint8_t* const base = static_cast<uint8_t*>(all);
    uint8_t* const inner = base + kHuge + pageSize;
    const size_t bytes = 6 * kHuge + pageSize;
    munmap(base, inner - base);
    munmap(inner + bytes, base + total - (inner + bytes));
    std::iota(inner, inner + bytes, uint8_t{0});

    const struct { size_t offset, bytes; bool advised; } cases[] = {
        {0, bytes, true},               // the whole mapping, both ends off the 2 MiB grid
        {7, 4 * kHuge + 77, true},      // inside it
        {0, 2 * kHuge - 1, false},      // too small to be worth it
    };
    for (const auto& c : cases)
        EXPECT_EQ(adviseHugePages(inner + c.offset, c.bytes), c.advised) << c.offset << " + " << c.bytes;
    EXPECT_FALSE(adviseHugePages(nullptr, 4 * kHuge));
    size_t changed = 0;
    for (size_t i = 0; i < bytes; ++i) changed += inner[i] != static_cast<uint8_t>(i);
    EXPECT_EQ(changed, 0u);
    munmap(inner, bytes);
}

}  // namespace
}  // namespace vistereo
