#include "scale/column_filter.h"

#include <algorithm>
#include <cstring>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <emmintrin.h>
#endif

namespace fenwright {
namespace {

struct RowJob {
  const std::uint16_t* sums;
  const int* starts;
  const std::uint16_t* weights;
  int taps;
  int pixels;
  std::uint8_t* out;
  std::uint16_t rounding;
  std::uint32_t alpha;
};

#if FENWRIGHT_X86_SIMD
// Two neighbouring target pixels, one per half of the register, as 16-bit
// channels in 1/256 steps. kTaps 0 means job.taps, not known when compiled.
// `starts` points at the pair's two first-tap offsets (in 16-bit units),
// `weights` at its taps.
template <int kTaps>
inline __m128i filterPair(const RowJob& job, const int* starts, const std::uint16_t* weights,
                          __m128i rounding) {
  const int taps = kTaps > 0 ? kTaps : job.taps;
  const std::uint16_t* left = job.sums + starts[0];
  const std::uint16_t* right = job.sums + starts[1];
  __m128i total = _mm_setzero_si128();
  for (int k = 0; k < taps; ++k) {
    __m128i both = _mm_castpd_si128(_mm_loadh_pd(
        _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(left + 4 * k))),
        reinterpret_cast<const double*>(right + 4 * k)));
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 8 * k));
    total = _mm_add_epi16(total, _mm_mulhi_epu16(both, w));
  }
  return _mm_srli_epi16(_mm_adds_epu16(total, rounding), 8);
}

// Four target pixels a step; returns where it stopped.
template <int kTaps>
int filterRow(const RowJob& job) {
  const int taps = kTaps > 0 ? kTaps : job.taps;
  const __m128i rounding = _mm_set1_epi16(static_cast<short>(job.rounding));
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(job.alpha));
  const int* starts = job.starts;
  const std::uint16_t* weights = job.weights;
  int x = 0;
  for (; x + 4 <= job.pixels; x += 4) {
    __m128i first = filterPair<kTaps>(job, starts, weights, rounding);
    __m128i second = filterPair<kTaps>(job, starts + 2, weights + 8 * taps, rounding);
    starts += 4;
    weights += 16 * taps;
    __m128i four = _mm_or_si128(_mm_packus_epi16(first, second), alpha);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(job.out + 4 * x), four);
  }
  return x;
}

int filterSse2(const RowJob& job) {
  // Shrinking by up to about 7:1 and every enlargement need at most eight
  // taps; a fixed count unrolls the inner loop, which otherwise costs more
  // than the arithmetic.
  switch (job.taps) {
    case 1: return filterRow<1>(job);
    case 2: return filterRow<2>(job);
    case 3: return filterRow<3>(job);
    case 4: return filterRow<4>(job);
    case 5: return filterRow<5>(job);
    case 6: return filterRow<6>(job);
    case 7: return filterRow<7>(job);
    case 8: return filterRow<8>(job);
    default: return filterRow<0>(job);
  }
}
#endif

// Target pixels [from, job.pixels) one at a time, with the 16-bit
// wrapping and saturating steps of the vector code.
void filterPixels(const RowJob& job, int from) {
  for (int x = from; x < job.pixels; ++x) {
    const std::uint16_t* sums = job.sums + job.starts[x];
    const std::uint16_t* weights =
        job.weights + static_cast<std::size_t>(x / 2) * job.taps * 8 + (x % 2) * 4;
    unsigned total[4] = {0, 0, 0, 0};
    for (int k = 0; k < job.taps; ++k)
      for (int c = 0; c < 4; ++c) total[c] += (sums[4 * k + c] * unsigned{weights[8 * k]}) >> 16;
    std::uint32_t pixel = job.alpha;
    for (int c = 0; c < 4; ++c)
      pixel |= std::min((total[c] & 0xffffu) + job.rounding, 0xffffu) >> 8 << (8 * c);
    std::memcpy(job.out + 4 * x, &pixel, 4);
  }
}

}  // namespace

void ColumnFilter::build(const ResampleAxis& axis) {
  begin_ = axis.begin();
  end_ = axis.end();
  taps_ = axis.maxCount();
  starts_.clear();
  weights_.clear();
  sourceBegin_ = sourceEnd_ = 0;
  const int pixels = end_ - begin_;
  if (pixels <= 0) return;

  const int pairs = (pixels + 1) / 2;
  starts_.assign(static_cast<std::size_t>(2 * pairs), 0);
  weights_.assign(static_cast<std::size_t>(pairs) * taps_ * 8, 0);
  sourceBegin_ = axis.sourceLength();
  for (int i = 0; i < 2 * pairs; ++i) {
    // A missing right half of the last pair reads the left one's source
    // with zero weights.
    int target = begin_ + std::min(i, pixels - 1);
    int start = axis.start(target);
    int count = axis.count(target);
    int padded = std::min(start, axis.sourceLength() - taps_);
    starts_[static_cast<std::size_t>(i)] = 4 * padded;
    sourceBegin_ = std::min(sourceBegin_, padded);
    sourceEnd_ = std::max(sourceEnd_, padded + taps_);
    if (i >= pixels) continue;
    const std::uint16_t* weights = axis.weights(target);
    std::uint16_t* slot = weights_.data() + static_cast<std::size_t>(i / 2) * taps_ * 8 + (i % 2) * 4;
    for (int k = 0; k < count; ++k) {
      std::uint16_t* lanes = slot + 8 * (start - padded + k);
      std::fill(lanes, lanes + 4, weights[k]);
    }
  }
}

void ColumnFilter::apply(const std::uint16_t* sums, std::uint8_t* row, std::uint16_t rounding,
                         std::uint32_t alpha) const {
  const int pixels = end_ - begin_;
  if (pixels <= 0) return;
  const RowJob job{sums,   starts_.data(),   weights_.data(), taps_,
                   pixels, row + 4 * begin_, rounding,        alpha};
  int x = 0;
#if FENWRIGHT_X86_SIMD
  if (scalerPath() >= ScalerPath::sse2) x = filterSse2(job);
#endif
  filterPixels(job, x);
}

}  // namespace fenwright
