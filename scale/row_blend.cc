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
// Four source pixels a step; returns where it stopped. kCount 0 means
// `count`, not known when compiled; small fixed counts unroll the tap
// loop, which otherwise costs as much as the arithmetic.
template <int kCount>
int blendChunks(const std::uint8_t* first, long bytesPerRow, int count,
                const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  // A level v enters as v * 256 (the byte in the high half of a 16-bit
  // lane) and leaves the multiply as floor(v * 256 * w / 65536).
  const int taps = kCount > 0 ? kCount : count;
  const __m128i zero = _mm_setzero_si128();
  int x = begin;
  for (; x + 4 <= end; x += 4) {
    __m128i lo = zero;
    __m128i hi = zero;
    const std::uint8_t* p = first + 4 * x;
    for (int k = 0; k < taps; ++k, p += bytesPerRow) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 8 * k));
      lo = _mm_add_epi16(lo, _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, v), w));
      hi = _mm_add_epi16(hi, _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, v), w));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x + 8), hi);
  }
  return x;
}

// Sums of eight source pixels from `p` on, as blendChunks makes them. The
// 64-bit quarters are reordered first so the in-lane unpacks leave the
// pixels in order.
template <int kCount>
__attribute__((target("avx2"))) inline void blendEight(const std::uint8_t* p, long bytesPerRow,
                                                       int taps, const __m256i* weights,
                                                       std::uint16_t* sums) {
  if constexpr (kCount > 0) taps = kCount;
  const __m256i zero = _mm256_setzero_si256();
  __m256i lo = zero;
  __m256i hi = zero;
  for (int k = 0; k < taps; ++k, p += bytesPerRow) {
    __m256i v = _mm256_permute4x64_epi64(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 0xd8);
    lo = _mm256_add_epi16(lo, _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, v), weights[k]));
    hi = _mm256_add_epi16(hi, _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, v), weights[k]));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), lo);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + 16), hi);
}

// Eight source pixels a step, a last step overlapping the one before
// (recomputing a pixel's sums writes the same values); rows narrower than
// one step are left to the others. Up to 16 rows; returns where it stopped.
template <int kCount>
__attribute__((target("avx2"))) int blendChunksAvx2(const std::uint8_t* first, long bytesPerRow,
                                                    int count, const std::uint16_t* weights,
                                                    int begin, int end, std::uint16_t* sums) {
  const int taps = kCount > 0 ? kCount : count;
  if (end - begin < 8 || taps > 16) return begin;
  __m256i w[kCount > 0 ? kCount : 16];
  for (int k = 0; k < taps; ++k) w[k] = _mm256_set1_epi16(static_cast<short>(weights[8 * k]));
  int x = begin;
  for (; x + 8 <= end; x += 8)
    blendEight<kCount>(first + 4 * x, bytesPerRow, taps, w, sums + 4 * x);
  if (x < end)
    blendEight<kCount>(first + 4 * (end - 8), bytesPerRow, taps, w, sums + 4 * (end - 8));
  return end;
}

int blendAvx2(const std::uint8_t* first, long bytesPerRow, int count,
              const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  switch (count) {
    case 1: return blendChunksAvx2<1>(first, bytesPerRow, count, weights, begin, end, sums);
    case 2: return blendChunksAvx2<2>(first, bytesPerRow, count, weights, begin, end, sums);
    case 3: return blendChunksAvx2<3>(first, bytesPerRow, count, weights, begin, end, sums);
    case 4: return blendChunksAvx2<4>(first, bytesPerRow, count, weights, begin, end, sums);
    case 5: return blendChunksAvx2<5>(first, bytesPerRow, count, weights, begin, end, sums);
    case 6: return blendChunksAvx2<6>(first, bytesPerRow, count, weights, begin, end, sums);
    case 7: return blendChunksAvx2<7>(first, bytesPerRow, count, weights, begin, end, sums);
    case 8: return blendChunksAvx2<8>(first, bytesPerRow, count, weights, begin, end, sums);
    case 9: return blendChunksAvx2<9>(first, bytesPerRow, count, weights, begin, end, sums);
    default: return blendChunksAvx2<0>(first, bytesPerRow, count, weights, begin, end, sums);
  }
}

int blendSse2(const std::uint8_t* first, long bytesPerRow, int count,
              const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  switch (count) {
    case 1: return blendChunks<1>(first, bytesPerRow, count, weights, begin, end, sums);
    case 2: return blendChunks<2>(first, bytesPerRow, count, weights, begin, end, sums);
    case 3: return blendChunks<3>(first, bytesPerRow, count, weights, begin, end, sums);
    case 4: return blendChunks<4>(first, bytesPerRow, count, weights, begin, end, sums);
    default: return blendChunks<0>(first, bytesPerRow, count, weights, begin, end, sums);
  }
}
#endif

}  // namespace

void blendRows(const std::uint8_t* first, long bytesPerRow, int count,
               const std::uint16_t* weights, int begin, int end, std::uint16_t* sums) {
  int x = begin;
#if FENWRIGHT_X86_SIMD
  const ScalerPath path = scalerPath();
  if (path == ScalerPath::avx2) x = blendAvx2(first, bytesPerRow, count, weights, x, end, sums);
  if (path >= ScalerPath::sse2) x = blendSse2(first, bytesPerRow, count, weights, x, end, sums);
#endif
  // Row by row over the rest, a loop the compiler can vectorise. The sums
  // cannot pass 65535 (the weights add up to at most one), so 16 bits
  // hold every partial total exactly.
  if (x >= end) return;
  const int channels = 4 * (end - x);
  std::uint16_t* out = sums + 4 * x;
  std::fill_n(out, channels, std::uint16_t{0});
  const std::uint8_t* p = first + 4 * x;
  for (int k = 0; k < count; ++k, p += bytesPerRow) {
    const unsigned weight = weights[8 * k];
    for (int i = 0; i < channels; ++i)
      out[i] = static_cast<std::uint16_t>(out[i] + ((p[i] * 256u * weight) >> 16));
  }
}

}  // namespace fenwright
