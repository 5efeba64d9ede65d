#pragma once
// The fixed pool of output frames: a free stack, a ready queue and the
// count of ready frames that consumers wait on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "VelmoraFrameBuffer.h"
#include "VelmoraTOFCamera.h"

namespace Velmora {

// Where a node is; lets the queue refuse a node that is not in hand.
enum class NodePlace : uint8_t { Free, Ready, Capture, Caller };

struct LinkNode {
    LinkNode* next = nullptr;
    std::unique_ptr<VelmoraFrameBuffer> frame;
    NodePlace place = NodePlace::Free;
};

class FrameQueue {
public:
    // Free -> capture thread.
    LinkNode* popFree();
    // A node in the capture thread's or a caller's hands goes back on the free stack;
    // -1 for a node of another queue or one that is already free or ready.
    int putBack(LinkNode*& node);
    void appendReady(LinkNode* node);
    // Oldest ready node, now in the hands of `taker`.
    LinkNode* popReady(NodePlace taker);
    // A node the capture thread claimed but did not overwrite goes back to the front
    // of the ready queue, unless a caller has taken a (newer) frame since the claim:
    // then it is dropped to the free stack so callers never see time run backwards.
    // Returns true when it went back to the ready queue.
    bool returnReady(LinkNode* node, uint64_t handedOutAtClaim);
    uint64_t handedOutCount();
    // Only a node a caller holds is released.
    int releaseHeld(LinkNode* node);
    LinkNode* findByFrame(const VelmoraFrameBuffer* frame) const;
    void addNode(std::unique_ptr<VelmoraFrameBuffer> frame);

    LinkNode* freeHead = nullptr;
    LinkNode* readyHead = nullptr;
    LinkNode* readyTail = nullptr;
    std::vector<std::unique_ptr<LinkNode>> allNodes;
    std::mutex mutex;

private:
    bool owns(const LinkNode* node) const;
    uint64_t handedOut = 0;  // frames given to callers so far
    void pushFree(LinkNode* node);
};

class FramePool {
public:
    // One frame may take at most this much memory; larger geometries are refused.
    static constexpr uint64_t maxFrameBytes = 256ull << 20;

    // Null when the geometry is empty, too large, or needs more raw samples than
    // the cache holds. `cacheInfo` carries the height of all sub-frames of one frame.
    static std::unique_ptr<FramePool> create(FrameType type, const CameraInfo& cacheInfo,
                                             FrameGeometry raw, FrameGeometry output);

    // Capture thread: makes one more ready frame claimable.
    void publish();
    // A consumer takes one ready frame. deadline null: waits without limit; gives
    // up once the stream has ended and nothing is ready.
    bool claim(const std::chrono::steady_clock::time_point* deadline);
    // The capture thread takes the oldest ready frame to overwrite it, but never
    // while a consumer waits for one: that consumer would starve.
    bool claimToOverwrite(std::chrono::steady_clock::time_point deadline);
    // Marks the stream running or ended; ending wakes every waiting consumer.
    void setStreaming(bool streaming);
    // Consumers blocked in `claim` right now.
    int32_t waitingConsumerCount();

    std::unique_ptr<FrameQueue> queue;
    std::unique_ptr<CacheData> cacheFrame;
    uint8_t nodeCount = 3;
    std::mutex mutex;
    std::condition_variable readyCond;
    int32_t readyCount = 0;
    int32_t readyLimit = 3;

private:
    bool streaming = false;
    int32_t waitingConsumers = 0;
};

}  // namespace Velmora
