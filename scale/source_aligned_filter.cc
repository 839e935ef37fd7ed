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
// a target pixel, gathering each target pixel's taps is cheaper, unless no
// two target pixels start on one pair of source pixels.
constexpr double kMostSourcePerTarget = 2.2;
constexpr double kMostSourcePerTargetInPairs = 3.0;
// Where source pixel p of a step sits in the two registers the row sums
// come in: pixels 0, 1 | 4, 5 then 2, 3 | 6, 7.
constexpr int kRegisterSlot[kStep] = {0, 1, 4, 5, 2, 3, 6, 7};
constexpr int kMostRows = 4;
// With at most one target pixel starting on each pair of source pixels,
// pair g's lands in lane kPairLane[g] of a step.
constexpr int kPairLane[kStep / 2] = {0, 1, 4, 5};

#if FENWRIGHT_X86_SIMD
__attribute__((target("avx2"))) inline __m256i load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Rows in pairs as in blendRows(): one unsigned by signed byte multiply-add
// weighs both, pixels moved down by 128 and the offset adding it back.
template <int kPairs>
struct PairedRows {
  const std::uint8_t* a[kPairs];
  const std::uint8_t* b[kPairs];
  __m256i weights[kPairs];
  __m256i offset;
};

// Loads of a step's eight source pixels, all of them or, near the row's
// end, only the first `pixels` (the rest read as zero and never touched).
struct AllPixels {
  __attribute__((target("avx2"))) __m256i operator()(const std::uint8_t* p) const {
    return load(p);
  }
};
struct FirstPixels {
  __m256i mask;
  __attribute__((target("avx2"))) __m256i operator()(const std::uint8_t* p) const {
    return _mm256_maskload_epi32(reinterpret_cast<const int*>(p), mask);
  }
};

__attribute__((target("avx2"))) inline __m256i lanesBelow(int n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The row sums of eight source pixels from byte `at`: pixels 0, 1 | 4, 5 in
// `low`, 2, 3 | 6, 7 in `high`.
template <int kPairs, typename Load>
__attribute__((target("avx2"))) inline void sumDown(const PairedRows<kPairs>& rows, long at,
                                                    Load get, __m256i& low, __m256i& high) {
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  low = high = rows.offset;
  for (int j = 0; j < kPairs; ++j) {
    const __m256i a = _mm256_xor_si256(get(rows.a[j] + at), flip);
    const __m256i b = _mm256_xor_si256(get(rows.b[j] + at), flip);
    low = _mm256_add_epi16(low, _mm256_maddubs_epi16(rows.weights[j], _mm256_unpacklo_epi8(a, b)));
    high = _mm256_add_epi16(high, _mm256_maddubs_epi16(rows.weights[j], _mm256_unpackhi_epi8(a, b)));
  }
}

// A step's eight source pixels weighed across with `weights`, each by the
// taps of the target pixel starting on it, as bytes in pixel order.
template <int kTaps>
__attribute__((target("avx2"))) inline __m256i weigh(__m256i low, __m256i high, __m256i nextLow,
                                                     __m256i, const std::uint16_t* weights,
                                                     __m256i rounding) {
  // Each pixel's right neighbours: 1, 2 | 5, 6 and 3, 4 | 7, 8 one over,
  // 2, 3 | 6, 7 and 4, 5 | 8, 9 two over.
  const __m256i across = _mm256_permute2x128_si256(low, nextLow, 0x21);
  __m256i first =
      _mm256_add_epi16(_mm256_mulhi_epu16(low, load(weights)),
                       _mm256_mulhi_epu16(_mm256_alignr_epi8(high, low, 8), load(weights + 32)));
  __m256i second = _mm256_add_epi16(
      _mm256_mulhi_epu16(high, load(weights + 16)),
      _mm256_mulhi_epu16(_mm256_alignr_epi8(across, high, 8), load(weights + 48)));
  if constexpr (kTaps == 3) {
    first = _mm256_add_epi16(first, _mm256_mulhi_epu16(high, load(weights + 64)));
    second = _mm256_add_epi16(second, _mm256_mulhi_epu16(across, load(weights + 80)));
  }
  return _mm256_packus_epi16(_mm256_srli_epi16(_mm256_adds_epu16(first, rounding), 8),
                             _mm256_srli_epi16(_mm256_adds_epu16(second, rounding), 8));
}

// The same for steps where each pair of source pixels starts at most one
// target pixel (shrinks past 2:1), four of them, in lanes kPairLane. Its
// first tap is the pair's first pixel or, one register on, its second: a
// register per tap and one, each holding a pixel of every pair, weigh all
// four at once.
template <int kTaps>
__attribute__((target("avx2"))) inline __m256i weighPairs(__m256i low, __m256i high,
                                                          __m256i nextLow, __m256i nextHigh,
                                                          const std::uint16_t* weights,
                                                          __m256i rounding) {
  // Pixels 4, 5 | 8, 9 and 6, 7 | 10, 11.
  const __m256i across = _mm256_permute2x128_si256(low, nextLow, 0x21);
  // Pixels 0, 2 | 4, 6, then 1, 3 | 5, 7 and so on: pair g's pixel j.
  __m256i total =
      _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_unpacklo_epi64(low, high), load(weights)),
                       _mm256_mulhi_epu16(_mm256_unpackhi_epi64(low, high), load(weights + 16)));
  total = _mm256_add_epi16(
      total, _mm256_mulhi_epu16(_mm256_unpacklo_epi64(high, across), load(weights + 32)));
  total = _mm256_add_epi16(
      total, _mm256_mulhi_epu16(_mm256_unpackhi_epi64(high, across), load(weights + 48)));
  if constexpr (kTaps == 4) {
    const __m256i acrossHigh = _mm256_permute2x128_si256(high, nextHigh, 0x21);
    total = _mm256_add_epi16(total, _mm256_mulhi_epu16(_mm256_unpacklo_epi64(across, acrossHigh),
                                                       load(weights + 64)));
  }
  const __m256i level = _mm256_srli_epi16(_mm256_adds_epu16(total, rounding), 8);
  return _mm256_packus_epi16(level, level);
}

template <int kTaps, bool kInPairs>
__attribute__((target("avx2"))) inline __m256i weighStep(__m256i low, __m256i high,
                                                         __m256i nextLow, __m256i nextHigh,
                                                         const std::uint16_t* weights,
                                                         __m256i rounding) {
  if constexpr (kInPairs)
    return weighPairs<kTaps>(low, high, nextLow, nextHigh, weights, rounding);
  else
    return weigh<kTaps>(low, high, nextLow, nextHigh, weights, rounding);
}

struct Plan {
  const std::uint16_t* weights;
  const std::uint16_t* leadWeights;  // null when there is no lead pixel
  const std::int32_t* lanes;
  const std::uint8_t* permuted;
  const int* firstTarget;
  int fastSteps;
  int steps;
  int sourceLeft;  // source pixels from the first step's first on
  int pixels;
};

template <int kPairs, int kTaps, bool kInPairs>
__attribute__((target("avx2"))) void applySteps(const PairedRows<kPairs>& rows, long at,
                                                const Plan& plan, std::uint8_t* run,
                                                __m256i rounding) {
  constexpr int kWeights = kInPairs ? 16 * (kTaps + 1) : 4 * kStep * kTaps;
  __m256i low, high, nextLow, nextHigh;
  sumDown(rows, at, FirstPixels{lanesBelow(plan.sourceLeft)}, low, high);
  if (plan.leadWeights != nullptr) {
    // It starts on the first step's first pixel too, so lands in lane 0.
    sumDown(rows, at + 4 * kStep, FirstPixels{lanesBelow(plan.sourceLeft - kStep)}, nextLow,
            nextHigh);
    const __m256i lead = weighStep<kTaps, kInPairs>(low, high, nextLow, nextHigh, plan.leadWeights,
                                                     rounding);
    const std::uint32_t pixel = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(lead));
    __builtin_memcpy(run, &pixel, 4);
  }
  // In locals, not reloaded after each store as the plan's fields would be.
  const std::uint16_t* weights = plan.weights;
  const std::int32_t* const lanes = plan.lanes;
  const std::uint8_t* const permuted = plan.permuted;
  const int* const firstTarget = plan.firstTarget;
  const int fastSteps = plan.fastSteps;
  int k = 0;
  // Rows are summed two steps ahead: the loads then come in well before
  // the arithmetic waits on them (a twentieth quicker).
  if (fastSteps > 0) sumDown(rows, at + 4 * kStep, AllPixels{}, nextLow, nextHigh);
  for (; k < fastSteps; ++k, weights += kWeights) {
    at += 4 * kStep;
    __m256i aheadLow, aheadHigh;
    sumDown(rows, at + 4 * kStep, AllPixels{}, aheadLow, aheadHigh);
    __m256i packed = weighStep<kTaps, kInPairs>(low, high, nextLow, nextHigh, weights, rounding);
    // Near 1:1 most steps' target pixels already sit in their lanes; the
    // permute they skip was a tenth of the time. Past two taps a source
    // pixel without a target pixel comes every step or two: those and pairs
    // always permute.
    if (kInPairs || kTaps > 2 || permuted[k]) packed = _mm256_permutevar8x32_epi32(packed, load(lanes + kStep * k));
    // The lanes past this step's target pixels are junk the next store covers.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(run + 4 * firstTarget[k]), packed);
    low = nextLow;
    high = nextHigh;
    nextLow = aheadLow;
    nextHigh = aheadHigh;
  }
  // The last steps read and write nothing past the row or the run.
  for (; k < plan.steps; ++k, weights += kWeights) {
    at += 4 * kStep;
    sumDown(rows, at, FirstPixels{lanesBelow(plan.sourceLeft - kStep * (k + 1))}, nextLow,
            nextHigh);
    const __m256i packed = weighStep<kTaps, kInPairs>(low, high, nextLow, nextHigh, weights, rounding);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(run + 4 * plan.firstTarget[k]),
                           lanesBelow(plan.pixels - plan.firstTarget[k]),
                           _mm256_permutevar8x32_epi32(packed, load(plan.lanes + kStep * k)));
    low = nextLow;
    high = nextHigh;
  }
}

template <int kPairs>
__attribute__((target("avx2"))) void applyPairs(const std::uint8_t* first, long bytesPerRow,
                                                int count, const std::uint16_t* weights, int taps,
                                                bool inPairs,
                                                long at, const Plan& plan, std::uint8_t* run,
                                                std::uint16_t rounding, std::uint32_t alpha) {
  // A channel the alpha fills rounds up by all it can instead: it saturates
  // to 255, with no OR a step.
  std::uint64_t channels = 0;
  for (int c = 0; c < 4; ++c)
    channels |= std::uint64_t{(alpha >> 8 * c & 0xff) != 0 ? 0xffffu : rounding} << 16 * c;
  const __m256i roundingLanes = _mm256_set1_epi64x(static_cast<long long>(channels));
  PairedRows<kPairs> rows;
  unsigned total = 0;
  for (int j = 0; j < kPairs; ++j) {
    // A row left over pairs with itself, its weight split in two halves
    // that fit a byte even when it is a whole 256.
    const int second = std::min(2 * j + 1, count - 1);
    unsigned wa = weights[2 * j];
    unsigned wb = second > 2 * j ? weights[second] : wa / 2;
    if (second == 2 * j) wa -= wb;
    rows.a[j] = first + 2 * j * bytesPerRow;
    rows.b[j] = first + second * bytesPerRow;
    rows.weights[j] = _mm256_set1_epi16(static_cast<short>(wa | wb << 8));
    total += wa + wb;
  }
  rows.offset = _mm256_set1_epi16(static_cast<short>(128 * total));
  if (inPairs && taps == 4)
    applySteps<kPairs, 4, true>(rows, at, plan, run, roundingLanes);
  else if (inPairs)
    applySteps<kPairs, 3, true>(rows, at, plan, run, roundingLanes);
  else if (taps == 2)
    applySteps<kPairs, 2, false>(rows, at, plan, run, roundingLanes);
  else
    applySteps<kPairs, 3, false>(rows, at, plan, run, roundingLanes);
}
#endif

}  // namespace

bool SourceAlignedFilter::build(const ResampleAxis& columns) {
  taps_ = lead_ = firstSource_ = fastSteps_ = sourceLeft_ = pixels_ = 0;
  inPairs_ = false;
  firstTarget_.clear();
  lanes_.clear();
  weights_.clear();
  const int pixels = columns.end() - columns.begin();
  if (!FENWRIGHT_X86_SIMD || pixels < 2 * kStep || columns.maxCount() > 4) return false;
  // Each source pixel, or in pairs each pair, starts at most one target
  // pixel but for a partly covered first one, which may start on the next
  // one's: it is weighed on its own.
  const int first = columns.start(columns.begin());
  const int taps = std::max(2, columns.maxCount());
  auto sharesStart = [&](int x, int unit) {
    return (columns.start(x) - first) / unit <= (columns.start(x - 1) - first) / unit;
  };
  bool alone = true;
  bool inPairs = taps > 2;
  for (int x = columns.begin() + 2; x < columns.end(); ++x) {
    alone = alone && !sharesStart(x, 1);
    inPairs = inPairs && !sharesStart(x, 2);
  }
  const int lead = sharesStart(columns.begin() + 1, inPairs ? 2 : 1) ? 1 : 0;
  const int last = columns.start(columns.end() - 1);
  const double most = inPairs ? kMostSourcePerTargetInPairs : kMostSourcePerTarget;
  if ((!inPairs && (!alone || taps > 3)) || last - first > most * (pixels - 1)) return false;

  // Per step: a register per tap, or in pairs one more, of 16 weights.
  const int registers = inPairs ? taps + 1 : 2 * taps;
  const int steps = (last - first) / kStep + 1;
  firstTarget_.assign(static_cast<std::size_t>(steps) + 1, 0);
  firstTarget_[0] = lead;
  lanes_.assign(static_cast<std::size_t>(steps) * kStep, 0);
  permuted_.assign(static_cast<std::size_t>(steps), inPairs);
  // Where the weight of tap j for the target pixel starting on pixel `pixel`
  // of step `step` goes.
  auto slot = [&](int step, int pixel, int j) {
    const int index = inPairs ? ((step * registers + pixel % 2 + j) * 4 + pixel / 2) * 4
                              : ((step * taps + j) * kStep + kRegisterSlot[pixel]) * 4;
    return weights_.begin() + index;
  };
  // The lead pixel's weights come after the steps'.
  weights_.assign(static_cast<std::size_t>(steps + lead) * registers * 16, 0);
  for (int j = 0; j < lead * columns.count(columns.begin()); ++j)
    std::fill_n(slot(steps, 0, j), 4, columns.weights(columns.begin())[j]);
  for (int x = columns.begin() + lead; x < columns.end(); ++x)
    ++firstTarget_[static_cast<std::size_t>((columns.start(x) - first) / kStep) + 1];
  std::partial_sum(firstTarget_.begin(), firstTarget_.end(), firstTarget_.begin());
  for (int i = lead; i < pixels; ++i) {
    const int target = columns.begin() + i;
    const int step = (columns.start(target) - first) / kStep;
    const int pixel = (columns.start(target) - first) % kStep;
    const int lane = i - firstTarget_[static_cast<std::size_t>(step)];
    lanes_[static_cast<std::size_t>(step * kStep + lane)] = inPairs ? kPairLane[pixel / 2] : pixel;
    if (pixel != lane) permuted_[static_cast<std::size_t>(step)] = 1;
    for (int j = 0; j < columns.count(target); ++j)
      std::fill_n(slot(step, pixel, j), 4, columns.weights(target)[j]);
  }
  taps_ = taps;
  inPairs_ = inPairs;
  lead_ = lead;
  firstSource_ = first;
  sourceLeft_ = columns.sourceLength() - first;
  pixels_ = pixels;
  // A fast step reads the eight pixels of the two steps after it too.
  while (fastSteps_ < steps &&
         firstTarget_[static_cast<std::size_t>(fastSteps_)] + kStep <= pixels &&
         (fastSteps_ + 3) * kStep <= sourceLeft_)
    ++fastSteps_;
  return true;
}

bool SourceAlignedFilter::applyRows([[maybe_unused]] const std::uint8_t* first,
                                   [[maybe_unused]] long bytesPerRow, int count,
                                   [[maybe_unused]] const std::uint16_t* weights,
                                   [[maybe_unused]] std::uint8_t* run,
                                   [[maybe_unused]] std::uint16_t rounding,
                                   std::uint32_t alpha) const {
  // Alpha bytes other than none or all would need an OR.
  const bool whole = ((alpha & 0x80808080u) >> 7) * 0xffu == alpha;
  if (firstTarget_.empty() || count < 1 || count > kMostRows || !whole) return false;
#if FENWRIGHT_X86_SIMD
  const int steps = static_cast<int>(firstTarget_.size()) - 1;
  const Plan plan{weights_.data(),
                  // The lead pixel's, a step's worth, come last.
                  lead_ > 0 ? weights_.data() + weights_.size() / (steps + 1) * steps : nullptr,
                  lanes_.data(),
                  permuted_.data(),
                  firstTarget_.data(),
                  fastSteps_,
                  steps,
                  sourceLeft_,
                  pixels_};
  const long at = 4L * firstSource_;
  if (count <= 2)
    applyPairs<1>(first, bytesPerRow, count, weights, taps_, inPairs_, at, plan, run, rounding, alpha);
  else
    applyPairs<2>(first, bytesPerRow, count, weights, taps_, inPairs_, at, plan, run, rounding, alpha);
  return true;
#else
  return false;
#endif
}

}  // namespace fenwright
