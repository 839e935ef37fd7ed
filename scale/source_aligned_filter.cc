#include "scale/source_aligned_filter.h"

#include <algorithm>
#include <numeric>

#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <immintrin.h>
#endif

namespace fenwright {
namespace {

constexpr int kStep = 8;
// Each source pixel is weighed once per tap: past this many source pixels
// a target pixel, gathering each target pixel's taps is cheaper.
constexpr double kMostSourcePerTarget = 1.75;
// Where source pixel p of a step lands once its two halves are packed.
constexpr int kPackedLane[kStep] = {0, 1, 4, 5, 2, 3, 6, 7};

#if FENWRIGHT_X86_SIMD
__attribute__((target("avx2"))) inline __m256i load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline __m256i level(__m256i total, __m256i rounding) {
  return _mm256_srli_epi16(_mm256_adds_epu16(total, rounding), 8);
}

template <int kTaps>
__attribute__((target("avx2"))) void applySteps(const std::uint16_t* sums,
                                                const std::uint16_t* weights,
                                                const std::int32_t* lanes, const int* firstTarget,
                                                int steps, std::uint8_t* row,
                                                std::uint16_t rounding, std::uint32_t alpha) {
  const __m256i roundingLanes = _mm256_set1_epi16(static_cast<short>(rounding));
  const __m256i alphaLanes = _mm256_set1_epi32(static_cast<int>(alpha));
  for (int k = 0; k < steps; ++k, sums += 4 * kStep, weights += 4 * kStep * kTaps) {
    __m256i low = _mm256_mulhi_epu16(load(sums), load(weights));
    __m256i high = _mm256_mulhi_epu16(load(sums + 16), load(weights + 16));
    for (int j = 1; j < kTaps; ++j) {
      low = _mm256_add_epi16(low, _mm256_mulhi_epu16(load(sums + 4 * j), load(weights + 32 * j)));
      high = _mm256_add_epi16(
          high, _mm256_mulhi_epu16(load(sums + 16 + 4 * j), load(weights + 32 * j + 16)));
    }
    const __m256i packed =
        _mm256_packus_epi16(level(low, roundingLanes), level(high, roundingLanes));
    const __m256i picked = _mm256_permutevar8x32_epi32(packed, load(lanes + kStep * k));
    // The lanes past this step's target pixels are junk the next store covers.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 4 * firstTarget[k]),
                        _mm256_or_si256(picked, alphaLanes));
  }
}
#endif

}  // namespace

bool SourceAlignedFilter::build(const ResampleAxis& axis) {
  taps_ = lead_ = firstSource_ = steps_ = sumsLength_ = 0;
  firstTarget_.clear();
  lanes_.clear();
  weights_.clear();
  const int pixels = axis.end() - axis.begin();
  if (!FENWRIGHT_X86_SIMD || pixels < 2 * kStep || axis.maxCount() > 3) return false;
  // Each source pixel holds at most one target pixel's weights: a partly
  // covered first pixel, which starts where the next one does, is left out.
  int lead = 0;
  for (int x = axis.begin() + 1; x < axis.end(); ++x) {
    if (axis.start(x) > axis.start(x - 1)) continue;
    if (x - axis.begin() > kStep) return false;
    lead = x - axis.begin();
  }
  const int first = axis.start(axis.begin() + lead);
  const int last = axis.start(axis.end() - 1);
  if (last - first > kMostSourcePerTarget * (pixels - 1)) return false;

  const int taps = std::max(2, axis.maxCount());
  const int steps = (last - first) / kStep + 1;
  firstTarget_.assign(static_cast<std::size_t>(steps) + 1, 0);
  firstTarget_[0] = lead;
  lanes_.assign(static_cast<std::size_t>(steps) * kStep, 0);
  weights_.assign(static_cast<std::size_t>(steps) * taps * 4 * kStep, 0);
  for (int x = axis.begin() + lead; x < axis.end(); ++x)
    ++firstTarget_[static_cast<std::size_t>((axis.start(x) - first) / kStep) + 1];
  std::partial_sum(firstTarget_.begin(), firstTarget_.end(), firstTarget_.begin());
  for (int i = lead; i < pixels; ++i) {
    const int target = axis.begin() + i;
    const int step = (axis.start(target) - first) / kStep;
    const int pixel = (axis.start(target) - first) % kStep;
    lanes_[static_cast<std::size_t>(step * kStep + i - firstTarget_[static_cast<std::size_t>(step)])] =
        kPackedLane[pixel];
    for (int j = 0; j < axis.count(target); ++j)
      std::fill_n(weights_.begin() + ((step * taps + j) * kStep + pixel) * 4, 4,
                  axis.weights(target)[j]);
  }
  taps_ = taps;
  lead_ = lead;
  firstSource_ = first;
  while (steps_ < steps && firstTarget_[static_cast<std::size_t>(steps_)] + kStep <= pixels)
    ++steps_;
  sumsLength_ = first + steps * kStep + taps;
  return true;
}

int SourceAlignedFilter::apply([[maybe_unused]] const std::uint16_t* sums,
                               [[maybe_unused]] std::uint8_t* row,
                               [[maybe_unused]] std::uint16_t rounding,
                               [[maybe_unused]] std::uint32_t alpha) const {
  if (steps_ == 0) return 0;
#if FENWRIGHT_X86_SIMD
  const std::uint16_t* from = sums + 4 * firstSource_;
  if (taps_ == 2)
    applySteps<2>(from, weights_.data(), lanes_.data(), firstTarget_.data(), steps_, row, rounding,
                  alpha);
  else
    applySteps<3>(from, weights_.data(), lanes_.data(), firstTarget_.data(), steps_, row, rounding,
                  alpha);
  return firstTarget_[static_cast<std::size_t>(steps_)];
#else
  return 0;
#endif
}

}  // namespace fenwright
