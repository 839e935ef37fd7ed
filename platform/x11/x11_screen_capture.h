#pragma once

#include <memory>
#include <string>

#include "platform/capture/screen_capture.h"

namespace fenwright {

// The X11 capture backend. It connects at first use, to $DISPLAY, and does
// all its X work on one thread of its own; completions and the delegate are
// called there, samples on the queue the output was registered with, one at
// a time.
//
// Streams deliver a sample only when the picture changed (X Damage) or the
// present one is asked for, at most once per minimum frame interval, always
// with the complete status: content that does not change yields no samples
// at all, rather than idle ones. A window that is unmapped (minimised)
// yields none until it is mapped again. Frames are the picture at its own
// size when that fits the configured size, else shrunk into it.
//
// Without a server, queries complete with an error, mainDisplayID() is 0 and
// streams fail to start with an error; the next use tries again.
std::shared_ptr<ScreenCapture> makeX11ScreenCapture();

// The same, for the server at `displayName` (":1") instead of $DISPLAY.
std::shared_ptr<ScreenCapture> makeX11ScreenCapture(std::string displayName);

}  // namespace fenwright
