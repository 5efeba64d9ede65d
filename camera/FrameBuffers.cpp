#include "VelmoraFrameBuffer.h"

#include <cstddef>
#include <cstdint>

namespace Velmora {

namespace {
// Elements of a plane. Saturates rather than wraps, so an impossible size
// fails its allocation instead of allocating a small buffer.
size_t elements(uint32_t width, uint32_t height, size_t perSample = 1) {
    size_t n = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &n) ||
        __builtin_mul_overflow(n, perSample, &n))
        return SIZE_MAX;
    return n;
}

uint32_t byteLines(uint32_t sampleLines) { return sampleLines > UINT32_MAX / 2 ? UINT32_MAX : 2 * sampleLines; }
}  // namespace

RawData::RawData(uint32_t width, uint32_t height)
    : data(std::make_unique<uint8_t[]>(elements(width, height, 2))), format{width, height, FrameType::RAW, 0} {}

void RawData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* RawData::getData(FrameType type) { return type == FrameType::RAW ? data.get() : nullptr; }

int RawData::getFormat(FrameType type, FrameDataFormat* out) {
    if (type != FrameType::RAW || !out) return -1;
    *out = format;
    return 0;
}

CacheData::CacheData(uint32_t width, uint32_t sampleLines)
    : data(std::make_unique<uint8_t[]>(elements(width, sampleLines, 2))),
      format{width, byteLines(sampleLines), FrameType::CACHE, 0} {}

void CacheData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* CacheData::getData(FrameType type) { return type == FrameType::CACHE ? data.get() : nullptr; }

int CacheData::getFormat(FrameType type, FrameDataFormat* out) {
    if (type != FrameType::CACHE || !out) return -1;
    *out = format;
    return 0;
}

DepthData::DepthData(uint32_t width, uint32_t height)
    : confidencePlane(std::make_unique<float[]>(elements(width, height))),
      amplitudePlane(std::make_unique<float[]>(elements(width, height))),
      depthPlane(std::make_unique<float[]>(elements(width, height))),
      depthFormat{width, height, FrameType::DEPTH, 0},
      confidenceFormat{width, height, FrameType::CONFIDENCE, 0} {}

void DepthData::setTimestamp(uint64_t timestamp) {
    depthFormat.timestamp = timestamp;
    confidenceFormat.timestamp = timestamp;
}

void* DepthData::getData(FrameType type) {
    switch (type) {
    case FrameType::CONFIDENCE: return confidencePlane.get();
    case FrameType::AMPLITUDE: return amplitudePlane.get();
    case FrameType::DEPTH: return depthPlane.get();
    default: return nullptr;
    }
}

int DepthData::getFormat(FrameType type, FrameDataFormat* out) {
    if (!out) return -1;
    switch (type) {
    case FrameType::DEPTH: *out = depthFormat; return 0;
    case FrameType::CONFIDENCE:
    case FrameType::AMPLITUDE: *out = confidenceFormat; return 0;
    default: return -1;
    }
}

}  // namespace Velmora
