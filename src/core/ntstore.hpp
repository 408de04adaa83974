// Writing many megabytes of repeated output: stores that go straight to
// memory instead of first reading each destination line into the cache
// (which a plain store to a line not in the cache does), for copies that are
// bound by memory bandwidth alone. Where the loop computes as much as it
// stores, plain stores are as fast or faster: use these only for bulk copies.
//
// The stores are weakly ordered: call stream_fence() before the memory is
// read by another thread or handed on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define KELVANE_STREAM_STORES 1
#endif

namespace kelvane::core {

inline void stream_store(std::int64_t* p, std::int64_t v) noexcept {
#ifdef KELVANE_STREAM_STORES
    _mm_stream_si64(reinterpret_cast<long long*>(p), static_cast<long long>(v));
#else
    *p = v;
#endif
}

// memcpy of n bytes (no overlap), streaming the 16-byte aligned part of dst.
inline void stream_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
#ifdef KELVANE_STREAM_STORES
    const std::size_t head = std::min<std::size_t>(n, (16 - (reinterpret_cast<std::uintptr_t>(dst) & 15)) & 15);
    std::memcpy(dst, src, head);
    dst += head;
    src += head;
    n -= head;
    for (; n >= 64; n -= 64, dst += 64, src += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), d);
    }
#endif
    std::memcpy(dst, src, n);
}

inline void stream_fence() noexcept {
#ifdef KELVANE_STREAM_STORES
    _mm_sfence();
#endif
}

}  // namespace kelvane::core
