#pragma once
// Frames handed to callers by requestFrame, and the capture cache frame.

#include <cstdint>
#include <memory>

#include "VelmoraIntrinsics.h"
#include "VelmoraTypes.h"

namespace Velmora {

class VELMORA_EXPORT VelmoraFrameBuffer {
public:
    virtual ~VelmoraFrameBuffer() = default;
    virtual void setTimestamp(uint64_t timestamp) = 0;
    // Pointer to the plane of `type`, or null when this frame has no such plane.
    virtual void* getData(FrameType type) = 0;
    // 0 and *out filled for a plane of this frame; -1 and *out untouched otherwise.
    virtual int getFormat(FrameType type, FrameDataFormat* out) = 0;
};

class VELMORA_EXPORT RawData : public VelmoraFrameBuffer {
public:
    RawData(uint32_t width, uint32_t height);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat* out) override;

private:
    std::unique_ptr<uint8_t[]> data;
    FrameDataFormat format;
};

class VELMORA_EXPORT CacheData : public VelmoraFrameBuffer {
public:
    // `sampleLines` lines of `width` 16-bit samples; described as width x 2*sampleLines bytes.
    CacheData(uint32_t width, uint32_t sampleLines);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat* out) override;

private:
    std::unique_ptr<uint8_t[]> data;
    FrameDataFormat format;
};

class VELMORA_EXPORT DepthData : public VelmoraFrameBuffer {
public:
    DepthData(uint32_t width, uint32_t height);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat* out) override;
    // The rays of the lens this frame was captured with, or null.
    const RayTable* rays() const { return lensRays.get(); }
    void setRays(std::shared_ptr<const RayTable> table) { lensRays = std::move(table); }

private:
    std::shared_ptr<const RayTable> lensRays;
    std::unique_ptr<float[]> confidencePlane;
    std::unique_ptr<float[]> amplitudePlane;
    std::unique_ptr<float[]> depthPlane;
    FrameDataFormat depthFormat;
    FrameDataFormat confidenceFormat;
};

}  // namespace Velmora
