#include "core/hampel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

namespace kelvane::core {
namespace {

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

// Flat engine over the samples [first, last) of a series.
template <class T, class Emit>
void slide_flat(const T* x, std::size_t n, const Geometry& g, Emit&& emit) {
    FlatWindow win(g.window);
    const std::size_t first = g.first(), last = g.last(n);
    if (first >= last) return;
    for (std::size_t j = 0; j + 1 < g.window; ++j) {
        const double v = static_cast<double>(x[j]);
        if (std::isfinite(v)) win.add(v);
    }
    for (std::size_t i = first; i < last; ++i) {
        // Bring the window from [i-1-before, i-1+after] to [i-before, i+after].
        const double in = static_cast<double>(x[i + g.after]);
        const bool in_ok = std::isfinite(in);
        if (i == first) {
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
void slide_ranked(const T* x, std::size_t n, const Geometry& g, Emit&& emit) {
    const std::size_t first = g.first(), last = g.last(n);
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
void slide(const T* x, std::size_t n, std::size_t window, Emit&& emit) {
    const Geometry g(window);
    if (window <= kFlatWindowLimit) {
        slide_flat(x, n, g, emit);
    } else {
        slide_ranked(x, n, g, emit);
    }
}

}  // namespace

template <class T>
void rolling_median_mad(const T* x, std::size_t n, std::size_t window, double* med,
                        double* scale) {
    std::fill(med, med + n, kNaN);
    std::fill(scale, scale + n, kNaN);
    slide(x, n, window, [&](std::size_t i, double m, double mad) {
        med[i] = m;
        scale[i] = mad * kMadScale;
    });
}

template <class T>
void hampel_filter(const T* x, std::size_t n, std::size_t window, double factor, T* out) {
    // Local values are filled forward from the last complete window, and the
    // samples before the first complete window take that window's values.
    // done = number of samples written so far.
    std::size_t done = 0;
    bool seen = false;
    double m = kNaN, limit = kNaN;
    auto settle = [&](std::size_t upto) {   // write samples [done, upto) with m, limit
        for (; done < upto; ++done) {
            const double v = static_cast<double>(x[done]);
            out[done] = std::fabs(v - m) > limit ? static_cast<T>(m) : x[done];
        }
    };
    slide(x, n, window, [&](std::size_t i, double med, double mad) {
        if (!seen) {
            seen = true;   // first complete window: it also serves the samples before it
            m = med;
            limit = factor * (mad * kMadScale);
        }
        settle(i);
        m = med;
        limit = factor * (mad * kMadScale);
        settle(i + 1);
    });
    if (!seen) {
        std::copy(x, x + n, out);   // no complete window: nothing can be judged
        return;
    }
    settle(n);
}

template void rolling_median_mad<float>(const float*, std::size_t, std::size_t, double*,
                                        double*);
template void rolling_median_mad<double>(const double*, std::size_t, std::size_t, double*,
                                         double*);
template void hampel_filter<float>(const float*, std::size_t, std::size_t, double, float*);
template void hampel_filter<double>(const double*, std::size_t, std::size_t, double, double*);

}  // namespace kelvane::core
