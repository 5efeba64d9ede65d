// Streams depth from the first USB camera (the simulated module when no
// vendor library is linked) and prints the frame rate and the centre distance
// once a second.
//
//   stream_depth [seconds]      default 5

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "VelmoraTOFCamera.h"

using namespace Velmora;

int main(int argc, char** argv) {
    int seconds = 5;
    if (argc > 1) {
        char* end = nullptr;
        const long v = std::strtol(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || v < 1 || v > 3600) {
            std::fprintf(stderr, "usage: %s [seconds 1..3600]\n", argv[0]);
            return 2;
        }
        seconds = static_cast<int>(v);
    }

    VelmoraTOFCamera camera;
    TofErrorCode rc = camera.open(Connection::USB, 0);
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
    // The depth image's size; getCameraInfo gives the sensor's raw frame.
    int width = 0;
    int height = 0;
    camera.getControl(CameraCtrl::FMT_WIDTH, &width);
    camera.getControl(CameraCtrl::FMT_HEIGHT, &height);
    std::printf("streaming %dx%d depth, %u-bit samples\n", width, height, camera.getCameraInfo().bit_width);

    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    auto reportDue = begin + std::chrono::seconds(1);
    int framesSinceReport = 0;
    int reports = 0;
    float centre = 0;
    while (reports < seconds) {
        VelmoraFrameBuffer* frame = camera.requestFrame(200);
        if (frame) {
            FrameDataFormat format{};
            const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            if (depth && frame->getFormat(FrameType::DEPTH, &format) == 0)
                centre = depth[(format.height / 2) * format.width + format.width / 2];
            camera.releaseFrame(frame);
            ++framesSinceReport;
        }
        const auto now = clock::now();
        if (now >= reportDue) {
            const double span = std::chrono::duration<double>(now - (reportDue - std::chrono::seconds(1))).count();
            std::printf("%2d s: %5.1f fps, centre %7.1f mm\n", reports + 1, framesSinceReport / span, centre);
            std::fflush(stdout);
            framesSinceReport = 0;
            reportDue += std::chrono::seconds(1);
            ++reports;
        }
    }

    camera.stop();
    camera.close();
    return 0;
}
