#include "FramePool.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <new>

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
// The product of the factors is at least 1 byte and at most maxFrameBytes, checked for wrapping.
bool fits(std::initializer_list<uint64_t> factors) {
    uint64_t bytes = 1;
    for (uint64_t factor : factors)
        if (__builtin_mul_overflow(bytes, factor, &bytes)) return false;
    return bytes > 0 && bytes <= FramePool::maxFrameBytes;
}
}  // namespace

std::unique_ptr<FramePool> FramePool::create(FrameType type, const CameraInfo& cacheInfo,
                                             FrameGeometry raw, FrameGeometry output) {
    if (type != FrameType::RAW && type != FrameType::DEPTH) return nullptr;
    if (raw.width <= 0 || raw.height <= 0 || output.width <= 0 || output.height <= 0) return nullptr;
    // The cache format counts twice the sample lines; that count must fit its field.
    if (cacheInfo.height > UINT32_MAX / 2) return nullptr;
    if (!fits({cacheInfo.width, cacheInfo.height, 2})) return nullptr;
    // Models convert from the cache: their raw frame must fit in it. Two
    // factors below 2^32 cannot wrap 64 bits; further factors can (fits).
    if (uint64_t(raw.width) * uint64_t(raw.height) > uint64_t(cacheInfo.width) * cacheInfo.height) return nullptr;
    const bool rawOut = type == FrameType::RAW;
    const FrameGeometry g = rawOut ? raw : output;
    if (!fits({uint64_t(g.width), uint64_t(g.height), rawOut ? 2u : 4u, rawOut ? 1u : 3u})) return nullptr;

    try {
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
    } catch (const std::bad_alloc&) {
        // Out of memory is a failed start, not an exception out of the library.
        return nullptr;
    }
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
