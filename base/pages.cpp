#include "base/pages.h"

#include <cstdint>

#include <sys/mman.h>

namespace vistereo {

bool adviseHugePages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{1} << 21;
    if (!data || bytes < 2 * kHugePage) return false;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last <= first) return false;
    return madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) == 0;
#else
    (void)data, (void)bytes;
    return false;
#endif
}

}  // namespace vistereo
