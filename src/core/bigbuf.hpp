// Large output buffers (result columns of many megabytes) mapped on
// transparent huge pages where the system allows it: one page fault per 2 MiB
// instead of one per 4 KiB when the buffer is first written.
//
// Released buffers from kKeptFromBytes on are kept for reuse, up to kSpareBytes in all, so
// that a run of calls (one table after another) writes into memory that is
// already mapped instead of having the system clear fresh pages every time;
// the oldest spare buffers are given back first. A buffer handed out may so
// hold old bytes: callers write every byte they expose.
#pragma once

#include <cstddef>

namespace kelvane::core {

struct BigBuffer {
    void* data = nullptr;   // page aligned
    std::size_t size = 0;   // bytes asked for
    void* base = nullptr;   // the mapping
    std::size_t mapped = 0;
};

// Buffers of at least this many bytes go on huge pages.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Buffers of at least this many bytes (huge-page ones or not) are kept for
// reuse once released: below it, the memory allocator's own reuse does as well.
inline constexpr std::size_t kKeptFromBytes = std::size_t{256} << 10;
// At most this many bytes of released buffers are kept for reuse.
inline constexpr std::size_t kSpareBytes = std::size_t{256} << 20;

// A buffer of `bytes` (> 0): a kept one of fitting size, else a fresh
// mapping. Throws std::bad_alloc when the system refuses. Thread safe.
BigBuffer map_big_buffer(std::size_t bytes);

// Gives a buffer of map_big_buffer back (kept for reuse or unmapped); a
// default BigBuffer is ignored. Thread safe.
void release_big_buffer(const BigBuffer& buffer) noexcept;

}  // namespace kelvane::core
