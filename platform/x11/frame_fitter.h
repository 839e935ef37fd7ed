#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/capture/frame_geometry.h"
#include "scale/image_view.h"
#include "scale/area_scaler.h"

namespace fenwright::x11 {

// Where a captured picture lies in what the frame is to show: a canvas of
// width x height with the picture's top-left corner at (x, y), black where
// the picture does not reach (a region partly off its display).
struct FrameCanvas {
  int width = 0, height = 0, x = 0, y = 0;
};

// Turns a captured picture into a frame no larger than the configured size.
// What fits is delivered at its own size, so that it is scaled only once,
// into the surface: a picture that is its whole canvas is passed through
// untouched (no copy), a canvas that it covers only partly is copied into
// a frame of the canvas's size. A larger canvas is shrunk into a frame of
// the configured size (aspect kept, area average), centred. Uncovered
// pixels are transparent black. The frame buffer is allocated once and
// reused, so a stream of frames allocates nothing. Copyable only by moving.
//
// fitBands() does not shrink a larger picture it can read whole: it hands
// it on untouched with the geometry of the frame it stands for, and the
// frame's consumer scales it once, straight to its final size. Only
// pictures beyond `largestWholePicture` pixels (4K by default: the largest
// common monitor, and one shared-memory segment of 33 MB, no more than the
// server's own copy of the window) are shrunk here, in bands, so that
// memory stays bounded whatever the window's size.
class FrameFitter {
 public:
  static constexpr long kLargestWholePicture = 3840L * 2160;

  // A frame, or a picture with the frame it stands for.
  struct Frame {
    ImageView image;
    std::optional<FrameGeometry> geometry;
  };

  FrameFitter() = default;
  FrameFitter(int frameWidth, int frameHeight, long largestWholePicture = kLargestWholePicture);
  FrameFitter(const FrameFitter&) = delete;
  FrameFitter& operator=(const FrameFitter&) = delete;
  FrameFitter(FrameFitter&&) = default;
  FrameFitter& operator=(FrameFitter&&) = default;

  int frameWidth() const { return width_; }
  int frameHeight() const { return height_; }

  // The view is valid until the next call, and `picture` must stay valid as
  // long as the view when it is returned itself.
  ImageView fit(const ImageView& picture) {
    return fit(picture, {picture.width, picture.height, 0, 0});
  }
  ImageView fit(const ImageView& picture, const FrameCanvas& canvas);

  // The same fit for a picture of pictureWidth x pictureHeight that is read
  // as it is needed: `readRows(top, rows)` returns those rows of it (full
  // width, any stride) or an empty view when they cannot be read, which
  // makes the whole fit empty. A picture that is shrunk here is read in
  // bands of about one frame's bytes, so memory does not grow with it; any
  // other is read whole: as fit() takes it when it fits, or handed on with
  // its geometry when it is larger.
  template <typename ReadRows>
  std::optional<Frame> fitBands(int pictureWidth, int pictureHeight, const FrameCanvas& canvas,
                                ReadRows&& readRows) {
    const bool empty = pictureWidth <= 0 || pictureHeight <= 0;
    if (empty || fits(canvas) ||
        static_cast<long>(pictureWidth) * pictureHeight <= largestWholePicture_) {
      const ImageView picture = empty ? ImageView{} : readRows(0, pictureHeight);
      if (!empty && !complete(picture, pictureWidth, pictureHeight)) return std::nullopt;
      if (!empty && !fits(canvas)) return Frame{picture, geometryOf(picture, canvas)};
      return Frame{fit(picture, canvas), std::nullopt};
    }
    beginShrinking(pictureWidth, pictureHeight, canvas);
    const int maxRows = bandRows(pictureWidth);
    for (auto band = scaler_.nextBand(maxRows); band.rows > 0; band = scaler_.nextBand(maxRows)) {
      const ImageView rows = readRows(band.top, band.rows);
      if (!complete(rows, pictureWidth, band.rows) || !scaler_.drawBand(rows, band.top))
        return std::nullopt;
    }
    return Frame{shrunkFrame(), std::nullopt};
  }

 private:
  struct Placement {
    int width = -1, height = -1, x = 0, y = 0, pictureWidth = 0, pictureHeight = 0;
    bool operator==(const Placement&) const = default;
  };

  struct Shrink {
    double scale, left, top;
  };

  bool fits(const FrameCanvas& canvas) const {
    return canvas.width <= width_ && canvas.height <= height_;
  }
  static bool complete(const ImageView& rows, int width, int height) {
    return rows.data != nullptr && rows.width == width && rows.height >= height;
  }
  Shrink shrinkOf(const FrameCanvas& canvas) const;
  FrameGeometry geometryOf(const ImageView& picture, const FrameCanvas& canvas) const;
  std::uint8_t* frameMemory();
  void beginShrinking(int pictureWidth, int pictureHeight, const FrameCanvas& canvas);
  int bandRows(int pictureWidth) const;
  ImageView shrunkFrame() const { return {width_, height_, width_ * 4, frame_.data()}; }

  int width_ = 0;
  int height_ = 0;
  long largestWholePicture_ = kLargestWholePicture;
  AreaScaler scaler_;
  std::vector<std::uint8_t> frame_;
  Placement lastCopy_;
};

}  // namespace fenwright::x11
