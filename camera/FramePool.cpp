#include "FramePool.h"

#include <algorithm>

namespace Velmora {

bool FrameQueue::owns(const LinkNode* node) const {
    return node && std::any_of(allNodes.begin(), allNodes.end(),
                               [node](const std::unique_ptr<LinkNode>& n) { return n.get() == node; });
}

void FrameQueue::pushFree(LinkNode* node) {
    node->next = freeHead;
    node->place = NodePlace::Free;
    freeHead = node;
}

LinkNode* FrameQueue::popFree() {
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = freeHead;
    if (node) {
        freeHead = node->next;
        node->next = nullptr;
        node->place = NodePlace::Capture;
    }
    return node;
}

int FrameQueue::putBack(LinkNode*& node) {
    if (!owns(node)) return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (node->place == NodePlace::Free || node->place == NodePlace::Ready) return -1;
    pushFree(node);
    node = nullptr;
    return 0;
}

int FrameQueue::releaseHeld(LinkNode* node) {
    if (!owns(node)) return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (node->place != NodePlace::Caller) return -1;
    pushFree(node);
    return 0;
}

void FrameQueue::appendReady(LinkNode* node) {
    std::lock_guard<std::mutex> lock(mutex);
    if (readyTail) {
        readyTail->next = node;
        readyTail = node;
    } else {
        readyHead = readyTail = node;
    }
    node->next = nullptr;
    node->place = NodePlace::Ready;
}

bool FrameQueue::returnReady(LinkNode* node, uint64_t handedOutAtClaim) {
    std::lock_guard<std::mutex> lock(mutex);
    if (handedOut != handedOutAtClaim) {
        pushFree(node);
        return false;
    }
    node->next = readyHead;
    node->place = NodePlace::Ready;
    readyHead = node;
    if (!readyTail) readyTail = node;
    return true;
}

uint64_t FrameQueue::handedOutCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return handedOut;
}

LinkNode* FrameQueue::popReady(NodePlace taker) {
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = readyHead;
    if (node) {
        readyHead = node->next;
        if (!readyHead) readyTail = nullptr;
        node->next = nullptr;
        node->place = taker;
        if (taker == NodePlace::Caller) ++handedOut;
    }
    return node;
}

LinkNode* FrameQueue::findByFrame(const VelmoraFrameBuffer* frame) const {
    if (!frame) return nullptr;
    for (const auto& node : allNodes)
        if (node->frame.get() == frame) return node.get();
    return nullptr;
}

void FrameQueue::addNode(std::unique_ptr<VelmoraFrameBuffer> frame) {
    auto node = std::make_unique<LinkNode>();
    node->frame = std::move(frame);
    pushFree(node.get());
    allNodes.push_back(std::move(node));
}

namespace {
bool fits(uint64_t width, uint64_t height, uint64_t bytesPerSample, uint64_t planes) {
    if (width == 0 || height == 0) return false;
    // Both factors are below 2^32, so the products stay below 2^64 / 12.
    return width * height * bytesPerSample * planes <= FramePool::maxFrameBytes;
}
}  // namespace

std::unique_ptr<FramePool> FramePool::create(FrameType type, const CameraInfo& cacheInfo,
                                             FrameGeometry raw, FrameGeometry output) {
    if (type != FrameType::RAW && type != FrameType::DEPTH) return nullptr;
    if (raw.width <= 0 || raw.height <= 0 || output.width <= 0 || output.height <= 0) return nullptr;
    const uint64_t cacheSamples = uint64_t(cacheInfo.width) * cacheInfo.height;
    if (!fits(cacheInfo.width, cacheInfo.height, 2, 1)) return nullptr;
    // Models convert from the cache: their raw frame must fit in it.
    if (uint64_t(raw.width) * uint64_t(raw.height) > cacheSamples) return nullptr;
    const bool rawOut = type == FrameType::RAW;
    const FrameGeometry g = rawOut ? raw : output;
    if (!fits(uint64_t(g.width), uint64_t(g.height), rawOut ? 2 : 4, rawOut ? 1 : 3)) return nullptr;

    auto pool = std::make_unique<FramePool>();
    pool->cacheFrame = std::make_unique<CacheData>(cacheInfo.width, cacheInfo.height);
    pool->queue = std::make_unique<FrameQueue>();
    pool->queue->allNodes.reserve(pool->nodeCount);
    for (int i = 0; i < pool->nodeCount; ++i) {
        std::unique_ptr<VelmoraFrameBuffer> frame;
        if (rawOut)
            frame = std::make_unique<RawData>(uint32_t(g.width), uint32_t(g.height));
        else
            frame = std::make_unique<DepthData>(uint32_t(g.width), uint32_t(g.height));
        pool->queue->addNode(std::move(frame));
    }
    return pool;
}

void FramePool::publish() {
    std::lock_guard<std::mutex> lock(mutex);
    if (readyCount <= readyLimit) {
        ++readyCount;
        readyCond.notify_all();
    }
}

bool FramePool::claim(const std::chrono::steady_clock::time_point* deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    auto available = [&] { return readyCount > 0 || !streaming; };
    ++waitingConsumers;
    if (deadline)
        readyCond.wait_until(lock, *deadline, available);
    else
        readyCond.wait(lock, available);
    --waitingConsumers;
    if (readyCount <= 0) return false;
    --readyCount;
    return true;
}

int32_t FramePool::waitingConsumerCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return waitingConsumers;
}

bool FramePool::claimToOverwrite(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!readyCond.wait_until(lock, deadline, [&] { return readyCount > 0 && waitingConsumers == 0; }))
        return false;
    --readyCount;
    return true;
}

void FramePool::setStreaming(bool isStreaming) {
    std::lock_guard<std::mutex> lock(mutex);
    streaming = isStreaming;
    if (!isStreaming) readyCond.notify_all();
}

}  // namespace Velmora
