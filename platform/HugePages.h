#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace postwarden {

// Asks the kernel to back the buffer at [data, data + size) with huge pages
// where it can, so that a message of many megabytes is mapped in a few faults
// per 2 MB instead of one per 4 KB page. Advice only: a system that does not
// take it (or a small buffer) stays as it is, and nothing can fail.
inline void AdviseHugePages(void* data, size_t size) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (size < 2 * kHugePage) return;
    const auto at = reinterpret_cast<uintptr_t>(data);
    const uintptr_t begin = (at + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (at + size) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace postwarden
