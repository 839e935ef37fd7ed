#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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

inline constexpr const char* kFrameInfoStatusKey = "SCStreamFrameInfoStatus";

using AttachmentValue = std::variant<std::int64_t, double, std::string>;
using FrameInfoDictionary = std::map<std::string, AttachmentValue>;

// One delivered sample. The image view is valid only until the output
// callback returns; who owns the pixels is the backend's business.
struct SampleBuffer {
  bool isValid = true;
  std::optional<ImageView> imageBuffer;
  // The sample attachments array, absent when the sample has none.
  std::optional<std::vector<FrameInfoDictionary>> attachments;

  static SampleBuffer frame(const ImageView& image, FrameStatus status) {
    SampleBuffer sample;
    sample.imageBuffer = image;
    sample.attachments = std::vector<FrameInfoDictionary>{
        {{kFrameInfoStatusKey, static_cast<std::int64_t>(status)}}};
    return sample;
  }
};

}  // namespace fenwright
