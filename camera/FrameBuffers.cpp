#include "VelmoraFrameBuffer.h"

#include <cstddef>

namespace Velmora {

namespace {
size_t samples(uint32_t width, uint32_t height) { return static_cast<size_t>(width) * height; }
}  // namespace

RawData::RawData(uint32_t width, uint32_t height)
    : data(std::make_unique<uint8_t[]>(2 * samples(width, height))), format{width, height, FrameType::RAW, 0} {}

void RawData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* RawData::getData(FrameType type) { return type == FrameType::RAW ? data.get() : nullptr; }

int RawData::getFormat(FrameType type, FrameDataFormat* out) {
    if (type != FrameType::RAW || !out) return -1;
    *out = format;
    return 0;
}

CacheData::CacheData(uint32_t width, uint32_t sampleLines)
    : data(std::make_unique<uint8_t[]>(2 * samples(width, sampleLines))),
      format{width, 2 * sampleLines, FrameType::CACHE, 0} {}

void CacheData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* CacheData::getData(FrameType type) { return type == FrameType::CACHE ? data.get() : nullptr; }

int CacheData::getFormat(FrameType type, FrameDataFormat* out) {
    if (type != FrameType::CACHE || !out) return -1;
    *out = format;
    return 0;
}

DepthData::DepthData(uint32_t width, uint32_t height)
    : confidencePlane(std::make_unique<float[]>(samples(width, height))),
      amplitudePlane(std::make_unique<float[]>(samples(width, height))),
      depthPlane(std::make_unique<float[]>(samples(width, height))),
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
