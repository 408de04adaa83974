#include "core/hampel_blocks.hpp"

#include "core/hampel.hpp"

#include <algorithm>
#include <cmath>

namespace kelvane::core::blocks {

namespace {

template <class T>
bool present(T value) {
    return std::isfinite(static_cast<double>(value));
}

// The local values of the one window x[0..window), centred at `centre`.
template <class T>
Window window_at(const T* x, std::size_t window, std::int64_t centre) {
    std::vector<double> med(window), scale(window);
    rolling_median_mad(x, window, window, med.data(), scale.data());
    return {centre, med[window / 2], scale[window / 2]};
}

// Up to `want` rows of the series just before block j (the rows of blocks
// j-1, j-2, ... as their tails hold them), in series order.
template <class T>
std::vector<T> rows_before(const std::vector<BlockSummary<T>>& blocks, std::size_t j,
                           std::size_t want) {
    std::vector<T> out;
    for (std::size_t k = j; k-- > 0 && out.size() < want;) {
        const std::vector<T>& tail = blocks[k].tail;
        const std::size_t take = std::min(want - out.size(), tail.size());
        for (std::size_t t = 1; t <= take; ++t) out.push_back(tail[tail.size() - t]);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// Up to `want` rows of the series from the start of block j on.
template <class T>
std::vector<T> rows_from(const std::vector<BlockSummary<T>>& blocks, std::size_t j,
                         std::size_t want) {
    std::vector<T> out;
    for (std::size_t k = j; k < blocks.size() && out.size() < want; ++k) {
        const std::vector<T>& head = blocks[k].head;
        const std::size_t take = std::min(want - out.size(), head.size());
        out.insert(out.end(), head.begin(), head.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return out;
}

}  // namespace

template <class T>
BlockSummary<T> summarize(const T* x, std::size_t n, std::size_t window) {
    BlockSummary<T> s;
    s.rows = static_cast<std::int64_t>(n);
    const std::size_t keep = std::min(n, window);
    s.head.assign(x, x + keep);
    s.tail.assign(x + (n - keep), x + n);
    const std::size_t before = window / 2;
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        run = present(x[i]) ? run + 1 : 0;
        if (run == window) {
            const std::size_t start = i + 1 - window;
            s.first = window_at(x + start, window, static_cast<std::int64_t>(start + before));
            break;
        }
    }
    run = 0;
    for (std::size_t i = n; i-- > 0;) {
        run = present(x[i]) ? run + 1 : 0;
        if (run == window) {
            s.last = window_at(x + i, window, static_cast<std::int64_t>(i + before));
            break;
        }
    }
    return s;
}

template <class T>
std::vector<BlockPlan<T>> plan(const std::vector<BlockSummary<T>>& blocks, std::size_t window) {
    const std::size_t count = blocks.size();
    std::vector<std::int64_t> offset(count + 1, 0);
    for (std::size_t j = 0; j < count; ++j) offset[j + 1] = offset[j] + blocks[j].rows;

    // Every complete window that can be a sample's source of local values:
    // the first and last wholly inside each block, and all that cross a
    // block boundary (computed from the rows around the boundary).
    std::vector<Window> known;
    for (std::size_t j = 0; j < count; ++j) {
        for (const auto& w : {blocks[j].first, blocks[j].last}) {
            if (w) known.push_back({offset[j] + w->centre, w->median, w->scale});
        }
    }
    for (std::size_t j = 1; j < count; ++j) {
        std::vector<T> local = rows_before(blocks, j, window);
        const auto lead = static_cast<std::int64_t>(local.size());
        std::vector<T> after = rows_from(blocks, j, window);
        local.insert(local.end(), after.begin(), after.end());
        if (local.size() < window) continue;
        std::vector<double> med(local.size()), scale(local.size());
        rolling_median_mad(local.data(), local.size(), window, med.data(), scale.data());
        for (std::size_t t = 0; t < local.size(); ++t) {
            if (!std::isnan(med[t])) {
                known.push_back({offset[j] - lead + static_cast<std::int64_t>(t), med[t], scale[t]});
            }
        }
    }
    std::sort(known.begin(), known.end(),
              [](const Window& a, const Window& b) { return a.centre < b.centre; });
    known.erase(std::unique(known.begin(), known.end(),
                            [](const Window& a, const Window& b) { return a.centre == b.centre; }),
                known.end());

    std::vector<BlockPlan<T>> plans(count);
    for (std::size_t k = 0; k < count; ++k) {
        BlockPlan<T>& p = plans[k];
        p.before = rows_before(blocks, k, window);
        p.after = rows_from(blocks, k + 1, window);
        auto later = std::lower_bound(
            known.begin(), known.end(), offset[k],
            [](const Window& w, std::int64_t centre) { return w.centre < centre; });
        if (later != known.begin()) {
            p.carry = *std::prev(later);   // the last complete window before the block
        } else if (!known.empty()) {
            p.carry = known.front();       // none before: the series' first one
        }
    }
    return plans;
}

template <class T>
void filter_block(const T* x, std::size_t n, const BlockPlan<T>& plan, std::size_t window,
                  double factor, T* out) {
    std::vector<T> extended;
    extended.reserve(plan.before.size() + n + plan.after.size());
    extended.insert(extended.end(), plan.before.begin(), plan.before.end());
    extended.insert(extended.end(), x, x + n);
    extended.insert(extended.end(), plan.after.begin(), plan.after.end());
    std::vector<T> filtered(extended.size());
    hampel_filter(extended.data(), extended.size(), window, factor, filtered.data());
    const std::size_t lead = plan.before.size();
    std::copy(filtered.begin() + static_cast<std::ptrdiff_t>(lead),
              filtered.begin() + static_cast<std::ptrdiff_t>(lead + n), out);
    if (!plan.carry) return;   // no complete window in the whole series: nothing judged

    // The rows before the first complete window centred in the block take the
    // carried values, as the whole series fills them: the filter of the
    // extended rows gave them the halo's last window (the same one) or its
    // first window in the block (back-filled), which only the series' start
    // takes.
    const std::size_t before = window / 2;
    std::size_t judged_from = n;   // block row of the first complete window's centre
    std::size_t run = 0;
    for (std::size_t i = 0; i < extended.size(); ++i) {
        run = present(extended[i]) ? run + 1 : 0;
        if (run < window) continue;
        const std::size_t centre = i + 1 - window + before;
        if (centre >= lead) {
            judged_from = std::min(n, centre - lead);
            break;
        }
    }
    const double m = plan.carry->median;
    const double limit = factor * plan.carry->scale;
    for (std::size_t i = 0; i < judged_from; ++i) {
        const double v = static_cast<double>(x[i]);
        out[i] = std::fabs(v - m) > limit ? static_cast<T>(m) : x[i];
    }
}

template BlockSummary<float> summarize(const float*, std::size_t, std::size_t);
template BlockSummary<double> summarize(const double*, std::size_t, std::size_t);
template std::vector<BlockPlan<float>> plan(const std::vector<BlockSummary<float>>&, std::size_t);
template std::vector<BlockPlan<double>> plan(const std::vector<BlockSummary<double>>&, std::size_t);
template void filter_block(const float*, std::size_t, const BlockPlan<float>&, std::size_t, double,
                           float*);
template void filter_block(const double*, std::size_t, const BlockPlan<double>&, std::size_t,
                           double, double*);

}  // namespace kelvane::core::blocks
