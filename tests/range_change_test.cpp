// RANGE toggled while a free-running camera streams a constant 1500 mm (inside
// both ranges), over USB and CSI: no delivered frame may mix two frequencies
// or be computed for the other one.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BoardSession.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;
using Clock = std::chrono::steady_clock;

TEST(RangeChangeWhileStreaming, EveryDeliveredFrameIsComputedForItsOwnFrequency) {
    for (const bool csi : {false, true}) {
        SCOPED_TRACE(csi ? "CSI" : "USB");
        const std::string config = ::testing::TempDir() + "range_change_" + std::to_string(::getpid()) + ".cfg";
        std::ofstream(config) << "scene=constant\ndistance_mm=1500\nfps=0\n";
        VelmoraTest::BoardOptions options = VelmoraTest::boardPreset(5);
        options.scene.kind = "constant";
        options.scene.distanceMm = 1500;
        options.dequeueDelayUs = 200;
        auto board = csi ? std::make_unique<VelmoraTest::BoardSession>(options) : nullptr;
        VelmoraTOFCamera camera;
        ASSERT_EQ(csi ? camera.open(Connection::CSI, 0) : camera.openWithFile(config.c_str(), 0), VelmoraSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);

        // Changes three frames apart (frames take far longer under a sanitizer).
        const auto began = Clock::now();
        for (int i = 0; i < 10; ++i) ASSERT_EQ(camera.releaseFrame(camera.requestFrame(2000)), VelmoraSuccess);
        const auto period = std::max<Clock::duration>(std::chrono::milliseconds(15), 3 * (Clock::now() - began) / 10);
        std::atomic<int> toggles{0};
        std::thread toggler([&] {
            for (; toggles < 40; ++toggles) {
                EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, toggles % 2 ? 4000 : 2000), VelmoraSuccess);
                std::this_thread::sleep_for(period);
            }
        });
        int delivered = 0;
        std::vector<float> wrong;
        while (toggles < 40) {
            VelmoraFrameBuffer* frame = camera.requestFrame(100);
            if (!frame) continue;
            const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            std::vector<float> v(depth, depth + 240 * 180);
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            camera.releaseFrame(frame);
            ++delivered;
            if (std::fabs(v[v.size() / 2] - 1500) > 10) wrong.push_back(v[v.size() / 2]);
        }
        toggler.join();
        EXPECT_EQ(camera.close(), VelmoraSuccess);
        std::remove(config.c_str());
        EXPECT_GE(delivered, 10) << "the stream goes on between changes";
        EXPECT_EQ(wrong, std::vector<float>()) << "of " << delivered << " frames";
    }
}
