// Streams depth frames from an installed VelmoraDepthCamera and prints, per
// frame, its timestamp and the mean distance of the valid pixels.
//
//   depth_consumer [config-file] [frames]
//
// Without a configuration file it opens USB camera 0 (the virtual camera when
// no vendor evaluation-kit library is installed). Exits 0 when every frame
// arrived with at least one valid pixel.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "VelmoraTOFCamera.h"

using namespace Velmora;

int main(int argc, char** argv) {
    const char* config = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
    const int frames = argc > 2 ? std::atoi(argv[2]) : 5;
    if (frames < 1) {
        std::fprintf(stderr, "usage: %s [config-file] [frames >= 1]\n", argv[0]);
        return 2;
    }

    VelmoraTOFCamera camera;
    TofErrorCode rc = config ? camera.openWithFile(config, 0) : camera.open(Connection::USB, 0);
    if (rc != VelmoraSuccess) {
        std::fprintf(stderr, "open failed: %s\n", to_str(rc));
        return 1;
    }
    rc = camera.start(FrameType::DEPTH);
    if (rc != VelmoraSuccess) {
        std::fprintf(stderr, "start failed: %s\n", to_str(rc));
        camera.close();
        return 1;
    }

    int good = 0;
    for (int n = 0; n < frames; ++n) {
        VelmoraFrameBuffer* frame = camera.requestFrame(2000);
        if (!frame) {
            std::fprintf(stderr, "no frame within 2 s\n");
            break;
        }
        FrameDataFormat format{};
        frame->getFormat(FrameType::DEPTH, &format);
        const float* depth = reinterpret_cast<const float*>(frame->getData(FrameType::DEPTH));
        double sum = 0;
        long valid = 0;
        for (uint32_t i = 0; i < format.width * format.height; ++i) {
            if (std::isfinite(depth[i]) && depth[i] > 0) {
                sum += depth[i];
                ++valid;
            }
        }
        std::printf("frame %d: %ux%u, timestamp %llu, %ld valid pixels, mean %.1f mm\n", n, format.width,
                    format.height, static_cast<unsigned long long>(format.timestamp), valid,
                    valid ? sum / static_cast<double>(valid) : 0.0);
        camera.releaseFrame(frame);
        if (valid > 0) ++good;
    }
    camera.stop();
    camera.close();
    return good == frames ? 0 : 1;
}
