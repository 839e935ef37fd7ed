#include "scale/column_filter.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

namespace fenwright {
namespace {

struct RowJob {
  const std::uint16_t* sums;
  const int* starts;
  const std::uint16_t* weights;
  int taps;
  int pixels;
  std::uint8_t* out;
  __m128i rounding;
  __m128i alpha;
};

// Two neighbouring target pixels, one per half of the register, as 16-bit
// channels in 1/256 steps. kTaps 0 means job.taps, not known when compiled.
// `starts` points at the pair's two first-tap offsets (in 16-bit units),
// `weights` at its taps.
template <int kTaps>
inline __m128i filterPair(const RowJob& job, const int* starts, const std::uint16_t* weights) {
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
  return _mm_srli_epi16(_mm_adds_epu16(total, job.rounding), 8);
}

template <int kTaps>
void filterRow(const RowJob& job) {
  const int taps = kTaps > 0 ? kTaps : job.taps;
  const int* starts = job.starts;
  const std::uint16_t* weights = job.weights;
  const int pixels = job.pixels;
  std::uint8_t* out = job.out;
  int x = 0;
  for (; x + 4 <= pixels; x += 4) {
    __m128i first = filterPair<kTaps>(job, starts, weights);
    __m128i second = filterPair<kTaps>(job, starts + 2, weights + 8 * taps);
    starts += 4;
    weights += 16 * taps;
    __m128i four = _mm_or_si128(_mm_packus_epi16(first, second), job.alpha);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), four);
  }
  for (; x < pixels; x += 2) {
    __m128i two = _mm_or_si128(
        _mm_packus_epi16(filterPair<kTaps>(job, starts, weights), _mm_setzero_si128()), job.alpha);
    starts += 2;
    weights += 8 * taps;
    if (x + 2 <= pixels) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), two);
    } else {
      std::uint32_t pixel = static_cast<std::uint32_t>(_mm_cvtsi128_si32(two));
      std::memcpy(out + 4 * x, &pixel, 4);
    }
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
  const RowJob job{sums, starts_.data(), weights_.data(), taps_, pixels, row + 4 * begin_,
                   _mm_set1_epi16(static_cast<short>(rounding)),
                   _mm_set1_epi32(static_cast<int>(alpha))};
  // Shrinking by up to about 7:1 and every enlargement need at most eight
  // taps; a fixed count unrolls the inner loop, which otherwise costs more
  // than the arithmetic.
  switch (taps_) {
    case 1: filterRow<1>(job); break;
    case 2: filterRow<2>(job); break;
    case 3: filterRow<3>(job); break;
    case 4: filterRow<4>(job); break;
    case 5: filterRow<5>(job); break;
    case 6: filterRow<6>(job); break;
    case 7: filterRow<7>(job); break;
    case 8: filterRow<8>(job); break;
    default: filterRow<0>(job); break;
  }
}

}  // namespace fenwright
