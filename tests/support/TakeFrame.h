#pragma once
// Takes one frame from a streaming camera and hands it back at once.

#include "VelmoraTOFCamera.h"

namespace VelmoraTest {

// Timestamp of a frame taken from the camera and released; 0 when none came in time.
inline uint64_t takeFrame(Velmora::VelmoraTOFCamera& camera, Velmora::FrameType type, short timeoutMs = 5000) {
    Velmora::VelmoraFrameBuffer* frame = camera.requestFrame(timeoutMs);
    if (!frame) return 0;
    Velmora::FrameDataFormat format{};
    frame->getFormat(type, &format);
    camera.releaseFrame(frame);
    return format.timestamp;
}

}  // namespace VelmoraTest
