#pragma once

#include <cstdint>
#include <optional>

#include "platform/pixel_format.h"

namespace fenwright {

struct FrameInterval {
  std::int64_t value = 0;      // a frame at most every value/timescale s
  std::int32_t timescale = 0;  // 0: no limit
};

struct SourceRect {
  double x = 0, y = 0, width = 0, height = 0;
};

// How a stream delivers frames. Unset properties keep these defaults.
class StreamConfiguration {
 public:
  void setWidth(std::int64_t width) { width_ = width; }
  void setHeight(std::int64_t height) { height_ = height; }
  void setMinimumFrameInterval(FrameInterval interval) { minimumFrameInterval_ = interval; }
  void setPixelFormat(std::uint32_t format) { pixelFormat_ = format; }
  void setShowsCursor(bool shows) { showsCursor_ = shows; }
  void setSourceRect(SourceRect rect) { sourceRect_ = rect; }

  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  FrameInterval minimumFrameInterval() const { return minimumFrameInterval_; }
  std::uint32_t pixelFormat() const { return pixelFormat_; }
  bool showsCursor() const { return showsCursor_; }
  const std::optional<SourceRect>& sourceRect() const { return sourceRect_; }

 private:
  std::int64_t width_ = 1920;
  std::int64_t height_ = 1080;
  FrameInterval minimumFrameInterval_{};
  std::uint32_t pixelFormat_ = kPixelFormatBGRA;
  bool showsCursor_ = true;
  std::optional<SourceRect> sourceRect_;
};

}  // namespace fenwright
