#include "scale/column_filter.h"

#include <algorithm>
#include <cstring>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <immintrin.h>
#endif

namespace fenwright {
namespace {

// One target row's filtering: per pixel, `taps` weights from `starts`
// (the tap layout, plain or grouped, is the caller's).
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

// The grouped layout as the AVX2 kernels read it, held in locals rather
// than read through the job, so the compiler need not reload it after
// each store.
struct Cursor {
  const std::uint16_t* sums;
  const int* starts;
  const std::uint16_t* weights;
};

__attribute__((target("avx2"))) inline __m256i load256(const std::uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Target pixels `first`, `first` + 1 and those four further on, as 16-bit
// channels [a, b | e, f]: taken so, two such sets pack into eight pixels in
// order. Each pixel's taps are read four at a time, `groups` times.
template <int kGroups>
__attribute__((target("avx2"))) inline __m256i filterFour(const Cursor& at, int first,
                                                          int groups) {
  if constexpr (kGroups > 0) groups = kGroups;
  __m256i pixel[4];
  for (int i = 0; i < 4; ++i) {
    const int target = first + (i & 1) + (i >> 1) * 4;
    const std::uint16_t* sums = at.sums + at.starts[target];
    const std::uint16_t* weights = at.weights + 16 * groups * target;
    __m256i total = _mm256_mulhi_epu16(load256(sums), load256(weights));
    for (int g = 1; g < groups; ++g)
      total = _mm256_add_epi16(
          total, _mm256_mulhi_epu16(load256(sums + 16 * g), load256(weights + 16 * g)));
    pixel[i] = total;
  }
  // Each register holds one pixel's four partial sums; fold them across.
  __m256i ab = _mm256_add_epi16(_mm256_unpacklo_epi64(pixel[0], pixel[1]),
                                _mm256_unpackhi_epi64(pixel[0], pixel[1]));
  __m256i ef = _mm256_add_epi16(_mm256_unpacklo_epi64(pixel[2], pixel[3]),
                                _mm256_unpackhi_epi64(pixel[2], pixel[3]));
  return _mm256_add_epi16(_mm256_permute2x128_si256(ab, ef, 0x20),
                          _mm256_permute2x128_si256(ab, ef, 0x31));
}

// The same for pixels of at most two taps, one 128-bit load each: pixels
// `first` to `first` + 3 ordered [a, c | b, d].
__attribute__((target("avx2"))) inline __m256i filterFourPairs(const Cursor& at, int first) {
  auto sumsAt = [&at](int i) { return reinterpret_cast<const __m128i*>(at.sums + at.starts[i]); };
  __m256i ab = _mm256_mulhi_epu16(_mm256_loadu2_m128i(sumsAt(first + 1), sumsAt(first)),
                                  load256(at.weights + 8 * first));
  __m256i cd = _mm256_mulhi_epu16(_mm256_loadu2_m128i(sumsAt(first + 3), sumsAt(first + 2)),
                                  load256(at.weights + 8 * first + 16));
  return _mm256_add_epi16(_mm256_unpacklo_epi64(ab, cd), _mm256_unpackhi_epi64(ab, cd));
}

// 16-bit totals in 1/256 steps as 8-bit levels in 16-bit lanes.
__attribute__((target("avx2"))) inline __m256i level(__m256i total, __m256i rounding) {
  return _mm256_srli_epi16(_mm256_adds_epu16(total, rounding), 8);
}

// Target pixels [x, x + 8), packed in order. kGroups -1 takes pairs, 0
// job.taps / 4 groups, not known when compiled.
template <int kGroups>
__attribute__((target("avx2"))) inline __m256i filterEight(const Cursor& at, int x, int groups,
                                                           __m256i rounding) {
  if constexpr (kGroups < 0) {
    // Pairs come out [a, c | b, d]: the packed 32-bit pixels go back in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    return _mm256_permutevar8x32_epi32(
        _mm256_packus_epi16(level(filterFourPairs(at, x), rounding),
                            level(filterFourPairs(at, x + 4), rounding)),
        order);
  } else {
    return _mm256_packus_epi16(level(filterFour<kGroups>(at, x, groups), rounding),
                               level(filterFour<kGroups>(at, x + 2, groups), rounding));
  }
}

// Eight target pixels a step; a last step overlapping the one before
// finishes the row (recomputing a pixel writes the same bytes). Rows
// narrower than one step are left to the portable loop; returns where it
// stopped.
template <int kGroups>
__attribute__((target("avx2"))) int filterGrouped(const RowJob& job) {
  const __m256i rounding = _mm256_set1_epi16(static_cast<short>(job.rounding));
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(job.alpha));
  const int groups = job.taps / 4;
  const int pixels = job.pixels;
  std::uint8_t* out = job.out;
  const Cursor at{job.sums, job.starts, job.weights};
  if (pixels < 8) return 0;
  auto eightAt = [&](int x) __attribute__((target("avx2"))) {
    __m256i eight = filterEight<kGroups>(at, x, groups, rounding);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), _mm256_or_si256(eight, alpha));
  };
  int x = 0;
  for (; x + 8 <= pixels; x += 8) eightAt(x);
  if (x < pixels) eightAt(pixels - 8);
  return pixels;
}

int filterAvx2(const RowJob& job) {
  switch (job.taps) {
    case 2: return filterGrouped<-1>(job);
    case 4: return filterGrouped<1>(job);
    case 8: return filterGrouped<2>(job);
    case 12: return filterGrouped<3>(job);
    default: return filterGrouped<0>(job);
  }
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
  groupedStarts_.clear();
  groupedWeights_.clear();
  sourceBegin_ = sourceEnd_ = sumsLength_ = 0;
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

  groupedTaps_ = taps_ <= 2 ? 2 : (taps_ + 3) / 4 * 4;
  groupedStarts_.assign(static_cast<std::size_t>(pixels), 0);
  groupedWeights_.assign(static_cast<std::size_t>(pixels) * groupedTaps_ * 4, 0);
  sumsLength_ = sourceEnd_;
  for (int i = 0; i < pixels; ++i) {
    int start = axis.start(begin_ + i);
    int padded = std::max(0, std::min(start, axis.sourceLength() - groupedTaps_));
    groupedStarts_[static_cast<std::size_t>(i)] = 4 * padded;
    sumsLength_ = std::max(sumsLength_, padded + groupedTaps_);
    const std::uint16_t* weights = axis.weights(begin_ + i);
    std::uint16_t* slot =
        groupedWeights_.data() + static_cast<std::size_t>(i) * groupedTaps_ * 4;
    for (int k = 0; k < axis.count(begin_ + i); ++k)
      std::fill_n(slot + 4 * (start - padded + k), 4, weights[k]);
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
  const ScalerPath path = scalerPath();
  if (path >= ScalerPath::avx2) {
    x = filterAvx2({sums, groupedStarts_.data(), groupedWeights_.data(), groupedTaps_, pixels,
                    row + 4 * begin_, rounding, alpha});
  } else if (path >= ScalerPath::sse2) {
    x = filterSse2(job);
  }
#endif
  filterPixels(job, x);
}

}  // namespace fenwright
