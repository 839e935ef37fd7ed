#include "scale/pixel_rows.h"

#include <cstring>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <immintrin.h>
#endif

namespace fenwright {
namespace {

#if FENWRIGHT_X86_SIMD
__attribute__((target("avx2"))) int fillRowAvx2(std::uint8_t* out, int count,
                                                std::uint32_t pixel) {
  const __m256i eight = _mm256_set1_epi32(static_cast<int>(pixel));
  int i = 0;
  for (; i + 8 <= count; i += 8)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), eight);
  return i;
}
#endif

// The path is looked up once a target, not once a row.
void fillRow(std::uint8_t* out, int count, std::uint32_t pixel, [[maybe_unused]] ScalerPath path) {
  int i = 0;
#if FENWRIGHT_X86_SIMD
  if (path >= ScalerPath::avx2) i = fillRowAvx2(out, count, pixel);
  if (path >= ScalerPath::sse2) {
    const __m128i four = _mm_set1_epi32(static_cast<int>(pixel));
    for (; i + 4 <= count; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), four);
  }
#endif
  for (; i < count; ++i) std::memcpy(out + 4 * i, &pixel, 4);
}

}  // namespace

void fillPixels(std::uint8_t* out, int count, std::uint32_t pixel) {
  fillRow(out, count, pixel, scalerPath());
}

void copyPixels(const std::uint8_t* in, std::uint8_t* out, int count, std::uint32_t alpha) {
  if (alpha == 0) {
    std::memcpy(out, in, static_cast<std::size_t>(count) * 4);
    return;
  }
  int i = 0;
#if FENWRIGHT_X86_SIMD
  if (scalerPath() >= ScalerPath::sse2) {
    const __m128i alphaBits = _mm_set1_epi32(static_cast<int>(alpha));
    for (; i + 4 <= count; i += 4) {
      __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_or_si128(four, alphaBits));
    }
  }
#endif
  for (; i < count; ++i) {
    std::uint32_t pixel;
    std::memcpy(&pixel, in + 4 * i, 4);
    pixel |= alpha;
    std::memcpy(out + 4 * i, &pixel, 4);
  }
}

void fillOutside(std::uint8_t* target, int width, int height, long bytesPerRow, int left,
                 int top, int right, int bottom, std::uint32_t pixel) {
  if (left >= right || top >= bottom) top = bottom = height;
  const ScalerPath path = scalerPath();
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = target + y * bytesPerRow;
    if (y < top || y >= bottom) {
      fillRow(row, width, pixel, path);
    } else {
      fillRow(row, left, pixel, path);
      fillRow(row + 4 * right, width - right, pixel, path);
    }
  }
}

}  // namespace fenwright
