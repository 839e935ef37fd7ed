#include "scale/pixel_rows.h"

#include <cstring>

#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#if FENWRIGHT_X86_SIMD
#include <emmintrin.h>
#endif

namespace fenwright {
namespace {

// The path is looked up once a target, not once a row.
void fillRow(std::uint8_t* out, int count, std::uint32_t pixel, [[maybe_unused]] bool vector) {
  int i = 0;
#if FENWRIGHT_X86_SIMD
  if (vector) {
    const __m128i four = _mm_set1_epi32(static_cast<int>(pixel));
    for (; i + 4 <= count; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), four);
  }
#endif
  for (; i < count; ++i) std::memcpy(out + 4 * i, &pixel, 4);
}

}  // namespace

void fillPixels(std::uint8_t* out, int count, std::uint32_t pixel) {
  fillRow(out, count, pixel, scalerPath() >= ScalerPath::sse2);
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
  const bool vector = scalerPath() >= ScalerPath::sse2;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = target + y * bytesPerRow;
    if (y < top || y >= bottom) {
      fillRow(row, width, pixel, vector);
    } else {
      fillRow(row, left, pixel, vector);
      fillRow(row + 4 * right, width - right, pixel, vector);
    }
  }
}

}  // namespace fenwright
