// The rolling median / scaled MAD and the Hampel filter against a direct
// model: every centred window copied, fully sorted, its median and the median
// of the absolute deviations read off the sorted copies; the filter fills the
// local values forward then backward and replaces a sample strictly beyond
// factor * scale. Results must be equal bit for bit (NaN where NaN), from
// every kernel this processor can run (the sorted window, the lane kernel in
// each of its builds), each on one thread and split in two halves.
//
// Input layout: byte 0 picks the element type (float / double) and how the
// window size is chosen, the next bytes the window size and the factor, and
// the rest are the samples: each sample byte picks a value from a palette of
// awkward values (ties, NaN, infinities, denormals, huge numbers, signed
// zeros) or, with the bytes that follow it, a raw bit pattern.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "core/hampel.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class Reader {
public:
  Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  template <class U>
  U raw() {
    U u = 0;
    for (std::size_t k = 0; k < sizeof(U); ++k) u = static_cast<U>((u << 8) | byte());
    return u;
  }

private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

template <class T>
T sample(Reader& in) {
  static constexpr double kPalette[] = {
      0.0, -0.0, 1.0, 1.0, 2.0, -1.0, 3.5, 10.0, 1e-3, 1e6, -1e6,
      kNaN, kNaN, kInf, -kInf,
      std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
      std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
      std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
      0.1, 0.2, 0.3, 1e300, -1e300};
  constexpr std::size_t kCount = sizeof(kPalette) / sizeof(kPalette[0]);
  const std::uint8_t b = in.byte();
  if (b < 2 * kCount) return static_cast<T>(kPalette[b % kCount]);
  if (b < 200) return static_cast<T>(static_cast<int>(b % 16) - 8);  // many ties
  if constexpr (sizeof(T) == 4) {
    const auto bits = in.raw<std::uint32_t>();
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  } else {
    const auto bits = in.raw<std::uint64_t>();
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
}

double sorted_median(const std::vector<double>& s) {
  const std::size_t w = s.size(), h = w / 2;
  return (w & 1) ? s[h] : (s[h - 1] + s[h]) / 2;
}

template <class T>
void model_rolling(const std::vector<T>& x, std::size_t w, std::vector<double>& med,
                   std::vector<double>& scale) {
  const std::size_t n = x.size(), before = w / 2, after = (w - 1) / 2;
  med.assign(n, kNaN);
  scale.assign(n, kNaN);
  std::vector<double> s, dev;
  for (std::size_t i = before; i + after < n; ++i) {
    s.clear();
    bool complete = true;
    for (std::size_t j = i - before; j <= i + after; ++j) {
      const double v = static_cast<double>(x[j]);
      if (!std::isfinite(v)) {
        complete = false;
        break;
      }
      s.push_back(v);
    }
    if (!complete) continue;
    std::sort(s.begin(), s.end());
    const double m = sorted_median(s);
    dev.clear();
    for (double v : s) dev.push_back(std::fabs(v - m));
    std::sort(dev.begin(), dev.end());
    med[i] = m;
    scale[i] = sorted_median(dev) * kelvane::core::kMadScale;
  }
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b;
}

template <class T>
[[noreturn]] void fail(const char* what, kelvane::core::HampelKernel kernel,
                       kelvane::core::HampelSplit split, const std::vector<T>& x, std::size_t w,
                       double factor, std::size_t i, double got, double want) {
  std::fprintf(stderr,
               "wrong %s (kernel %d, split %d, n=%zu, window=%zu, factor=%.17g) at %zu: got %.17g, "
               "want %.17g\n",
               what, static_cast<int>(kernel), static_cast<int>(split), x.size(), w, factor, i, got,
               want);
  std::abort();
}

template <class T>
void check(Reader& in, std::uint8_t mode) {
  // Window: mostly small (the flat buffer), sometimes beyond the flat limit
  // (the ranked path), at times longer than the whole series.
  std::size_t w;
  const std::uint8_t pick = (mode >> 1) % 16;
  const bool large = pick == 15;
  if (large) {
    w = kelvane::core::kFlatWindowLimit + 1 + in.raw<std::uint16_t>() % 16;
  } else {
    w = 1 + in.byte() % (pick < 6 ? 8 : pick < 12 ? 40 : 200);
  }
  static constexpr double kFactors[] = {3.0, 0.0, 1.0, 0.5, 2.5, 1e-12, -1.0, kInf, kNaN};
  const std::uint8_t f = in.byte();
  const double factor = f < 2 * std::size(kFactors) ? kFactors[f % std::size(kFactors)]
                                                     : static_cast<double>(f) / 16.0;
  std::vector<T> x;
  // Large windows: the series just past the window, so the model stays quick.
  // The model sorts every window: keep n * w modest so the fuzzer stays quick.
  const std::size_t cap = large ? w + 16 : pick < 6 ? 2048 : pick < 12 ? 512 : 256;
  while (!in.empty() && x.size() < cap) x.push_back(sample<T>(in));
  if (large && x.size() < w) {
    // Too short for a window: stretch it with a repeating pattern so the ranked
    // path is exercised; series shorter than their window come from the small picks.
    const std::size_t base = x.size();
    for (std::size_t k = 0; x.size() < w + (base % 16); ++k)
      x.push_back(base ? x[k % base] : static_cast<T>(k % 7));
  }
  const std::size_t n = x.size();

  std::vector<double> want_med, want_scale;
  model_rolling(x, w, want_med, want_scale);
  // Filter model: fill forward, then backward, compare strictly.
  std::vector<double> m = want_med, s = want_scale;
  for (std::size_t i = 1; i < n; ++i)
    if (std::isnan(m[i])) {
      m[i] = m[i - 1];
      s[i] = s[i - 1];
    }
  for (std::size_t i = n; i-- > 1;)
    if (std::isnan(m[i - 1])) {
      m[i - 1] = m[i];
      s[i - 1] = s[i];
    }
  std::vector<T> want(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(x[i]);
    want[i] = std::fabs(v - m[i]) > factor * s[i] ? static_cast<T>(m[i]) : x[i];
  }

  using kelvane::core::HampelKernel;
  using kelvane::core::HampelSplit;
  static constexpr HampelKernel kKernels[] = {HampelKernel::Automatic, HampelKernel::Sorted,
                                              HampelKernel::Portable, HampelKernel::Avx2,
                                              HampelKernel::Avx512};
  std::vector<double> med(n), scale(n);
  std::vector<T> out(n);
  for (HampelKernel kernel : kKernels) {
    for (HampelSplit split : {HampelSplit::Never, HampelSplit::Always}) {
      if (!kelvane::core::set_hampel_kernel(kernel, split)) continue;   // not on this processor
      kelvane::core::rolling_median_mad(x.data(), n, w, med.data(), scale.data());
      for (std::size_t i = 0; i < n; ++i) {
        if (!same(med[i], want_med[i])) fail("median", kernel, split, x, w, factor, i, med[i], want_med[i]);
        if (!same(scale[i], want_scale[i]))
          fail("scale", kernel, split, x, w, factor, i, scale[i], want_scale[i]);
      }
      kelvane::core::hampel_filter(x.data(), n, w, factor, out.data());
      for (std::size_t i = 0; i < n; ++i) {
        // (a median of signed zeros may come out as either zero: compared by value)
        if (!same(static_cast<double>(out[i]), static_cast<double>(want[i])))
          fail("filtered value", kernel, split, x, w, factor, i, static_cast<double>(out[i]),
               static_cast<double>(want[i]));
      }
    }
  }
  kelvane::core::set_hampel_kernel(HampelKernel::Automatic, HampelSplit::Automatic);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Reader in(data + 1, size - 1);
  if (data[0] & 1) {
    check<double>(in, data[0]);
  } else {
    check<float>(in, data[0]);
  }
  return 0;
}
