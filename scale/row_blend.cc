#include "scale/row_blend.h"

#include <algorithm>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <immintrin.h>
#endif

namespace fenwright {
namespace {

#if FENWRIGHT_X86_SIMD
// Rows are taken two at a time, their bytes interleaved, so one unsigned by
// signed multiply-add weighs both. The weights are the unsigned side (a
// whole 1.0 only ever comes alone) and the pixels the signed one, moved
// down by 128; the 128 * sum of the weights taken off comes back at the
// end. A pair's partial sum stays within -32768...32512, so nothing
// saturates, and the totals wrap back into the exact 16-bit sums.
constexpr int kMostPairs = 32;

struct PairedRows {
  const std::uint8_t* a[kMostPairs];
  const std::uint8_t* b[kMostPairs];
};

// Sums of eight source pixels from column byte offset `at`, in order.
template <int kPairs>
__attribute__((target("avx2"))) inline void blendEight(const PairedRows& rows, long at, int pairs,
                                                       const __m256i* weights, __m256i offset,
                                                       std::uint16_t* sums) {
  if constexpr (kPairs > 0) pairs = kPairs;
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  __m256i lo = offset;  // pixels 0, 1 | 4, 5
  __m256i hi = offset;  // pixels 2, 3 | 6, 7
  for (int j = 0; j < pairs; ++j) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows.a[j] + at));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows.b[j] + at));
    lo = _mm256_add_epi16(
        lo, _mm256_maddubs_epi16(weights[j], _mm256_xor_si256(_mm256_unpacklo_epi8(a, b), flip)));
    hi = _mm256_add_epi16(
        hi, _mm256_maddubs_epi16(weights[j], _mm256_xor_si256(_mm256_unpackhi_epi8(a, b), flip)));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + 16),
                      _mm256_permute2x128_si256(lo, hi, 0x31));
}

// One row alone: its weight may be a whole 1.0, too wide for a byte.
__attribute__((target("avx2"))) inline void scaleEight(const std::uint8_t* p, __m256i weight,
                                                       std::uint16_t* sums) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i lo = _mm256_mullo_epi16(_mm256_unpacklo_epi8(v, zero), weight);
  __m256i hi = _mm256_mullo_epi16(_mm256_unpackhi_epi8(v, zero), weight);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + 16),
                      _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Eight source pixels a step, a last step overlapping the one before
// (recomputing a pixel's sums writes the same values); rows narrower than
// one step are left to the others. Returns where it stopped.
template <int kPairs>
__attribute__((target("avx2"))) int blendChunksAvx2(const std::uint8_t* first, long bytesPerRow,
                                                    int count, const std::uint16_t* weights,
                                                    int begin, int end, std::uint16_t* sums) {
  if (end - begin < 8) return begin;
  if (count == 1) {
    const __m256i weight = _mm256_set1_epi16(static_cast<short>(weights[0]));
    int x = begin;
    for (; x + 8 <= end; x += 8) scaleEight(first + 4 * x, weight, sums + 4 * x);
    if (x < end) scaleEight(first + 4 * (end - 8), weight, sums + 4 * (end - 8));
    return end;
  }
  const int pairs = (count + 1) / 2;
  PairedRows rows;
  __m256i w[kPairs > 0 ? kPairs : kMostPairs] = {};
  unsigned total = 0;
  for (int j = 0; j < pairs; ++j) {
    // An odd last row pairs with itself at weight 0.
    const int second = std::min(2 * j + 1, count - 1);
    const unsigned wa = weights[2 * j];
    const unsigned wb = second > 2 * j ? weights[second] : 0;
    if (wa > 255 || wb > 255) return begin;
    rows.a[j] = first + 2 * j * bytesPerRow;
    rows.b[j] = first + second * bytesPerRow;
    w[j] = _mm256_set1_epi16(static_cast<short>(wa | wb << 8));
    total += wa + wb;
  }
  const __m256i offset = _mm256_set1_epi16(static_cast<short>(128 * total));
  int x = begin;
  for (; x + 8 <= end; x += 8) blendEight<kPairs>(rows, 4L * x, pairs, w, offset, sums + 4 * x);
  if (x < end) blendEight<kPairs>(rows, 4L * (end - 8), pairs, w, offset, sums + 4 * (end - 8));
  return end;
}

int blendAvx2(const std::uint8_t* first, long bytesPerRow, int count,
              const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  switch ((count + 1) / 2) {
    case 1: return blendChunksAvx2<1>(first, bytesPerRow, count, weights, begin, end, sums);
    case 2: return blendChunksAvx2<2>(first, bytesPerRow, count, weights, begin, end, sums);
    case 3: return blendChunksAvx2<3>(first, bytesPerRow, count, weights, begin, end, sums);
    case 4: return blendChunksAvx2<4>(first, bytesPerRow, count, weights, begin, end, sums);
    case 5: return blendChunksAvx2<5>(first, bytesPerRow, count, weights, begin, end, sums);
    default:
      if (count > 2 * kMostPairs) return begin;
      return blendChunksAvx2<0>(first, bytesPerRow, count, weights, begin, end, sums);
  }
}

// Four source pixels a step, one row at a time: a byte times a weight of
// at most 256 fits 16 bits exactly. Returns where it stopped.
int blendSse2(const std::uint8_t* first, long bytesPerRow, int count,
              const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  int x = begin;
  for (; x + 4 <= end; x += 4) {
    __m128i lo = zero;
    __m128i hi = zero;
    const std::uint8_t* p = first + 4 * x;
    for (int k = 0; k < count; ++k, p += bytesPerRow) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i w = _mm_set1_epi16(static_cast<short>(weights[k]));
      lo = _mm_add_epi16(lo, _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), w));
      hi = _mm_add_epi16(hi, _mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), w));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x + 8), hi);
  }
  return x;
}
#endif

}  // namespace

void blendRows(const std::uint8_t* first, long bytesPerRow, int count,
               const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  int x = begin;
#if FENWRIGHT_X86_SIMD
  const ScalerPath path = scalerPath();
  if (path >= ScalerPath::avx2) x = blendAvx2(first, bytesPerRow, count, weights, x, end, sums);
  if (path >= ScalerPath::sse2) x = blendSse2(first, bytesPerRow, count, weights, x, end, sums);
#endif
  // Row by row over the rest, a loop the compiler can vectorise; the sums
  // are exact and never pass 65280, so 16 bits hold every partial total.
  if (x >= end) return;
  const int channels = 4 * (end - x);
  std::uint16_t* out = sums + 4 * x;
  std::fill_n(out, channels, std::uint16_t{0});
  const std::uint8_t* p = first + 4 * x;
  for (int k = 0; k < count; ++k, p += bytesPerRow) {
    const unsigned weight = weights[k];
    for (int i = 0; i < channels; ++i) out[i] = static_cast<std::uint16_t>(out[i] + p[i] * weight);
  }
}

}  // namespace fenwright
