#include "scale/box_average.h"

#include <array>
#include <cstring>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
#endif

namespace fenwright {
namespace {

std::uint32_t packPixel(const unsigned (&channels)[4]) {
  return channels[0] | channels[1] << 8 | channels[2] << 16 | channels[3] << 24;
}

#if FENWRIGHT_X86_SIMD
// floor(t / area) as (t * multiplier) >> (16 + shift) in 16-bit lanes, for
// every t a block's sum plus half its area can reach. The multiplier is
// rounded up, which stays exact while t times its excess stays under
// 2^(16 + shift) for every such t. Zero when no 16-bit multiplier qualifies
// (14 x 14 blocks), which then take the float path.
struct Reciprocal {
  std::uint16_t multiplier = 0;
  int shift = 0;
};

constexpr Reciprocal reciprocalFor(unsigned area) {
  const unsigned long most = 255ul * area + area / 2;
  for (int shift = 0; shift < 16; ++shift) {
    const unsigned long power = 1ul << (16 + shift);
    const unsigned long multiplier = (power + area - 1) / area;
    if (multiplier > 0xffff) break;
    if (most * (multiplier * area - power) < power)
      return {static_cast<std::uint16_t>(multiplier), shift};
  }
  return {};
}

constexpr std::array<Reciprocal, 17> kReciprocals = [] {
  std::array<Reciprocal, 17> table{};
  for (unsigned n = 1; n < table.size(); ++n) table[n] = reciprocalFor(n * n);
  return table;
}();

// The vector variants each take whole steps and return where they stopped;
// the portable loops below finish the row.

// Means of two 2 x 2 blocks (16 bytes of each row) as 16-bit channels.
__attribute__((target("ssse3"))) inline __m128i blockMeansSsse3(const std::uint8_t* top,
                                                                const std::uint8_t* bottom) {
  // Pair each channel of a block's left and right pixel in adjacent bytes;
  // one multiply-add against ones then sums them into 16 bits.
  const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m128i ones = _mm_set1_epi8(1);
  __m128i a = _mm_maddubs_epi16(
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)), pairs), ones);
  __m128i b = _mm_maddubs_epi16(
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom)), pairs), ones);
  // (sum + 2) >> 2 as ((sum >> 1) + 1) >> 1: the same rounding, one op less.
  return _mm_avg_epu16(_mm_srli_epi16(_mm_add_epi16(a, b), 1), _mm_setzero_si128());
}

__attribute__((target("ssse3"))) int averageBlocks2x2Ssse3(const std::uint8_t* row0,
                                                           const std::uint8_t* row1,
                                                           std::uint8_t* out, int count,
                                                           std::uint32_t alpha) {
  const __m128i alphaBits = _mm_set1_epi32(static_cast<int>(alpha));
  int x = 0;
  for (; x + 4 <= count; x += 4) {
    __m128i means = _mm_packus_epi16(blockMeansSsse3(row0 + 8 * x, row1 + 8 * x),
                                     blockMeansSsse3(row0 + 8 * x + 16, row1 + 8 * x + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_or_si128(means, alphaBits));
  }
  return x;
}

// The SSSE3 step at twice the width: eight target pixels a step.
__attribute__((target("avx2"))) int averageBlocks2x2Avx2(const std::uint8_t* row0,
                                                         const std::uint8_t* row1,
                                                         std::uint8_t* out, int count,
                                                         std::uint32_t alpha) {
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                         4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i alphaBits = _mm256_set1_epi32(static_cast<int>(alpha));
  auto means = [&](const std::uint8_t* top, const std::uint8_t* bottom)
                   __attribute__((target("avx2"))) {
    const __m256i a = _mm256_maddubs_epi16(
        _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(top)), pairs),
        ones);
    const __m256i b = _mm256_maddubs_epi16(
        _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom)), pairs),
        ones);
    return _mm256_avg_epu16(_mm256_srli_epi16(_mm256_add_epi16(a, b), 1),
                            _mm256_setzero_si256());
  };
  int x = 0;
  for (; x + 8 <= count; x += 8) {
    // packus takes each half from both: pixels 0, 1, 4, 5 | 2, 3, 6, 7.
    const __m256i packed = _mm256_packus_epi16(means(row0 + 8 * x, row1 + 8 * x),
                                               means(row0 + 8 * x + 32, row1 + 8 * x + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x),
                        _mm256_or_si256(_mm256_permute4x64_epi64(packed, 0xd8), alphaBits));
  }
  return x;
}

int averageBlocks2x2Sse2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* out,
                         int count, std::uint32_t alpha) {
  // Even bytes (blue, red) and odd bytes (green, alpha) are summed in
  // separate 16-bit lanes: masks and shifts instead of unpacking keep the
  // shuffle port free, which is what bounds this loop.
  const __m128i low = _mm_set1_epi16(0x00ff);
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xff00));
  const __m128i two = _mm_set1_epi16(2);
  const __m128i alphaBits = _mm_set1_epi32(static_cast<int>(alpha));
  int x = 0;
  for (; x + 4 <= count; x += 4) {
    const std::uint8_t* a = row0 + 8 * x;
    const std::uint8_t* b = row1 + 8 * x;
    __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16));
    __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16));
    __m128 even0 = _mm_castsi128_ps(_mm_add_epi16(_mm_and_si128(a0, low), _mm_and_si128(b0, low)));
    __m128 even1 = _mm_castsi128_ps(_mm_add_epi16(_mm_and_si128(a1, low), _mm_and_si128(b1, low)));
    __m128 odd0 = _mm_castsi128_ps(_mm_add_epi16(_mm_srli_epi16(a0, 8), _mm_srli_epi16(b0, 8)));
    __m128 odd1 = _mm_castsi128_ps(_mm_add_epi16(_mm_srli_epi16(a1, 8), _mm_srli_epi16(b1, 8)));
    // Left and right pixel of each block sit in alternate 32-bit lanes.
    __m128i even = _mm_add_epi16(_mm_castps_si128(_mm_shuffle_ps(even0, even1, 0x88)),
                                 _mm_castps_si128(_mm_shuffle_ps(even0, even1, 0xdd)));
    __m128i odd = _mm_add_epi16(_mm_castps_si128(_mm_shuffle_ps(odd0, odd1, 0x88)),
                                _mm_castps_si128(_mm_shuffle_ps(odd0, odd1, 0xdd)));
    even = _mm_srli_epi16(_mm_add_epi16(even, two), 2);
    odd = _mm_and_si128(_mm_slli_epi16(_mm_add_epi16(odd, two), 6), high);
    __m128i result = _mm_or_si128(_mm_or_si128(even, odd), alphaBits);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), result);
  }
  return x;
}

// Eight pixels' bytes as sixteen 16-bit lanes, in order.
__attribute__((target("avx2"))) inline __m256i widen(const std::uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

__attribute__((target("avx2"))) int sumRowsAvx2(const std::uint8_t* first, long bytesPerRow,
                                                int rows, int width, std::uint16_t* sums) {
  // Zero-extending loads keep the pixels in order (a 256-bit unpack would
  // interleave the two lanes) and need no separate unpack.
  //
  // One cache line of each row per step. The rows are read side by side,
  // more streams than the hardware prefetcher follows well, so each row is
  // fetched 16 lines ahead (a prefetch past the end is harmless): 3840-wide
  // frames sum in 0.9 ms instead of 1.6.
  constexpr long kPrefetchAhead = 1024;
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    __m256i a = _mm256_setzero_si256();
    __m256i b = a, c = a, d = a;
    const std::uint8_t* p = first + 4 * x;
    for (int r = 0; r < rows; ++r, p += bytesPerRow) {
      _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
      a = _mm256_add_epi16(a, widen(p));
      b = _mm256_add_epi16(b, widen(p + 16));
      c = _mm256_add_epi16(c, widen(p + 32));
      d = _mm256_add_epi16(d, widen(p + 48));
    }
    __m256i* out = reinterpret_cast<__m256i*>(sums + 4 * x);
    _mm256_storeu_si256(out, a);
    _mm256_storeu_si256(out + 1, b);
    _mm256_storeu_si256(out + 2, c);
    _mm256_storeu_si256(out + 3, d);
  }
  return x;
}

int sumRowsSse2(const std::uint8_t* first, long bytesPerRow, int rows, int from, int width,
                std::uint16_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  int x = from;
  for (; x + 4 <= width; x += 4) {
    __m128i lo = zero;
    __m128i hi = zero;
    const std::uint8_t* p = first + 4 * x;
    for (int r = 0; r < rows; ++r, p += bytesPerRow) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
      hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 4 * x + 8), hi);
  }
  return x;
}

// One target row four pixels a step, `toMeans` turning two pixels' 16-bit
// block sums into their eight 16-bit means.
template <typename ToMeans>
int averageRunsWith(const std::uint16_t* sums, int n, std::uint8_t* out, int count,
                    std::uint32_t alpha, ToMeans toMeans) {
  const __m128i alphaBits = _mm_set1_epi32(static_cast<int>(alpha));
  auto runSums = [&](int first) {
    // Two neighbouring target pixels side by side in one register.
    const std::uint16_t* a = sums + 4 * first * n;
    const std::uint16_t* b = a + 4 * n;
    __m128i total = _mm_setzero_si128();
    for (int k = 0; k < n; ++k) {
      __m128i both = _mm_castpd_si128(
          _mm_loadh_pd(_mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + 4 * k))),
                       reinterpret_cast<const double*>(b + 4 * k)));
      total = _mm_add_epi16(total, both);
    }
    return total;
  };
  int x = 0;
  for (; x + 4 <= count; x += 4) {
    __m128i means = _mm_packus_epi16(toMeans(runSums(x)), toMeans(runSums(x + 2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_or_si128(means, alphaBits));
  }
  return x;
}

// Sums of the four runs of three pixels starting at p, p+1, p+2 and p+3.
__attribute__((target("avx2"))) inline __m256i runsOf3(const std::uint16_t* p) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8));
  return _mm256_add_epi16(_mm256_add_epi16(a, b), c);
}

// The sums of the four target pixels from p on, in the order x, x+2 | x+1,
// x+3: of the runs starting at p and p+6, lanes 0 and 3.
__attribute__((target("avx2"))) inline __m256i fourRunsOf3(const std::uint16_t* p) {
  const __m256i first = runsOf3(p), second = runsOf3(p + 24);
  return _mm256_blend_epi32(_mm256_unpacklo_epi64(first, second),
                            _mm256_unpackhi_epi64(first, second), 0xf0);
}

// Runs of three (1920 -> 640, the common 1080p fit), eight target pixels
// a step, with the SSE2 path's arithmetic.
__attribute__((target("avx2"))) int averageRunsOf3Avx2(const std::uint16_t* sums,
                                                       std::uint8_t* out, int count,
                                                       std::uint32_t alpha) {
  constexpr Reciprocal reciprocal = kReciprocals[3];
  static_assert(reciprocal.multiplier != 0);
  const __m256i half = _mm256_set1_epi16(9 / 2);
  const __m256i multiplier = _mm256_set1_epi16(static_cast<short>(reciprocal.multiplier));
  const __m128i shift = _mm_cvtsi32_si128(reciprocal.shift);
  const __m256i alphaBits = _mm256_set1_epi32(static_cast<int>(alpha));
  // packus interleaves the two halves' pixels; this puts them in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  int x = 0;
  for (; x + 8 <= count; x += 8) {
    const std::uint16_t* p = sums + 12 * x;
    const __m256i low = _mm256_srl_epi16(
        _mm256_mulhi_epu16(_mm256_add_epi16(fourRunsOf3(p), half), multiplier), shift);
    const __m256i high = _mm256_srl_epi16(
        _mm256_mulhi_epu16(_mm256_add_epi16(fourRunsOf3(p + 48), half), multiplier), shift);
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x),
                        _mm256_or_si256(packed, alphaBits));
  }
  return x;
}

int averageRunsSse2(const std::uint16_t* sums, int n, std::uint8_t* out, int count,
                    std::uint32_t alpha) {
  const int area = n * n;
  const Reciprocal reciprocal = n >= 1 && n <= 16 ? kReciprocals[n] : Reciprocal{};
  if (reciprocal.multiplier != 0) {
    const __m128i half = _mm_set1_epi16(static_cast<short>(area / 2));
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>(reciprocal.multiplier));
    const __m128i shift = _mm_cvtsi32_si128(reciprocal.shift);
    return averageRunsWith(sums, n, out, count, alpha, [&](__m128i total) {
      return _mm_srl_epi16(_mm_mulhi_epu16(_mm_add_epi16(total, half), multiplier), shift);
    });
  }
  // floor((sum + area/2 + 0.5) / area) in single precision is exact here:
  // its error is far below the 0.5/area margin to the next integer.
  const __m128 bias = _mm_set1_ps(static_cast<float>(area / 2) + 0.5f);
  const __m128 inverse = _mm_set1_ps(1.0f / static_cast<float>(area));
  const __m128i zero = _mm_setzero_si128();
  return averageRunsWith(sums, n, out, count, alpha, [&](__m128i total) {
    __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(total, zero));
    __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(total, zero));
    __m128i meanLo = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(lo, bias), inverse));
    __m128i meanHi = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(hi, bias), inverse));
    return _mm_packs_epi32(meanLo, meanHi);
  });
}
#endif

}  // namespace

void averageBlocks2x2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* out,
                      int count, std::uint32_t alpha) {
  int x = 0;
#if FENWRIGHT_X86_SIMD
  const ScalerPath path = scalerPath();
  if (path >= ScalerPath::avx2) x = averageBlocks2x2Avx2(row0, row1, out, count, alpha);
  if (path >= ScalerPath::ssse3)
    x += averageBlocks2x2Ssse3(row0 + 8 * x, row1 + 8 * x, out + 4 * x, count - x, alpha);
  else if (path == ScalerPath::sse2)
    x = averageBlocks2x2Sse2(row0, row1, out, count, alpha);
#endif
  for (; x < count; ++x) {
    const std::uint8_t* a = row0 + 8 * x;
    const std::uint8_t* b = row1 + 8 * x;
    unsigned channels[4];
    for (int c = 0; c < 4; ++c) channels[c] = (a[c] + a[c + 4] + b[c] + b[c + 4] + 2u) >> 2;
    std::uint32_t pixel = packPixel(channels) | alpha;
    std::memcpy(out + 4 * x, &pixel, 4);
  }
}

void sumRows(const std::uint8_t* first, long bytesPerRow, int rows, int width,
             std::uint16_t* sums) {
  int x = 0;
#if FENWRIGHT_X86_SIMD
  const ScalerPath path = scalerPath();
  if (path >= ScalerPath::avx2) x = sumRowsAvx2(first, bytesPerRow, rows, width, sums);
  if (path >= ScalerPath::sse2) x = sumRowsSse2(first, bytesPerRow, rows, x, width, sums);
#endif
  for (; x < width; ++x) {
    const std::uint8_t* p = first + 4 * x;
    unsigned total[4] = {0, 0, 0, 0};
    for (int r = 0; r < rows; ++r, p += bytesPerRow)
      for (int c = 0; c < 4; ++c) total[c] += p[c];
    for (int c = 0; c < 4; ++c) sums[4 * x + c] = static_cast<std::uint16_t>(total[c]);
  }
}

void averageRuns(const std::uint16_t* sums, int n, std::uint8_t* out, int count,
                 std::uint32_t alpha) {
  int x = 0;
#if FENWRIGHT_X86_SIMD
  const ScalerPath path = scalerPath();
  if (path >= ScalerPath::avx2 && n == 3) x = averageRunsOf3Avx2(sums, out, count, alpha);
  if (path >= ScalerPath::sse2)
    x += averageRunsSse2(sums + 4 * n * x, n, out + 4 * x, count - x, alpha);
#endif
  const unsigned area = static_cast<unsigned>(n * n);
  for (; x < count; ++x) {
    unsigned channels[4] = {0, 0, 0, 0};
    for (int k = 0; k < n; ++k)
      for (int c = 0; c < 4; ++c) channels[c] += sums[4 * (x * n + k) + c];
    for (unsigned& c : channels) c = (c + area / 2) / area;
    std::uint32_t pixel = packPixel(channels) | alpha;
    std::memcpy(out + 4 * x, &pixel, 4);
  }
}

}  // namespace fenwright
