// The camera's lens and depth filters: what callers set, and what the capture
// thread does with it for every depth frame.

#include <algorithm>
#include <cstdio>

#include "DepthFilters.h"
#include "VelmoraDevice.h"
#include "VelmoraTOFCamera.h"

namespace Velmora {

namespace {
DepthData* depthFrame(VelmoraFrameBuffer* frame) { return dynamic_cast<DepthData*>(frame); }
}  // namespace

Intrinsics VelmoraTOFCamera::getIntrinsics() const {
    FrameGeometry raw{}, depth = depthGeometry;
    if (device && (depth.width <= 0 || depth.height <= 0)) device->getFrameFormats(raw, depth);
    const uint32_t width = static_cast<uint32_t>(std::max(depth.width, 0));
    const uint32_t height = static_cast<uint32_t>(std::max(depth.height, 0));
    std::lock_guard<std::mutex> lock(lensGuard);
    if (calibration && calibration->width == width && calibration->height == height) return *calibration;
    return nominalIntrinsics(width, height);
}

TofErrorCode VelmoraTOFCamera::loadCalibration(const char* path, std::string* reason) {
    Intrinsics loaded;
    const std::string refused = path ? loadCalibrationFile(path, loaded) : "no file given";
    if (!refused.empty()) {
        if (reason) *reason = refused;
        return VelmoraInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(lensGuard);
    calibration = std::make_unique<Intrinsics>(loaded);
    return VelmoraSuccess;
}

std::shared_ptr<const RayTable> VelmoraTOFCamera::raysFor(uint32_t width, uint32_t height) const {
    std::lock_guard<std::mutex> lock(lensGuard);
    const Intrinsics lens = calibration && calibration->width == width && calibration->height == height
                                ? *calibration
                                : nominalIntrinsics(width, height);
    if (!rays || rays->intrinsics() != lens) rays = std::make_shared<const RayTable>(lens);
    return rays;
}

TofErrorCode VelmoraTOFCamera::setDepthFilters(const DepthFilterSettings& settings) {
    const std::string problem = settings.problem();
    if (!problem.empty()) {
        std::fprintf(stderr, "Error: depth filters refused: %s\n", problem.c_str());
        return VelmoraInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(filterGuard);
    filterSettings = settings;
    return VelmoraSuccess;
}

DepthFilterSettings VelmoraTOFCamera::getDepthFilters() const {
    std::lock_guard<std::mutex> lock(filterGuard);
    return filterSettings;
}

void VelmoraTOFCamera::finishDepthFrame(VelmoraFrameBuffer& frame, bool continuesLast) {
    DepthData* depth = depthFrame(&frame);
    FrameDataFormat format{};
    if (!depth || depth->getFormat(FrameType::DEPTH, &format) != 0) return;
    std::shared_ptr<const RayTable> table = raysFor(format.width, format.height);
    DepthFilterSettings settings = getDepthFilters();
    if (settings.wrappedWhiteAmplitude == 0)
        settings.wrappedWhiteAmplitude = info.device_type == HQVGA ? DepthFilterSettings::kNominalWhiteAmplitudeHqvga
                                                                   : DepthFilterSettings::kNominalWhiteAmplitudeVga;
    if (!filterChain) filterChain = std::make_unique<DepthFilterChain>();
    if (!continuesLast) filterChain->forgetHistory();
    const Intrinsics& lens = table->intrinsics();
    const DepthPlaneSet planes{static_cast<int>(format.width), static_cast<int>(format.height),
                               static_cast<float*>(depth->getData(FrameType::DEPTH)),
                               static_cast<float*>(depth->getData(FrameType::AMPLITUDE)),
                               static_cast<float*>(depth->getData(FrameType::CONFIDENCE))};
    filterChain->apply(settings, std::min(lens.fx, lens.fy), planes);
    depth->setRays(std::move(table));
}

TofErrorCode VelmoraTOFCamera::getAxialDepth(VelmoraFrameBuffer* frame, float* out) const {
    DepthData* depth = depthFrame(frame);
    if (!depth || !depth->rays() || !out) return VelmoraInvalidParameter;
    axialDepth(static_cast<const float*>(depth->getData(FrameType::DEPTH)), *depth->rays(), out);
    return VelmoraSuccess;
}

TofErrorCode VelmoraTOFCamera::getPointCloud(VelmoraFrameBuffer* frame, float* out) const {
    DepthData* depth = depthFrame(frame);
    if (!depth || !depth->rays() || !out) return VelmoraInvalidParameter;
    pointCloud(static_cast<const float*>(depth->getData(FrameType::DEPTH)), *depth->rays(), out);
    return VelmoraSuccess;
}

}  // namespace Velmora
