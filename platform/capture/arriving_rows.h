#pragma once

namespace fenwright {

// A sample's picture whose rows the backend is still bringing, top down,
// into memory that is already in place: its reader draws each band as it
// comes instead of waiting for the whole picture. Used by one thread at a
// time, while the sample is out.
class ArrivingRows {
 public:
  // Waits for the next band: how many rows from the top are in place now.
  // The picture's height once every row is, or once the rest never will
  // be: those rows hold what the memory held before.
  virtual int awaitMoreRows() = 0;

  void awaitAll(int height) {
    while (awaitMoreRows() < height) {
    }
  }

 protected:
  ~ArrivingRows() = default;
};

}  // namespace fenwright
