// The rolling median and MAD computed for several stretches of a series at
// once, one stretch per vector lane (internal to hampel.cpp).
//
// The outputs [a, b) are cut into L consecutive stretches; lane j walks its
// stretch from start to end. Each lane keeps its window sorted: a step
// removes the sample that leaves and inserts the one that enters with a
// compare-and-select pass over the sorted slots, the same instructions for
// every lane, so L windows advance per instruction. The median is read off
// the sorted slots; the MAD is the k-th smallest of the deviations
// |s[k] - m|, which fall and then rise along the sorted slots, so the k
// smallest of them are a run of k neighbouring slots: the MAD is the least,
// over the runs of k slots, of the larger deviation at the run's two ends.
//
// A lane's samples are first copied into a ring of rows, row q holding the
// q-th sample of every lane (converted to double), so that the step reads
// one vector per sample. A window counts its non-finite samples; inside the
// sorted slots they are stored as +inf, which keeps the slots in order and
// is removed like any value. The slots start as w copies of +inf, standing
// for w samples before the stretch that are all missing: the first w - 1
// steps fill the window and give no output.
//
// The kernel is written once over GCC/Clang vector types; hampel.cpp compiles
// it for 2 lanes (any target) and, on x86-64, for AVX2 and AVX-512 in
// functions of their own, chosen at run time. Every operation is a
// comparison, a selection or one correctly rounded subtraction, sum, halving
// or product, so each build gives the same bits.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "core/hampel.hpp"

// The vector helpers are always inlined: the notes on how vectors wider than
// the default target are passed to functions do not apply. (The warning is
// given at the end of the including file, so it stays off there.)
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kelvane::core::hampel_detail {

// What a stretch of outputs leaves for the fill pass: its first output with
// a complete window (first == end when none) with that window's median and
// limit, and the median and limit of its last complete window.
struct ChunkFill {
    std::size_t begin = 0, end = 0, first = 0;
    double first_m = 0, first_limit = 0, last_m = 0, last_limit = 0;
};

// One run of the lane kernel: outputs [a, b) of x[0..n) with window w.
// Filter mode writes out[a..b) (outputs before a lane's first complete window
// keep x and are left to the fill pass, see ChunkFill); median mode writes
// med[a..b) and scale[a..b) (NaN without a complete window).
template <class T>
struct LaneJob {
    const T* x;
    std::size_t n, w, a, b;
    double factor;
    T* out;                 // filter mode
    double* med;            // median mode
    double* scale;
    ChunkFill* fills;       // filter mode: one per lane
};

template <int L>
struct LaneTypes;
template <>
struct LaneTypes<2> {
    typedef double V __attribute__((vector_size(16)));
    typedef long long M __attribute__((vector_size(16)));
};
template <>
struct LaneTypes<4> {
    typedef double V __attribute__((vector_size(32)));
    typedef long long M __attribute__((vector_size(32)));
};
template <>
struct LaneTypes<8> {
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
};

#define KELVANE_LANES_INLINE [[gnu::always_inline]] inline

// Steps of a tile: the rows copied into the ring at a time.
inline constexpr std::size_t kLaneTile = 64;

// Rows of the ring for window w: a power of two holding the window and a tile.
inline std::size_t lane_ring_rows(std::size_t w) { return std::bit_ceil(w + kLaneTile); }

template <class V>
KELVANE_LANES_INLINE V lane_min(const V& a, const V& b) {
    return a < b ? a : b;
}
template <class V>
KELVANE_LANES_INLINE V lane_max(const V& a, const V& b) {
    return b < a ? a : b;
}
template <class V, class M>
KELVANE_LANES_INLINE V lane_abs(const V& v) {
    return (V)((M)v & std::numeric_limits<long long>::max());
}

template <int L, class T, bool Filter>
KELVANE_LANES_INLINE void lane_kernel(const LaneJob<T>& job) {
    using V = typename LaneTypes<L>::V;
    using M = typename LaneTypes<L>::M;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kNaNv = std::numeric_limits<double>::quiet_NaN();
    const T* x = job.x;
    const std::size_t n = job.n, w = job.w, h = w / 2, before = w / 2, after = (w - 1) / 2;
    const std::size_t a = job.a, b = job.b;
    if (b <= a) return;
    const std::size_t per_lane = (b - a + L - 1) / L;   // outputs per lane
    const std::size_t steps = per_lane + w - 1;         // samples per lane
    const std::size_t rows = lane_ring_rows(w), row_mask = rows - 1;

    const V zero = {};
    const V inf = zero + kInf, nan = zero + kNaNv, neg_inf = zero - kInf;

    std::unique_ptr<V[]> ring(new V[rows]);
    std::unique_ptr<V[]> slots(new V[w]);
    std::unique_ptr<V[]> dev((w & 1) ? nullptr : new V[w]);
    std::unique_ptr<V[]> res(new V[Filter ? kLaneTile : 2 * kLaneTile]);
    for (std::size_t r = 0; r < rows; ++r) ring[r] = inf;
    for (std::size_t k = 0; k < w; ++k) slots[k] = inf;

    // Lane j: outputs [lane_a[j], lane_b[j]); its sample q is x[lane_a[j] - before + q]
    // while that index is below lane_end[j] (the last sample its windows use + 1).
    std::size_t lane_a[L], lane_b[L], lane_end[L];
    for (int j = 0; j < L; ++j) {
        lane_a[j] = std::min(b, a + static_cast<std::size_t>(j) * per_lane);
        lane_b[j] = std::min(b, lane_a[j] + per_lane);
        lane_end[j] = lane_b[j] > lane_a[j] ? std::min(n, lane_b[j] + after) : 0;
    }

    M missing = {};
    missing += static_cast<long long>(w);   // the w starting slots stand for missing samples
    V m_fill = nan, limit_fill = nan, first_m = nan, first_limit = nan;
    M pending = {};   // outputs of each lane before its first complete window
    const double factor = job.factor;

    for (std::size_t q0 = 0; q0 < steps; q0 += kLaneTile) {
        const std::size_t q1 = std::min(steps, q0 + kLaneTile);
        for (int j = 0; j < L; ++j) {
            const std::size_t start = lane_a[j] - before;   // lane_a >= a >= before
            for (std::size_t q = q0; q < q1; ++q) {
                const std::size_t i = start + q;
                ring[q & row_mask][j] = i < lane_end[j] ? static_cast<double>(x[i]) : kInf;
            }
        }
        for (std::size_t q = q0; q < q1; ++q) {
            const V in = ring[q & row_mask];
            const V out = ring[(q - w) & row_mask];   // +inf rows before the start
            const M in_ok = lane_abs<V, M>(in) < inf;
            const M out_ok = lane_abs<V, M>(out) < inf;
            const V add = in_ok ? in : inf;
            const V drop = out_ok ? out : inf;
            missing += in_ok - out_ok;   // masks are -1 where true

            // Remove `drop` (slots below it stay, the others move down one)
            // and insert `add`, in one pass.
            V below = neg_inf, cur = slots[0];
            for (std::size_t k = 0; k + 1 < w; ++k) {
                const V next = slots[k + 1];
                const V kept = cur < drop ? cur : next;
                slots[k] = lane_max(below, lane_min(kept, add));
                below = kept;
                cur = next;
            }
            slots[w - 1] = lane_max(below, add);
            if (q + 1 < w) continue;   // window not yet filled

            V m, mad;
            if (w & 1) {
                // Runs of h + 1 slots [lo, lo + h] all hold slot h, the median.
                m = slots[h];
                V best0 = inf, best1 = inf;
                std::size_t lo = 0;
                for (; lo + 1 <= h; lo += 2) {
                    best0 = lane_min(best0, lane_max(m - slots[lo], slots[lo + h] - m));
                    best1 = lane_min(best1, lane_max(m - slots[lo + 1], slots[lo + 1 + h] - m));
                }
                if (lo <= h) best0 = lane_min(best0, lane_max(m - slots[lo], slots[lo + h] - m));
                mad = lane_abs<V, M>(lane_min(best0, best1));   // -0 becomes +0
            } else {
                m = (slots[h - 1] + slots[h]) / 2;
                for (std::size_t k = 0; k < w; ++k) dev[k] = lane_abs<V, M>(slots[k] - m);
                // k-th (k = h) and (k+1)-th smallest deviations: runs of h and h + 1 slots.
                V kth = inf, next = inf;
                for (std::size_t lo = 0; lo < h; ++lo) {
                    kth = lane_min(kth, lane_max(dev[lo], dev[lo + h - 1]));
                    next = lane_min(next, lane_max(dev[lo], dev[lo + h]));
                }
                kth = lane_min(kth, lane_max(dev[h], dev[w - 1]));
                mad = (kth + next) / 2;
            }
            const M complete = missing == 0;
            if constexpr (Filter) {
                const V limit = factor * (mad * kMadScale);
                m_fill = complete ? m : m_fill;
                limit_fill = complete ? limit : limit_fill;
                const M unseen = first_m != first_m;
                first_m = unseen ? m_fill : first_m;
                first_limit = unseen ? limit_fill : first_limit;
                pending -= m_fill != m_fill;
                const V v = ring[(q - after) & row_mask];
                const M replace = lane_abs<V, M>(v - m_fill) > limit_fill;
                res[q - q0] = replace ? m_fill : nan;
            } else {
                res[2 * (q - q0)] = complete ? m : nan;
                res[2 * (q - q0) + 1] = complete ? mad * kMadScale : nan;
            }
        }
        // Lane j's outputs of this tile, back in series order.
        const std::size_t qs = std::max(q0, w - 1);
        for (int j = 0; j < L; ++j) {
            const std::size_t qe = std::min(q1, w - 1 + (lane_b[j] - lane_a[j]));
            const std::size_t first_out = lane_a[j] - (w - 1);   // output of step q: first_out + q
            for (std::size_t q = qs; q < qe; ++q) {
                const std::size_t i = first_out + q;
                if constexpr (Filter) {
                    const double r = res[q - q0][j];
                    job.out[i] = r != r ? x[i] : static_cast<T>(r);
                } else {
                    job.med[i] = res[2 * (q - q0)][j];
                    job.scale[i] = res[2 * (q - q0) + 1][j];
                }
            }
        }
    }
    if constexpr (Filter) {
        for (int j = 0; j < L; ++j) {
            ChunkFill& f = job.fills[j];
            f.begin = lane_a[j];
            f.end = lane_b[j];
            f.first = std::min(lane_b[j], lane_a[j] + static_cast<std::size_t>(pending[j]));
            f.first_m = first_m[j];
            f.first_limit = first_limit[j];
            f.last_m = m_fill[j];
            f.last_limit = limit_fill[j];
        }
    }
}

}  // namespace kelvane::core::hampel_detail
