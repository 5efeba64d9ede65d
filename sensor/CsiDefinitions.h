#pragma once
// Kernel-facing constants of the CSI camera module that the system headers
// may not carry.

#include <cstdint>

namespace Velmora {
namespace csi {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(c) << 16 |
           static_cast<uint32_t>(d) << 24;
}

// Packed 12-bit greyscale (two samples in three bytes), older headers lack it.
constexpr uint32_t kPixelFormatY12P = fourcc('Y', '1', '2', 'P');
constexpr uint32_t kPixelFormatY12 = fourcc('Y', '1', '2', ' ');
constexpr uint32_t kMediaBusY12 = 0x2013;
// The module's private range control: 1 selects the near range, 0 the far one.
constexpr uint32_t kRangeControl = 0x981901;
constexpr uint32_t kExposureControl = 0x980911;
// The receiver's packed ("compact") output of RAW lines, where it has the switch: 1 while on.
constexpr uint32_t kCompactControl = 0x981902;
// Failed dequeues (EIO) in a row after which the queue is taken as dead and streaming restarted.
constexpr int kDeadQueueFailures = 3;
// Gaps between sub-frame buffers above this mean a frame was broken up.
constexpr int64_t kMaxSubFrameGapUs = 5000;
// Longest wait for a filled buffer before readFrame gives up on this pass
// (the capture thread then looks at its stop flag and reads again).
constexpr int kDequeueWaitMs = 200;
// Largest width or height accepted for the capture size (the VGA sensor's
// double-frequency raw frame is 4810 lines high).
constexpr uint32_t kMaxDimension = 8192;

}  // namespace csi
}  // namespace Velmora
