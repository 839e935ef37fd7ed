#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

constexpr std::array<std::uint8_t, 4> kBlue{255, 0, 0, 255}, kRed{0, 0, 255, 255};

class SampleIntake : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture->setContent(sampleContent());
    h.streaming(windowConfig(42), "SCStream started — window id=42 title=Notes");
    stream = h.capture->lastStream();
    showBlue();
  }
  void showBlue() {
    ASSERT_TRUE(stream->deliver(completeFrame(blue)));
    ASSERT_EQ(centre(*h.service), kBlue);
  }
  ServiceHarness h;
  std::shared_ptr<FakeCaptureStream> stream;
  std::vector<std::uint8_t> blue = solidFrame(255, 0, 0), red = solidFrame(0, 0, 255);
};

// Only a valid screen sample with an image, whose status (if it says one as
// an integer) is complete, is written; odd or missing attachments pass.
TEST_F(SampleIntake, OnlyValidCompleteScreenFramesWithAnImageAreWritten) {
  using Attachments = std::vector<FrameInfoDictionary>;
  struct Case {
    SampleBuffer sample;
    StreamOutputType type;
    bool written;
  };
  std::vector<Case> cases;
  for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                      FrameStatus::started, FrameStatus::stopped})
    cases.push_back({SampleBuffer::frame(completeFrame(red).imageBuffer.value(), status),
                     StreamOutputType::screen, false});
  cases.push_back({completeFrame(red), StreamOutputType::audio, false});
  cases.push_back({completeFrame(red), StreamOutputType::screen, false});
  cases.back().sample.isValid = false;
  cases.push_back({completeFrame(red), StreamOutputType::screen, false});
  cases.back().sample.imageBuffer.reset();
  for (const std::optional<Attachments>& attachments :
       {std::optional<Attachments>(), std::optional(Attachments{}),
        std::optional(Attachments{{{"SCStreamFrameInfoDisplayTime", 5}}}),
        std::optional(Attachments{{{kFrameInfoStatusKey, std::string("idle")}}})}) {
    cases.push_back({completeFrame(red), StreamOutputType::screen, true});
    cases.back().sample.attachments = attachments;
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    stream->deliver(cases[i].sample, cases[i].type);
    EXPECT_EQ(centre(*h.service), cases[i].written ? kRed : kBlue) << i;
    showBlue();
  }
}

TEST_F(SampleIntake, FramesWhilePausedAreNotWrittenAndFlowAgainAfter) {
  Access::setPaused(*h.service, true);
  stream->deliver(completeFrame(red));
  EXPECT_EQ(centre(*h.service), kBlue);
  Access::setPaused(*h.service, false);
  stream->deliver(completeFrame(red));
  EXPECT_EQ(centre(*h.service), kRed);
}

TEST_F(SampleIntake, StreamStoppingByItselfOnlyLogs) {
  stream->stopByItself(CaptureError{"window 42 was destroyed"});
  EXPECT_TRUE(h.log.containsError("SCStream stopped with error: window 42 was destroyed"));
  EXPECT_EQ(Access::stream(*h.service), stream);
  EXPECT_EQ(Access::testPatternTimer(*h.service), nullptr);
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(centre(*h.service), kBlue);
}

}  // namespace
}  // namespace fenwright
