#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {
namespace {

// Only a status that says, as an integer, something other than complete
// drops a frame; a missing or odd-shaped attachment lets it through.
bool statusSaysIncomplete(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return false;
  const FrameInfoDictionary& first = sample.attachments->front();
  auto entry = first.find(kFrameInfoStatusKey);
  if (entry == first.end()) return false;
  const auto* status = std::get_if<std::int64_t>(&entry->second);
  return status != nullptr && *status != static_cast<std::int64_t>(FrameStatus::complete);
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
  frameBuffer->writeFrame(*sample.imageBuffer);
}

void FenwrightService::streamDidStopWithError(CaptureStream& stream, const CaptureError& error) {
  streamEndedByItself_.store(&stream, std::memory_order_release);
  log::helperLogger().error("SCStream stopped with error: {}", error.localizedDescription);
}

}  // namespace fenwright
