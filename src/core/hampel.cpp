#include "core/hampel.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "core/hampel_lanes.hpp"
#include "core/parallel.hpp"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define KELVANE_HAMPEL_X86 1
#else
#define KELVANE_HAMPEL_X86 0
#endif

namespace kelvane::core {
namespace {

using hampel_detail::ChunkFill;
using hampel_detail::lane_kernel;
using hampel_detail::LaneJob;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Window geometry: the window of sample i is [i - before, i + after].
struct Geometry {
    std::size_t window, before, after;
    explicit Geometry(std::size_t w) : window(w), before(w / 2), after((w - 1) / 2) {}
    // First and one-past-last sample whose window lies inside [0, n).
    std::size_t first() const { return before; }
    std::size_t last(std::size_t n) const { return n >= window ? n - after : before; }
};

// Median of the window and median of the absolute deviations from it, for a
// window whose sorted values are reached through at(k), k in [0, w). The two
// deviation runs, m - s[c-1-j] and s[c+j] - m (c = number of values below m),
// are each ascending, so the needed order statistics of their union come from
// a binary search over how many values the left run contributes.
template <class At, class CountBelow>
inline void median_and_mad(const At& at, const CountBelow& count_below, std::size_t w,
                           double& med, double& mad) {
    const std::size_t h = w / 2;
    const double m = (w & 1) ? at(h) : (at(h - 1) + at(h)) / 2;
    const std::size_t c = count_below(m);   // values strictly below m
    const std::size_t nl = c, nr = w - c;
    auto L = [&](std::size_t j) { return m - at(c - 1 - j); };
    auto R = [&](std::size_t j) { return at(c + j) - m; };
    // k-th smallest deviation (1-based) and the one after it.
    const std::size_t k = (w & 1) ? h + 1 : h;
    std::size_t lo = k > nr ? k - nr : 0, hi = std::min(nl, k);
    for (std::size_t len = hi - lo; len > 0;) {   // branch-free lower bound
        const std::size_t half = len / 2, i = lo + half;
        const bool more = L(i) < R(k - i - 1);
        lo = more ? i + 1 : lo;
        len = more ? len - half - 1 : half;
    }
    const std::size_t i = lo, j = k - lo;
    double kth;
    if (i == 0) {
        kth = R(j - 1);
    } else if (j == 0) {
        kth = L(i - 1);
    } else {
        kth = std::max(L(i - 1), R(j - 1));
    }
    if (w & 1) {
        mad = kth;
    } else {
        double next;
        if (i == nl) {
            next = R(j);
        } else if (j == nr) {
            next = L(i);
        } else {
            next = std::min(L(i), R(j));
        }
        mad = (kth + next) / 2;
    }
    med = m;
}

// Small and medium windows: the finite values of the window kept sorted in a
// flat buffer. An exchange moves only the values between the old and the new
// position.
class FlatWindow {
public:
    explicit FlatWindow(std::size_t w) : s_(w) {}

    std::size_t size() const { return n_; }

    void add(double v) {
        std::size_t k = n_++;
        while (k > 0 && s_[k - 1] > v) {
            s_[k] = s_[k - 1];
            --k;
        }
        s_[k] = v;
    }

    void remove(double v) {
        std::size_t r = position_of(v);
        std::copy(s_.begin() + static_cast<std::ptrdiff_t>(r + 1),
                  s_.begin() + static_cast<std::ptrdiff_t>(n_),
                  s_.begin() + static_cast<std::ptrdiff_t>(r));
        --n_;
    }

    void exchange(double old_value, double v) {
        std::size_t k = position_of(old_value);
        if (v > old_value) {
            while (k + 1 < n_ && s_[k + 1] < v) {
                s_[k] = s_[k + 1];
                ++k;
            }
        } else {
            while (k > 0 && s_[k - 1] > v) {
                s_[k] = s_[k - 1];
                --k;
            }
        }
        s_[k] = v;
    }

    void compute(double& med, double& mad) const {
        const double* s = s_.data();
        const std::size_t w = n_;
        median_and_mad([s](std::size_t k) { return s[k]; },
                       [this](double m) { return count_below(m); }, w, med, mad);
    }

private:
    // Number of values below v (also the position of the first value >= v).
    // Short buffers are counted without branches, which beats a binary search.
    std::size_t count_below(double v) const {
        if (n_ <= 64) {
            std::size_t c = 0;
            for (std::size_t k = 0; k < n_; ++k) c += s_[k] < v;
            return c;
        }
        return static_cast<std::size_t>(
            std::lower_bound(s_.begin(), s_.begin() + static_cast<std::ptrdiff_t>(n_), v) -
            s_.begin());
    }

    std::size_t position_of(double v) const { return count_below(v); }

    std::vector<double> s_;
    std::size_t n_ = 0;
};

// Flat engine over the outputs [a, b) (a >= g.first(), b <= g.last(n)).
template <class T, class Emit>
void slide_flat(const T* x, const Geometry& g, std::size_t a, std::size_t b, Emit&& emit) {
    if (a >= b) return;
    FlatWindow win(g.window);
    for (std::size_t j = a - g.before; j + 1 < a - g.before + g.window; ++j) {
        const double v = static_cast<double>(x[j]);
        if (std::isfinite(v)) win.add(v);
    }
    for (std::size_t i = a; i < b; ++i) {
        // Bring the window from [i-1-before, i-1+after] to [i-before, i+after].
        const double in = static_cast<double>(x[i + g.after]);
        const bool in_ok = std::isfinite(in);
        if (i == a) {
            if (in_ok) win.add(in);
        } else {
            const double out = static_cast<double>(x[i - g.before - 1]);
            const bool out_ok = std::isfinite(out);
            if (in_ok && out_ok) {
                win.exchange(out, in);
            } else if (out_ok) {
                win.remove(out);
            } else if (in_ok) {
                win.add(in);
            }
        }
        if (win.size() == g.window) {
            double m, s;
            win.compute(m, s);
            emit(i, m, s);
        }
    }
}

// Large windows: samples are handled in blocks of outputs. For each block the
// finite values of every window the block needs are ranked once; the window is
// then a set of ranks in a Fenwick tree, where insertion, removal and the k-th
// smallest value each take O(log w).
template <class T, class Emit>
void slide_ranked(const T* x, const Geometry& g, std::size_t a, std::size_t b, Emit&& emit) {
    const std::size_t first = a, last = b;
    const std::size_t block = std::max<std::size_t>(g.window, 1024);
    std::vector<std::pair<double, std::size_t>> order;
    std::vector<double> sorted;
    std::vector<std::size_t> rank;   // by position in the span; SIZE_MAX if not finite
    std::vector<std::size_t> tree;
    for (std::size_t b0 = first; b0 < last; b0 += block) {
        const std::size_t b1 = std::min(last, b0 + block);
        const std::size_t span0 = b0 - g.before, span1 = b1 + g.after;   // [span0, span1)
        const std::size_t span = span1 - span0;
        order.clear();
        for (std::size_t p = 0; p < span; ++p) {
            const double v = static_cast<double>(x[span0 + p]);
            if (std::isfinite(v)) order.emplace_back(v, p);
        }
        std::sort(order.begin(), order.end());
        const std::size_t m = order.size();
        sorted.resize(m);
        rank.assign(span, std::numeric_limits<std::size_t>::max());
        for (std::size_t r = 0; r < m; ++r) {
            sorted[r] = order[r].first;
            rank[order[r].second] = r;
        }
        tree.assign(m + 1, 0);
        std::size_t count = 0;
        auto update = [&](std::size_t p, bool insert) {
            const std::size_t r = rank[p];
            if (r == std::numeric_limits<std::size_t>::max()) return;
            for (std::size_t t = r + 1; t <= m; t += t & (~t + 1)) {
                tree[t] = insert ? tree[t] + 1 : tree[t] - 1;
            }
            count = insert ? count + 1 : count - 1;
        };
        const std::size_t top = m ? std::bit_floor(m) : 0;
        // Sorted value of the window at 0-based order k.
        auto at = [&](std::size_t k) {
            std::size_t pos = 0, left = k + 1;
            for (std::size_t step = top; step; step >>= 1) {
                if (pos + step <= m && tree[pos + step] < left) {
                    pos += step;
                    left -= tree[pos];
                }
            }
            return sorted[pos];
        };
        // Number of window values strictly below v.
        auto count_below = [&](double v) {
            std::size_t r = static_cast<std::size_t>(
                std::lower_bound(sorted.begin(), sorted.end(), v) - sorted.begin());
            std::size_t c = 0;
            for (std::size_t t = r; t; t -= t & (~t + 1)) c += tree[t];
            return c;
        };
        for (std::size_t p = 0; p + 1 < g.window; ++p) update(p, true);
        for (std::size_t i = b0; i < b1; ++i) {
            if (i > b0) update(i - g.before - 1 - span0, false);
            update(i + g.after - span0, true);
            if (count == g.window) {
                double med, mad;
                median_and_mad(at, count_below, g.window, med, mad);
                emit(i, med, mad);
            }
        }
    }
}


template <class T, class Emit>
void slide_sorted(const T* x, const Geometry& g, std::size_t a, std::size_t b, Emit&& emit) {
    if (g.window <= kFlatWindowLimit) {
        slide_flat(x, g, a, b, emit);
    } else {
        slide_ranked(x, g, a, b, emit);
    }
}

// --- the lane kernel, built for each instruction set --------------------------

template <class T, bool Filter>
void lanes_portable(const LaneJob<T>& job) {
    lane_kernel<2, T, Filter>(job);
}

#if KELVANE_HAMPEL_X86
template <class T, bool Filter>
[[gnu::target("avx2")]] void lanes_avx2(const LaneJob<T>& job) {
    lane_kernel<4, T, Filter>(job);
}

template <class T, bool Filter>
[[gnu::target("avx512f")]] void lanes_avx512(const LaneJob<T>& job) {
    lane_kernel<8, T, Filter>(job);
}
#endif

bool cpu_has(HampelKernel kernel) {
#if KELVANE_HAMPEL_X86
    static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    static const bool avx512 = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f"));
    if (kernel == HampelKernel::Avx2) return avx2;
    if (kernel == HampelKernel::Avx512) return avx512;
#else
    if (kernel == HampelKernel::Avx2 || kernel == HampelKernel::Avx512) return false;
#endif
    return true;
}

int lane_count(HampelKernel kernel) {
    switch (kernel) {
        case HampelKernel::Avx512:
            return 8;
        case HampelKernel::Avx2:
            return 4;
        default:
            return 2;
    }
}

// Widest window for which the lane kernel beats the sorted window (measured:
// about 100 rows per lane).
std::size_t lane_window_limit(HampelKernel kernel) {
    return 112 * static_cast<std::size_t>(lane_count(kernel));
}

template <class T, bool Filter>
void run_lanes([[maybe_unused]] HampelKernel kernel, const LaneJob<T>& job) {
#if KELVANE_HAMPEL_X86
    if (kernel == HampelKernel::Avx512) return lanes_avx512<T, Filter>(job);
    if (kernel == HampelKernel::Avx2) return lanes_avx2<T, Filter>(job);
#endif
    lanes_portable<T, Filter>(job);
}

// --- choice of kernel and split -------------------------------------------------

std::atomic<HampelKernel> forced_kernel{HampelKernel::Automatic};
std::atomic<HampelSplit> forced_split{HampelSplit::Automatic};

// Estimated cost of one output in tenths of a nanosecond on a current core:
// the lane kernel's work grows with the window and shrinks with the lanes;
// the sorted window searches and shifts about a third of it.
double output_cost(HampelKernel kernel, std::size_t w) {
    const double dw = static_cast<double>(w);
    if (kernel == HampelKernel::Sorted) return 150.0 + 2.0 * dw;
    return (5.0 + 2.5 * dw) * 8.0 / lane_count(kernel);
}

// Below this much estimated work (tenths of ns: 5 ms) the series stays on the
// calling thread: a second thread would save little, and on a busy machine
// waiting for it to be scheduled and to end can cost more than the work.
constexpr double kSplitWork = 5e7;
// Work of one piece when two threads share a series: small enough that a
// thread that starts late or is held up leaves little for the other to wait on.
constexpr double kPieceWork = 2.5e6;
constexpr std::size_t kMaxPieces = 16;

// How a series' outputs are computed: the kernel, and into how many pieces
// they are cut for two threads (1: all on the calling thread).
struct Plan {
    HampelKernel kernel;
    std::size_t pieces;
};

Plan plan(std::size_t outputs, std::size_t w) {
    Plan p{forced_kernel.load(std::memory_order_relaxed), 1};
    if (p.kernel == HampelKernel::Automatic) {
        HampelKernel best = cpu_has(HampelKernel::Avx512) ? HampelKernel::Avx512
                            : cpu_has(HampelKernel::Avx2) ? HampelKernel::Avx2
                                                          : HampelKernel::Portable;
        const bool long_enough = outputs >= static_cast<std::size_t>(lane_count(best)) * w;
        p.kernel = w <= lane_window_limit(best) && long_enough ? best : HampelKernel::Sorted;
    }
    switch (forced_split.load(std::memory_order_relaxed)) {
        case HampelSplit::Never:
            break;
        case HampelSplit::Always:
            p.pieces = std::min<std::size_t>(outputs, 3);
            break;
        case HampelSplit::Automatic: {
            const double work = static_cast<double>(outputs) * output_cost(p.kernel, w);
            if (work < kSplitWork) break;
            // A lane kernel's piece starts by filling every lane's window: keep
            // that below a sixteenth of the piece.
            const std::size_t lanes =
                p.kernel == HampelKernel::Sorted ? 1 : static_cast<std::size_t>(lane_count(p.kernel));
            const std::size_t by_length = outputs / (16 * lanes * w);
            const auto by_work = static_cast<std::size_t>(work / kPieceWork);
            p.pieces = std::clamp<std::size_t>(std::min(by_length, by_work), 2, kMaxPieces);
            break;
        }
    }
    return p;
}

// Runs piece(a, b, k) for the k-th of p.pieces consecutive pieces of the
// outputs [first, last). Several pieces are taken in turn by two threads, each
// taking the next piece left when it is done with one.
template <class Piece>
void run_pieces(const Plan& p, std::size_t first, std::size_t last, Piece&& piece) {
    if (p.pieces <= 1) {
        piece(first, last, std::size_t{0});
        return;
    }
    const std::size_t count = p.pieces, total = last - first;
    auto bound = [&](std::size_t k) {
        return first + total / count * k + std::min(k, total % count);
    };
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < count;) piece(bound(k), bound(k + 1), k);
    };
    run_two(true, work, work);
}

// --- the filter: local values filled forward and backward ------------------------

// Writes out[from, to) judged against median m and limit.
template <class T>
void settle(const T* x, T* out, std::size_t from, std::size_t to, double m, double limit) {
    for (std::size_t i = from; i < to; ++i) {
        const double v = static_cast<double>(x[i]);
        out[i] = std::fabs(v - m) > limit ? static_cast<T>(m) : x[i];
    }
}

// The sorted window over outputs [a, b): out[first, b) written, with the
// local values filled forward inside the stretch.
template <class T>
ChunkFill filter_sorted(const T* x, const Geometry& g, std::size_t a, std::size_t b, double factor,
                        T* out) {
    ChunkFill f;
    f.begin = a;
    f.end = b;
    f.first = b;
    std::size_t done = a;
    double m = kNaN, limit = kNaN;
    slide_sorted(x, g, a, b, [&](std::size_t i, double med, double mad) {
        if (f.first == b) {
            f.first = i;
            f.first_m = med;
            f.first_limit = factor * (mad * kMadScale);
            done = i;
        }
        settle(x, out, done, i, m, limit);
        m = med;
        limit = factor * (mad * kMadScale);
        settle(x, out, i, i + 1, m, limit);
        done = i + 1;
    });
    if (f.first < b) settle(x, out, done, b, m, limit);
    f.last_m = m;
    f.last_limit = limit;
    return f;
}

// The outputs no stretch could judge: the samples before the first and after
// the last full window, and each stretch's outputs before its first complete
// window. Forward fill across stretches; what precedes every complete window
// takes the first one.
template <class T>
void fill_gaps(const T* x, std::size_t n, const Geometry& g, const std::vector<ChunkFill>& fills,
               T* out) {
    const ChunkFill* first = nullptr;
    for (const ChunkFill& f : fills) {
        if (f.first < f.end) {
            first = &f;
            break;
        }
    }
    if (!first) {
        std::copy(x, x + n, out);   // no complete window: nothing can be judged
        return;
    }
    double m = first->first_m, limit = first->first_limit;
    settle(x, out, 0, g.first(), m, limit);
    for (const ChunkFill& f : fills) {
        settle(x, out, f.begin, f.first, m, limit);
        if (f.first < f.end) {
            m = f.last_m;
            limit = f.last_limit;
        }
    }
    settle(x, out, g.last(n), n, m, limit);
}

}  // namespace

bool hampel_kernel_available(HampelKernel kernel) { return cpu_has(kernel); }

bool set_hampel_kernel(HampelKernel kernel, HampelSplit split) {
    if (!cpu_has(kernel)) return false;
    forced_kernel.store(kernel);
    forced_split.store(split);
    return true;
}

template <class T>
void rolling_median_mad(const T* x, std::size_t n, std::size_t window, double* med,
                        double* scale) {
    std::fill(med, med + n, kNaN);
    std::fill(scale, scale + n, kNaN);
    const Geometry g(window);
    const std::size_t first = g.first(), last = g.last(n);
    if (first >= last) return;
    const Plan p = plan(last - first, window);
    run_pieces(p, first, last, [&](std::size_t a, std::size_t b, std::size_t) {
        if (p.kernel == HampelKernel::Sorted) {
            slide_sorted(x, g, a, b, [&](std::size_t i, double m, double mad) {
                med[i] = m;
                scale[i] = mad * kMadScale;
            });
        } else {
            const LaneJob<T> job{x, n, window, a, b, 0.0, nullptr, med, scale, nullptr};
            run_lanes<T, false>(p.kernel, job);
        }
    });
}

template <class T>
void hampel_filter(const T* x, std::size_t n, std::size_t window, double factor, T* out) {
    const Geometry g(window);
    const std::size_t first = g.first(), last = g.last(n);
    if (first >= last) {
        std::copy(x, x + n, out);   // no complete window: nothing can be judged
        return;
    }
    const Plan p = plan(last - first, window);
    std::vector<std::vector<ChunkFill>> parts(p.pieces);
    run_pieces(p, first, last, [&](std::size_t a, std::size_t b, std::size_t k) {
        if (p.kernel == HampelKernel::Sorted) {
            parts[k].push_back(filter_sorted(x, g, a, b, factor, out));
        } else {
            parts[k].resize(static_cast<std::size_t>(lane_count(p.kernel)));
            const LaneJob<T> job{x, n, window, a, b, factor, out, nullptr, nullptr, parts[k].data()};
            run_lanes<T, true>(p.kernel, job);
        }
    });
    std::vector<ChunkFill> fills;
    for (const auto& part : parts) fills.insert(fills.end(), part.begin(), part.end());
    fill_gaps(x, n, g, fills, out);
}

template void rolling_median_mad<float>(const float*, std::size_t, std::size_t, double*,
                                        double*);
template void rolling_median_mad<double>(const double*, std::size_t, std::size_t, double*,
                                         double*);
template void hampel_filter<float>(const float*, std::size_t, std::size_t, double, float*);
template void hampel_filter<double>(const double*, std::size_t, std::size_t, double, double*);

}  // namespace kelvane::core
