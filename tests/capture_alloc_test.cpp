// Counts heap allocations while frames are delivered: there must be none.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// The replacement pair below allocates with malloc and frees with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "ScriptedParts.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace Velmora {
namespace {

TEST(CaptureAllocations, DeliveringFramesAllocatesNothing) {
    auto log = std::make_shared<CallLog>();
    VelmoraTOFCamera camera;
    auto sensor = std::make_unique<ScriptedSensor>(log);
    sensor->frameCount = 4;
    ASSERT_EQ(CameraTestAccess::openWith(camera, std::move(sensor), std::make_unique<ScriptedDevice>(log)),
              VelmoraSuccess);
    // The frame-rate adjustment every 3 s goes through the scripted parts,
    // which log each call in a string: off, so a slow machine (aarch64 under
    // emulation) counts only what delivering frames does.
    ASSERT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), VelmoraSuccess);
    for (FrameType type : {FrameType::DEPTH, FrameType::RAW}) {
        ASSERT_EQ(camera.start(type), VelmoraSuccess);
        VelmoraFrameBuffer* first = camera.requestFrame(2000);
        ASSERT_NE(first, nullptr);
        camera.releaseFrame(first);

        allocations = 0;
        counting = true;
        int frames = 0;
        for (int i = 0; i < 300; ++i) {
            VelmoraFrameBuffer* frame = camera.requestFrame(2000);
            if (!frame) break;
            ++frames;
            camera.releaseFrame(frame);
        }
        counting = false;
        EXPECT_EQ(frames, 300);
        EXPECT_EQ(allocations.load(), 0);
        ASSERT_EQ(camera.stop(), VelmoraSuccess);
    }
}

}  // namespace
}  // namespace Velmora
