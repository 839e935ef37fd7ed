#include "scale/pixel_rows.h"

#include <cstring>

#include "scale/scaler_path.h"

#if FENWRIGHT_X86_SIMD
#include <emmintrin.h>
#endif

namespace fenwright {

void fillPixels(std::uint8_t* out, int count, std::uint32_t pixel) {
  int i = 0;
#if FENWRIGHT_X86_SIMD
  if (scalerPath() >= ScalerPath::sse2) {
    const __m128i four = _mm_set1_epi32(static_cast<int>(pixel));
    for (; i + 4 <= count; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), four);
  }
#endif
  for (; i < count; ++i) std::memcpy(out + 4 * i, &pixel, 4);
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
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = target + y * bytesPerRow;
    if (y < top || y >= bottom) {
      fillPixels(row, width, pixel);
    } else {
      fillPixels(row, left, pixel);
      fillPixels(row + 4 * right, width - right, pixel);
    }
  }
}

}  // namespace fenwright
