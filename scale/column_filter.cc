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

struct GroupedJob {
  const std::uint16_t* sums;
  const int* starts;
  const std::uint16_t* weights;
  int taps;
  int pixels;
  std::uint8_t* out;
  std::uint16_t rounding;
  std::uint32_t alpha;
};

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

// Four target pixels' 16-bit channels [a, b | c, d] from their taps, each
// pixel's taps taken four at a time; kGroups 0 means job.taps / 4.
template <int kGroups>
__attribute__((target("avx2"))) inline __m256i filterFour(const GroupedJob& job, int x) {
  const int groups = kGroups > 0 ? kGroups : job.taps / 4;
  __m256i pixel[4];
  for (int i = 0; i < 4; ++i) {
    const std::uint16_t* sums = job.sums + job.starts[x + i];
    const std::uint16_t* weights = job.weights + static_cast<std::size_t>(x + i) * job.taps * 4;
    __m256i total = _mm256_mulhi_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights)));
    for (int g = 1; g < groups; ++g)
      total = _mm256_add_epi16(
          total, _mm256_mulhi_epu16(
                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + 16 * g)),
                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 16 * g))));
    pixel[i] = total;
  }
  // Each register holds one pixel's four partial sums; fold them across.
  __m256i ab = _mm256_add_epi16(_mm256_unpacklo_epi64(pixel[0], pixel[1]),
                                _mm256_unpackhi_epi64(pixel[0], pixel[1]));
  __m256i cd = _mm256_add_epi16(_mm256_unpacklo_epi64(pixel[2], pixel[3]),
                                _mm256_unpackhi_epi64(pixel[2], pixel[3]));
  return _mm256_add_epi16(_mm256_permute2x128_si256(ab, cd, 0x20),
                          _mm256_permute2x128_si256(ab, cd, 0x31));
}

// Pixels x and x + 1 of at most two taps, one 128-bit load each.
__attribute__((target("avx2"))) inline __m256i filterTwoPairs(const GroupedJob& job, int x) {
  __m256i sums = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(job.sums + job.starts[x + 1]),
                                     reinterpret_cast<const __m128i*>(job.sums + job.starts[x]));
  return _mm256_mulhi_epu16(
      sums, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.weights + 8 * x)));
}

// Four such pixels, ordered [a, c | b, d].
__attribute__((target("avx2"))) inline __m256i filterFourPairs(const GroupedJob& job, int x) {
  __m256i ab = filterTwoPairs(job, x);
  __m256i cd = filterTwoPairs(job, x + 2);
  return _mm256_add_epi16(_mm256_unpacklo_epi64(ab, cd), _mm256_unpackhi_epi64(ab, cd));
}

// Four target pixels as 8-bit channels in 16-bit lanes.
template <int kGroups>
__attribute__((target("avx2"))) inline __m256i four(const GroupedJob& job, int x,
                                                    __m256i rounding) {
  __m256i total;
  if constexpr (kGroups < 0)
    total = filterFourPairs(job, x);
  else
    total = filterFour<kGroups>(job, x);
  return _mm256_srli_epi16(_mm256_adds_epu16(total, rounding), 8);
}

// Eight target pixels a step, four for what is left; returns where it
// stopped.
template <int kGroups>
__attribute__((target("avx2"))) int filterGrouped(const GroupedJob& job) {
  const __m256i rounding = _mm256_set1_epi16(static_cast<short>(job.rounding));
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(job.alpha));
    // Pairs come out [a, c | b, d], groups [a, b | c, d]: the packed 32-bit
  // pixels go back in order accordingly.
  const __m256i order = kGroups < 0 ? _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)
                                    : _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
  int x = 0;
  for (; x + 8 <= job.pixels; x += 8) {
    __m256i eight = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(four<kGroups>(job, x, rounding), four<kGroups>(job, x + 4, rounding)), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(job.out + 4 * x), _mm256_or_si256(eight, alpha));
  }
  if (x + 4 <= job.pixels) {
    __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(four<kGroups>(job, x, rounding), four<kGroups>(job, x, rounding)), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(job.out + 4 * x),
                     _mm_or_si128(_mm256_castsi256_si128(packed), _mm256_castsi256_si128(alpha)));
    x += 4;
  }
  return x;
}

int filterAvx2(const GroupedJob& job) {
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
    std::uint16_t* slot = groupedWeights_.data() + static_cast<std::size_t>(i) * groupedTaps_ * 4;
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
  if (path == ScalerPath::avx2) {
    x = filterAvx2({sums, groupedStarts_.data(), groupedWeights_.data(), groupedTaps_, pixels,
                    row + 4 * begin_, rounding, alpha});
  } else if (path >= ScalerPath::sse2) {
    x = filterSse2(job);
  }
#endif
  filterPixels(job, x);
}

}  // namespace fenwright
