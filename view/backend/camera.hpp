// Camera faces over V4L2: the capture devices (/dev/video*, by their card
// names) listed in the face's `data`, the device `selected` names streamed
// (YUYV or MJPEG, memory-mapped buffers) on a capture thread of its own,
// its live picture painted in the face, letterboxed to the video's aspect.
//
// Single frames go to scripts through a handshake on one state word: 0
// idle, 1 a frame is wanted, 3 the capture thread is copying one, 2 one is
// ready. Only 1 -> 3 (capture thread) and 1 -> 0 (GUI thread giving up) are
// compare-and-swaps; the capture thread alone makes 3 -> 2, the GUI thread
// alone 0 -> 1 and 2 -> 0. The frame buffer is written only in state 3 and
// read only in state 2. Ready frames reach the GUI thread through GLib's
// main context; one that arrives after its camera went finds nothing.
#pragma once

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::camera {

// The device list into `data`, then the `selected` device opened (none:
// no device). A device that cannot be opened prints why, once.
void open(window::Record& w);
// `selected` changed: the device switched.
void switch_device(window::Record& w);
// `image` changed: when it is none, the next frame becomes the face's image.
void want_frame(window::Record& w);
// The live picture fitted to a new size.
void resized(window::Record& w);
// Stops capturing and frees the device.
void release(window::Record& w);
// Pushes the next frame as an image!, or none when no frame comes within
// 3 seconds (or no device is open).
Cell* grab_frame(window::Record& w);

}  // namespace qel::view::backend::camera
