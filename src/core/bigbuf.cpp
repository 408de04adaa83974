// See bigbuf.hpp.
#include "core/bigbuf.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <new>

namespace kelvane::core {
namespace {

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

struct Spares {
    std::mutex lock;
    std::deque<BigBuffer> kept;  // oldest first
    std::size_t bytes = 0;
};

Spares& spares() {
    static Spares* s = new Spares;  // never destroyed: buffers may be released at exit
    return *s;
}

// A kept buffer of `mapped` bytes at least and at most half as much again.
bool take_spare(std::size_t mapped, BigBuffer& out) {
    Spares& s = spares();
    std::lock_guard<std::mutex> guard(s.lock);
    auto best = s.kept.end();
    for (auto it = s.kept.begin(); it != s.kept.end(); ++it) {
        if (it->mapped >= mapped && it->mapped <= mapped + mapped / 2 &&
            (best == s.kept.end() || it->mapped < best->mapped))
            best = it;
    }
    if (best == s.kept.end()) return false;
    out = *best;
    s.bytes -= best->mapped;
    s.kept.erase(best);
    return true;
}

BigBuffer map_fresh_huge(std::size_t want) {
    // Map one huge page more than needed and give back the unaligned ends, so
    // that the kept range starts and ends on huge-page boundaries.
    const std::size_t over = want + kHugePageBytes;
    void* raw = mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, kHugePageBytes);
    const std::size_t head = aligned - start;
    const std::size_t tail = over - head - want;
    if (head > 0) munmap(raw, head);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + want), tail);
    BigBuffer out;
    out.base = reinterpret_cast<void*>(aligned);
    out.mapped = want;
#ifdef MADV_HUGEPAGE
    madvise(out.base, out.mapped, MADV_HUGEPAGE);  // advice only: ordinary pages when refused
#endif
    return out;
}

}  // namespace

BigBuffer map_big_buffer(std::size_t bytes) {
    if (bytes == 0 || bytes > (SIZE_MAX >> 2)) throw std::bad_alloc();
    BigBuffer out;
    if (bytes < kHugePageBytes) {
        // sizes in steps of 64 KiB, so that a kept buffer fits the next call's
        const std::size_t want = round_up(bytes, std::size_t{64} << 10);
        if (want < kKeptFromBytes || !take_spare(want, out)) {
            out.mapped = want;
            out.base = mmap(nullptr, out.mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (out.base == MAP_FAILED) throw std::bad_alloc();
        }
    } else {
        const std::size_t want = round_up(bytes, kHugePageBytes);
        if (!take_spare(want, out)) out = map_fresh_huge(want);
    }
    out.data = out.base;
    out.size = bytes;
    return out;
}

void release_big_buffer(const BigBuffer& buffer) noexcept {
    if (buffer.base == nullptr) return;
    if (buffer.mapped >= kKeptFromBytes && buffer.mapped <= kSpareBytes) {
        std::deque<BigBuffer> evicted;
        {
            Spares& s = spares();
            std::lock_guard<std::mutex> guard(s.lock);
            try {
                s.kept.push_back(buffer);
                s.bytes += buffer.mapped;
                while (s.bytes > kSpareBytes) {
                    s.bytes -= s.kept.front().mapped;
                    evicted.push_back(s.kept.front());
                    s.kept.pop_front();
                }
            } catch (const std::bad_alloc&) {
                evicted.push_back(buffer);
            }
        }
        for (const BigBuffer& b : evicted) munmap(b.base, b.mapped);
        return;
    }
    munmap(buffer.base, buffer.mapped);
}

}  // namespace kelvane::core
