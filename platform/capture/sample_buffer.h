#pragma once

#include <cstdint>
#include <optional>

#include "platform/capture/arriving_rows.h"
#include "platform/capture/frame_geometry.h"
#include "scale/image_view.h"

namespace fenwright {

enum class StreamOutputType : int { screen = 0, audio = 1 };

// Frame status values of the "SCStreamFrameInfoStatus" attachment.
enum class FrameStatus : std::int64_t {
  complete = 0,
  idle = 1,
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5,
};

// One delivered sample. The image view is valid only until the output
// callback returns; who owns the pixels is the backend's business.
struct SampleBuffer {
  bool isValid = true;
  std::optional<ImageView> imageBuffer;
  // The frame's status as an integer, any value; absent when the sample
  // says none (no attachments, no status among them, or not an integer).
  std::optional<FrameStatus> status;
  // Absent: the image is the frame.
  std::optional<FrameGeometry> geometry;
  // The picture has no alpha channel: every pixel is opaque, whatever its
  // fourth byte holds (a window of depth 24, as the server keeps it).
  bool opaque = false;
  // Set only for an output that takes them: the picture's rows are still
  // arriving, and are awaited through this before they are read.
  ArrivingRows* arriving = nullptr;

  static SampleBuffer frame(const ImageView& image, FrameStatus status) {
    return SampleBuffer{true, image, status, std::nullopt};
  }
};

}  // namespace fenwright
