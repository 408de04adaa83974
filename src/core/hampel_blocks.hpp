// The Hampel filter of core/hampel.hpp for a series stored in consecutive
// blocks (the files of a dataset), one block at a time, with the result the
// filter gives the whole series, bit for bit.
//
// A sample's local values come from its own window when that window is
// complete, else from the last complete window before it, else (at the start
// of the series) from the first complete window. Within a block the windows
// near its ends need up to `window` rows of the neighbouring blocks (halos);
// the fill from an earlier window may reach back any number of blocks (a
// stretch of missing samples longer than a block). So the filter runs in
// two passes:
//   1. summarize() each block on its own: its length, its first and last
//      `window` rows, and the first and last complete windows lying wholly
//      inside it (found by a scan for runs of finite values; only those two
//      windows are computed);
//   2. plan() the series from the summaries alone: the windows that cross a
//      block boundary are computed from the heads and tails, and each block
//      gets its halos and the local values its leading rows take (`carry`);
//      filter_block() then filters each block on its own.
// Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvane::core::blocks {

// The local values of one complete window: its centre and its median and
// scale (MAD times 1.4826), as rolling_median_mad gives them.
struct Window {
    std::int64_t centre = 0;
    double median = 0;
    double scale = 0;
};

template <class T>
struct BlockSummary {
    std::int64_t rows = 0;
    std::vector<T> head, tail;           // the first and last min(rows, window) values
    std::optional<Window> first, last;   // wholly inside the block; centres within it
};

template <class T>
struct BlockPlan {
    std::vector<T> before, after;   // up to `window` rows before and after the block
    std::optional<Window> carry;    // for the rows before the block's first complete window
};

template <class T>
BlockSummary<T> summarize(const T* x, std::size_t n, std::size_t window);

// One plan per block, for the blocks of one series in order.
template <class T>
std::vector<BlockPlan<T>> plan(const std::vector<BlockSummary<T>>& blocks, std::size_t window);

// out[i] for the rows x[0..n) of a block, as hampel_filter of the whole
// series gives them (out may not alias x).
template <class T>
void filter_block(const T* x, std::size_t n, const BlockPlan<T>& plan, std::size_t window,
                  double factor, T* out);

extern template BlockSummary<float> summarize(const float*, std::size_t, std::size_t);
extern template BlockSummary<double> summarize(const double*, std::size_t, std::size_t);
extern template std::vector<BlockPlan<float>> plan(const std::vector<BlockSummary<float>>&,
                                                   std::size_t);
extern template std::vector<BlockPlan<double>> plan(const std::vector<BlockSummary<double>>&,
                                                    std::size_t);
extern template void filter_block(const float*, std::size_t, const BlockPlan<float>&, std::size_t,
                                  double, float*);
extern template void filter_block(const double*, std::size_t, const BlockPlan<double>&,
                                  std::size_t, double, double*);

}  // namespace kelvane::core::blocks
