#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {
namespace {

// Only a status that says something other than complete, known or not,
// drops a frame; a sample that says none lets it through.
bool statusSaysIncomplete(const SampleBuffer& sample) {
  return sample.status && *sample.status != FrameStatus::complete;
}

}  // namespace

// On `sampleQueue`, one sample at a time; nothing here logs or copies.
void FenwrightService::streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                                   StreamOutputType type) {
  if (type != StreamOutputType::screen) return;
  if (!sample.isValid) return;
  if (!sample.imageBuffer) return;
  if (statusSaysIncomplete(sample)) return;
  if (paused.load(std::memory_order_relaxed)) return;
  frameBuffer->writeFrame(*sample.imageBuffer, sample.geometry, sample.arriving);
}

void FenwrightService::streamDidStopWithError(CaptureStream& stream, const CaptureError& error) {
  streamEndedByItself_.store(&stream, std::memory_order_release);
  log::helperLogger().error("SCStream stopped with error: {}", error.localizedDescription);
}

}  // namespace fenwright
