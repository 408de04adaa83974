// Centred rolling median and scaled MAD (Hampel filter) over a series of
// samples, with the window rules of pandas' rolling windows:
//   * the window for sample i covers rows [i - w/2, i + (w-1)/2] (integer
//     division; an even window has one more row before the sample than after);
//   * a value exists only when all w rows of the window exist and are finite
//     (NaN and +-inf both count as missing, as pandas' rolling treats them);
//   * the median of an even window is the mean of its two middle values, and
//     the MAD is the median of |x - median| over the same window, times 1.4826.
// The filter forward-fills and then back-fills the missing local values and
// replaces a sample by its local median when it lies strictly further away
// than factor * local scale.
#pragma once

#include <cstddef>

namespace kelvane::core {

// MAD scale factor: the MAD of a normal sample times this estimates sigma.
inline constexpr double kMadScale = 1.4826;

// The sorted-window kernel: windows up to this many rows keep a flat sorted
// buffer (shifting is cheaper than any tree for them); larger windows use a
// rank tree per block.
inline constexpr std::size_t kFlatWindowLimit = 2048;

// The implementations of the rolling windows; all give the same bits. The
// lane kernel computes several stretches of the series at once, one per
// vector lane; its cost grows with the window, the sorted window's much more
// slowly, so the automatic choice takes the lane kernel (the widest this
// processor runs) for windows up to a few hundred rows over series long
// enough, the sorted window otherwise.
enum class HampelKernel {
    Automatic,   // by window, length and processor (the default)
    Sorted,      // one sorted window walked along the series
    Portable,    // lane kernel, two lanes, plain C++ vector types (any processor)
    Avx2,        // lane kernel, four lanes (x86-64 with AVX2)
    Avx512,      // lane kernel, eight lanes (x86-64 with AVX-512F)
};

// Whether a series is cut into pieces that two threads compute in turn.
enum class HampelSplit {
    Automatic,   // long series only (the default)
    Never,
    Always,      // any series with two outputs or more, in up to three pieces (tests)
};

// Whether this processor can run the kernel.
bool hampel_kernel_available(HampelKernel kernel);

// Makes every later call in the process use this kernel and split, for tests
// and fuzzing. Returns false, changing nothing, when the kernel is not
// available here.
bool set_hampel_kernel(HampelKernel kernel, HampelSplit split);

// Rolling centred median and scaled MAD of x[0..n). Writes med[i] and
// scale[i] for every i; NaN where the window is incomplete or holds a
// non-finite value. window >= 1.
template <class T>
void rolling_median_mad(const T* x, std::size_t n, std::size_t window, double* med,
                        double* scale);

// Hampel filter of x[0..n) into out[0..n) (out may not alias x). window >= 1.
// Replacement values are the local medians converted to T.
template <class T>
void hampel_filter(const T* x, std::size_t n, std::size_t window, double factor, T* out);

extern template void rolling_median_mad<float>(const float*, std::size_t, std::size_t, double*,
                                               double*);
extern template void rolling_median_mad<double>(const double*, std::size_t, std::size_t,
                                                double*, double*);
extern template void hampel_filter<float>(const float*, std::size_t, std::size_t, double,
                                          float*);
extern template void hampel_filter<double>(const double*, std::size_t, std::size_t, double,
                                           double*);

}  // namespace kelvane::core
