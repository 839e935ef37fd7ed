#include "scale/source_aligned_filter.h"

#include <algorithm>
#include <numeric>

#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <immintrin.h>
#endif

namespace fenwright {

// What a step kernel reads of the filter's plan.
struct SourceAlignedPlan {
  const std::uint16_t* weights;
  const std::uint16_t* leadWeights;  // null when there is no lead pixel
  const std::int32_t* lanes;
  const std::uint8_t* bytes;  // AVX-512: per step, the byte permute's 64 indices
  const std::uint8_t* permuted;
  const int* firstTarget;
  int fastSteps;
  int steps;
  int sourceLeft;  // source pixels from the first step's first on
  int pixels;
};

// Where applyRows() draws: target rows [y, end) from `band`, whose first
// row is source row `top`, from byte `at` of each source row on.
struct RowRange {
  const ResampleAxis* rows;
  int y, end;
  const ImageView* band;
  int top;
  std::uint8_t* run;
  long runBytesPerRow;
  long at;
};

namespace {

// Each source pixel is weighed once per tap: past this many source pixels
// a target pixel, gathering each target pixel's taps is cheaper, unless no
// two target pixels start on one pair of source pixels.
constexpr double kMostSourcePerTarget = 2.2;
constexpr double kMostSourcePerTargetInPairs = 3.0;
constexpr int kMostRows = 4;

// Where source pixel p of a step sits in the two registers its row sums
// come in, `low` then `high`: four pixels a 128-bit lane, the first two of
// each lane in `low` (0, 1 | 4, 5 | ...), the last two in `high`.
int registerSlot(int p, int step) { return (p % 4 < 2 ? 0 : step / 2) + p / 4 * 2 + p % 2; }
// With at most one target pixel starting on each pair of source pixels,
// pair g's lands in this lane of a step.
int pairLane(int g) { return g / 2 * 4 + g % 2; }

}  // namespace

#if FENWRIGHT_X86_SIMD
#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide8 {
namespace {

using V = __m256i;
constexpr int kStep = 8;

inline V load(const void* p) { return _mm256_loadu_si256(static_cast<const V*>(p)); }
inline V lanesBelow(int n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
inline V loadFirst(const void* p, int n) {
  return _mm256_maskload_epi32(static_cast<const int*>(p), lanesBelow(n));
}
inline void store(void* p, V v) { _mm256_storeu_si256(static_cast<V*>(p), v); }
inline void storeFirst(void* p, int n, V v) {
  _mm256_maskstore_epi32(static_cast<int*>(p), lanesBelow(n), v);
}
inline V splat8(char c) { return _mm256_set1_epi8(c); }
inline V splat16(short s) { return _mm256_set1_epi16(s); }
inline V splat64(long long q) { return _mm256_set1_epi64x(q); }
inline V bitXor(V a, V b) { return _mm256_xor_si256(a, b); }
inline V unpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
inline V unpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
inline V unpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
inline V unpackHi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
inline V maddubs(V a, V b) { return _mm256_maddubs_epi16(a, b); }
inline V add16(V a, V b) { return _mm256_add_epi16(a, b); }
inline V addsU16(V a, V b) { return _mm256_adds_epu16(a, b); }
inline V mulhiU16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
inline V srl8(V a) { return _mm256_srli_epi16(a, 8); }
inline V packU8(V a, V b) { return _mm256_packus_epi16(a, b); }
// Per 128-bit lane, the upper half of `lo` then the lower half of `hi`.
inline V alignHalf(V hi, V lo) { return _mm256_alignr_epi8(hi, lo, 8); }
// `v`'s lanes moved down by one, `next`'s first lane coming in on top.
inline V nextLane(V v, V next) { return _mm256_permute2x128_si256(v, next, 0x21); }
// The high bytes of rounded sums, in pixel order, then into the step's lanes.
inline V packNatural(V first, V second) { return packU8(srl8(first), srl8(second)); }
inline V finish(V first, V second, const SourceAlignedPlan& plan, int k, bool permute) {
  const V packed = packNatural(first, second);
  return permute ? _mm256_permutevar8x32_epi32(packed, load(plan.lanes + kStep * k)) : packed;
}
inline std::uint32_t lowestPixel(V v) { return static_cast<std::uint32_t>(_mm256_cvtsi256_si32(v)); }
inline __m128i firstLane(V v) { return _mm256_castsi256_si128(v); }

#include "scale/source_aligned_steps.inc"

}  // namespace
}  // namespace wide8
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512vbmi")
namespace wide16 {
namespace {

using V = __m512i;
constexpr int kStep = 16;

inline V load(const void* p) { return _mm512_loadu_si512(p); }
inline __mmask16 lanesBelow(int n) {
  return n <= 0 ? 0 : n >= 16 ? 0xffff : static_cast<__mmask16>((1u << n) - 1);
}
inline V loadFirst(const void* p, int n) { return _mm512_maskz_loadu_epi32(lanesBelow(n), p); }
inline void store(void* p, V v) { _mm512_storeu_si512(p, v); }
inline void storeFirst(void* p, int n, V v) { _mm512_mask_storeu_epi32(p, lanesBelow(n), v); }
inline V splat8(char c) { return _mm512_set1_epi8(c); }
inline V splat16(short s) { return _mm512_set1_epi16(s); }
inline V splat64(long long q) { return _mm512_set1_epi64(q); }
inline V bitXor(V a, V b) { return _mm512_xor_si512(a, b); }
inline V unpackLo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
inline V unpackHi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
// The zero-masked forms: GCC 12's plain ones read an undefined register it
// then warns of.
inline V unpackLo64(V a, V b) { return _mm512_maskz_unpacklo_epi64(0xff, a, b); }
inline V unpackHi64(V a, V b) { return _mm512_maskz_unpackhi_epi64(0xff, a, b); }
inline V maddubs(V a, V b) { return _mm512_maddubs_epi16(a, b); }
inline V add16(V a, V b) { return _mm512_add_epi16(a, b); }
inline V addsU16(V a, V b) { return _mm512_adds_epu16(a, b); }
inline V mulhiU16(V a, V b) { return _mm512_mulhi_epu16(a, b); }
inline V srl8(V a) { return _mm512_srli_epi16(a, 8); }
inline V packU8(V a, V b) { return _mm512_packus_epi16(a, b); }
inline V alignHalf(V hi, V lo) { return _mm512_alignr_epi8(hi, lo, 8); }
inline V nextLane(V v, V next) { return _mm512_maskz_alignr_epi64(0xff, next, v, 2); }
inline V packNatural(V first, V second) { return packU8(srl8(first), srl8(second)); }
// One byte permute takes each target pixel's high bytes straight into its
// lane: no shifts, no pack, and no step is left unpermuted.
inline V finish(V first, V second, const SourceAlignedPlan& plan, int k, bool) {
  return _mm512_permutex2var_epi8(first, load(plan.bytes + 64 * k), second);
}
inline std::uint32_t lowestPixel(V v) {
  return static_cast<std::uint32_t>(_mm512_cvtsi512_si32(v));
}
inline __m128i firstLane(V v) { return _mm512_maskz_extracti32x4_epi32(0xf, v, 0); }

#include "scale/source_aligned_steps.inc"

}  // namespace
}  // namespace wide16
#pragma GCC pop_options
#endif


int SourceAlignedFilter::stepFor(ScalerPath path) {
  return path == ScalerPath::avx512 ? 16 : path == ScalerPath::avx2 ? 8 : 0;
}

bool SourceAlignedFilter::build(const ResampleAxis& columns, ScalerPath path) {
  taps_ = lead_ = firstSource_ = fastSteps_ = sourceLeft_ = pixels_ = 0;
  inPairs_ = false;
  firstTarget_.clear();
  lanes_.clear();
  bytes_.clear();
  weights_.clear();
  const int step = stepFor(path);
  step_ = step;
  const int pixels = columns.end() - columns.begin();
  if (!FENWRIGHT_X86_SIMD || step == 0 || pixels < 2 * step || columns.maxCount() > 4)
    return false;
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

  // Per step: a register per tap, or in pairs one more, of 2 * step weights.
  const int registers = inPairs ? taps + 1 : 2 * taps;
  const int steps = (last - first) / step + 1;
  firstTarget_.assign(static_cast<std::size_t>(steps) + 1, 0);
  firstTarget_[0] = lead;
  lanes_.assign(static_cast<std::size_t>(steps) * step, 0);
  permuted_.assign(static_cast<std::size_t>(steps), inPairs);
  // Where the weight of tap j for the target pixel starting on pixel `pixel`
  // of step `at` goes.
  auto slot = [&](int at, int pixel, int j) {
    const int index = inPairs ? ((at * registers + pixel % 2 + j) * (step / 2) + pixel / 2) * 4
                              : ((at * taps + j) * step + registerSlot(pixel, step)) * 4;
    return weights_.begin() + index;
  };
  // The lead pixel's weights come after the steps'.
  weights_.assign(static_cast<std::size_t>(steps + lead) * registers * 2 * step, 0);
  for (int j = 0; j < lead * columns.count(columns.begin()); ++j)
    std::fill_n(slot(steps, 0, j), 4, columns.weights(columns.begin())[j]);
  for (int x = columns.begin() + lead; x < columns.end(); ++x)
    ++firstTarget_[static_cast<std::size_t>((columns.start(x) - first) / step) + 1];
  std::partial_sum(firstTarget_.begin(), firstTarget_.end(), firstTarget_.begin());
  for (int i = lead; i < pixels; ++i) {
    const int target = columns.begin() + i;
    const int at = (columns.start(target) - first) / step;
    const int pixel = (columns.start(target) - first) % step;
    const int lane = i - firstTarget_[static_cast<std::size_t>(at)];
    lanes_[static_cast<std::size_t>(at * step + lane)] = inPairs ? pairLane(pixel / 2) : pixel;
    if (pixel != lane) permuted_[static_cast<std::size_t>(at)] = 1;
    for (int j = 0; j < columns.count(target); ++j)
      std::fill_n(slot(at, pixel, j), 4, columns.weights(target)[j]);
  }
  if (step == 16) {
    // Where each lane's bytes lie in the step's two registers of rounded
    // sums (high byte of each 16-bit channel; 64 on, the second register).
    bytes_.assign(static_cast<std::size_t>(steps) * 64, 0);
    for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
      const int from = lanes_[lane];
      const int pair = from / 4 * 2 + from % 4;
      const bool second = !inPairs && from % 4 >= 2;
      const int pixel = inPairs ? pair : from / 4 * 2 + from % 2;
      for (int c = 0; c < 4; ++c)
        bytes_[4 * lane + static_cast<std::size_t>(c)] =
            static_cast<std::uint8_t>((second ? 64 : 0) + 2 * (4 * pixel + c) + 1);
    }
  }
  taps_ = taps;
  inPairs_ = inPairs;
  lead_ = lead;
  firstSource_ = first;
  sourceLeft_ = columns.sourceLength() - first;
  pixels_ = pixels;
  // A fast step reads the pixels of the two steps after it too.
  while (fastSteps_ < steps &&
         firstTarget_[static_cast<std::size_t>(fastSteps_)] + step <= pixels &&
         (fastSteps_ + 3) * step <= sourceLeft_)
    ++fastSteps_;
  return true;
}

int SourceAlignedFilter::applyRows([[maybe_unused]] const ResampleAxis& rows, int y,
                                   [[maybe_unused]] int end,
                                   [[maybe_unused]] const ImageView& band,
                                   [[maybe_unused]] int top, [[maybe_unused]] std::uint8_t* run,
                                   [[maybe_unused]] long runBytesPerRow, std::uint16_t rounding,
                                   std::uint32_t alpha, ScalerPath path) const {
  // Alpha bytes other than none or all would need an OR.
  const bool whole = ((alpha & 0x80808080u) >> 7) * 0xffu == alpha;
  // A plan made for another path (only tests switch) is left to the others.
  if (firstTarget_.empty() || !whole || stepFor(path) != step_) return y;
#if FENWRIGHT_X86_SIMD
  const int steps = static_cast<int>(firstTarget_.size()) - 1;
  const SourceAlignedPlan plan{
      weights_.data(),
      // The lead pixel's, a step's worth, come last.
      lead_ > 0 ? weights_.data() + weights_.size() / (steps + 1) * steps : nullptr,
      lanes_.data(),
      bytes_.data(),
      permuted_.data(),
      firstTarget_.data(),
      fastSteps_,
      steps,
      sourceLeft_,
      pixels_};
  // A channel the alpha fills rounds up by all it can instead: it saturates
  // to 255, with no OR a step.
  std::uint64_t channels = 0;
  for (int c = 0; c < 4; ++c)
    channels |= std::uint64_t{(alpha >> 8 * c & 0xff) != 0 ? 0xffffu : rounding} << 16 * c;
  const RowRange range{&rows, y, end, &band, top, run, runBytesPerRow, 4L * firstSource_};
  if (step_ == 16) return wide16::applyRowRange(range, taps_, inPairs_, plan, channels);
  return wide8::applyRowRange(range, taps_, inPairs_, plan, channels);
#else
  return y;
#endif
}

}  // namespace fenwright
