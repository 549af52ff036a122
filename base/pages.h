// Large buffers about to be written for the first time, backed by huge pages.
//
// A freshly allocated image is mapped page by page as it is first written:
// one page fault per 4 KiB, 25,000 of them for a 100 MB side-by-side canvas,
// which on a virtual machine cost more than rendering into it. Backed by
// 2 MiB pages the same canvas takes fifty. The advice covers the whole
// 2 MiB pages inside the buffer and changes nothing about its contents; the
// system may decline it (transparent huge pages switched off), which only
// leaves the faults as they were.
#pragma once

#include <cstddef>

namespace vistereo {

// Asks for huge pages under [data, data + bytes). Returns true when the
// system took the advice for some part of it; buffers smaller than two huge
// pages are left alone.
bool adviseHugePages(void* data, size_t bytes);

}  // namespace vistereo
