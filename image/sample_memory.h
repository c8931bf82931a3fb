#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

// Sample buffers and full-size pictures are written whole right after they
// are allocated. With 4 KiB pages the kernel takes one fault per page, and in
// a virtual machine the faults of a 48 MB buffer cost more than reading the
// file; 2 MiB pages take one in 512. Only a hint: where transparent huge
// pages are off, or the buffer is too small to hold a whole one, nothing
// changes.
inline void adviseHugePages(void *start, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    const uintptr_t first = reinterpret_cast<uintptr_t>(start);
    const uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (first + bytes) & ~(kHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(start);
    static_cast<void>(bytes);
#endif
}

// An uninitialised sample buffer of `bytes`; null when memory is short.
inline std::unique_ptr<uint8_t[]> newSampleBuffer(size_t bytes)
{
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bytes]);
    if (buffer)
        adviseHugePages(buffer.get(), bytes);
    return buffer;
}
