#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "FramePool.h"

namespace Velmora {
namespace {

CameraInfo cacheInfo(uint32_t w, uint32_t lines) {
    CameraInfo info{};
    info.width = w;
    info.height = lines;
    return info;
}

int freeCount(FrameQueue& q) {
    int n = 0;
    for (LinkNode* node = q.freeHead; node && n < 100; node = node->next) ++n;
    return n;
}

TEST(FramePool, HqvgaSizes) {
    auto raw = FramePool::create(FrameType::RAW, cacheInfo(240, 720), {240, 720}, {240, 180});
    ASSERT_TRUE(raw);
    FrameDataFormat f{};
    ASSERT_EQ(raw->cacheFrame->getFormat(FrameType::CACHE, &f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 1440u);
    EXPECT_EQ(f.type, FrameType::CACHE);
    EXPECT_NE(raw->cacheFrame->getData(FrameType::CACHE), nullptr);
    EXPECT_EQ(raw->cacheFrame->getData(FrameType::RAW), nullptr);
    EXPECT_EQ(raw->readyCount, 0);
    EXPECT_EQ(freeCount(*raw->queue), 3);
    EXPECT_EQ(raw->queue->readyHead, nullptr);
    ASSERT_EQ(raw->queue->freeHead->frame->getFormat(FrameType::RAW, &f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(f.timestamp, 0u);
    // The last-created node is on top of the free stack.
    EXPECT_EQ(raw->queue->freeHead, raw->queue->allNodes.back().get());

    auto depth = FramePool::create(FrameType::DEPTH, cacheInfo(240, 720), {240, 720}, {240, 180});
    ASSERT_TRUE(depth);
    VelmoraFrameBuffer* frame = depth->queue->freeHead->frame.get();
    ASSERT_EQ(frame->getFormat(FrameType::AMPLITUDE, &f), 0);
    EXPECT_EQ(f.type, FrameType::CONFIDENCE);
    EXPECT_EQ(f.height, 180u);
    EXPECT_EQ(frame->getFormat(FrameType::CACHE, &f), -1);
    auto* plane = static_cast<float*>(frame->getData(FrameType::DEPTH));
    plane[240 * 180 - 1] = 1.0f;  // the whole plane is there (checked under the address sanitizer)
    EXPECT_NE(frame->getData(FrameType::AMPLITUDE), frame->getData(FrameType::CONFIDENCE));
}

TEST(FramePool, VgaSizesAndRefusals) {
    auto depth = FramePool::create(FrameType::DEPTH, cacheInfo(640, 2405), {640, 2405}, {640, 480});
    ASSERT_TRUE(depth);
    FrameDataFormat f{};
    ASSERT_EQ(depth->queue->freeHead->frame->getFormat(FrameType::DEPTH, &f), 0);
    EXPECT_EQ(f.width, 640u);
    EXPECT_EQ(f.height, 480u);
    EXPECT_FALSE(FramePool::create(FrameType::CONFIDENCE, cacheInfo(640, 480), {640, 480}, {640, 480}));
    EXPECT_FALSE(FramePool::create(FrameType::RAW, cacheInfo(640, 480), {0, 480}, {640, 480}));
    EXPECT_FALSE(FramePool::create(FrameType::RAW, cacheInfo(640, 480), {640, 481}, {640, 480}));
    EXPECT_FALSE(FramePool::create(FrameType::DEPTH, cacheInfo(640, 480), {640, 480}, {-640, 480}));
    // 3 planes of 8192 x 4096 floats exceed the per-frame limit.
    EXPECT_FALSE(FramePool::create(FrameType::DEPTH, cacheInfo(64, 64), {64, 64}, {8192, 4096}));
    EXPECT_FALSE(FramePool::create(FrameType::RAW, cacheInfo(4000000000u, 4000000000u), {64, 64}, {64, 64}));
}

TEST(FrameQueue, ListsAndPlaces) {
    auto pool = FramePool::create(FrameType::RAW, cacheInfo(4, 4), {4, 4}, {4, 4});
    FrameQueue& q = *pool->queue;
    LinkNode* a = q.popFree();
    ASSERT_NE(a, nullptr);
    q.appendReady(a);
    EXPECT_EQ(q.popReady(NodePlace::Caller), a);
    EXPECT_EQ(q.readyHead, nullptr);
    EXPECT_EQ(q.readyTail, nullptr);

    // A held node is released once; a free one cannot be put back again.
    EXPECT_EQ(q.releaseHeld(a), 0);
    EXPECT_EQ(freeCount(q), 3);
    LinkNode* again = a;
    EXPECT_EQ(q.putBack(again), -1);
    EXPECT_EQ(q.releaseHeld(a), -1);
    EXPECT_EQ(freeCount(q), 3);

    LinkNode stranger;
    LinkNode* foreign = &stranger;
    EXPECT_EQ(q.putBack(foreign), -1);
    EXPECT_EQ(foreign, &stranger);

    LinkNode* b = q.popFree();
    EXPECT_EQ(q.putBack(b), 0);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(q.findByFrame(nullptr), nullptr);
    EXPECT_EQ(q.findByFrame(q.allNodes[1]->frame.get()), q.allNodes[1].get());
}

TEST(FrameQueue, AReclaimedFrameReturnsOnlyIfNothingNewerWasHandedOut) {
    auto pool = FramePool::create(FrameType::RAW, cacheInfo(4, 4), {4, 4}, {4, 4});
    FrameQueue& q = *pool->queue;
    LinkNode* a = q.popFree();
    LinkNode* b = q.popFree();
    q.appendReady(a);
    q.appendReady(b);
    uint64_t mark = q.handedOutCount();
    ASSERT_EQ(q.popReady(NodePlace::Capture), a);
    EXPECT_TRUE(q.returnReady(a, mark));
    EXPECT_EQ(q.readyHead, a);

    mark = q.handedOutCount();
    ASSERT_EQ(q.popReady(NodePlace::Capture), a);
    ASSERT_EQ(q.popReady(NodePlace::Caller), b);  // a caller takes the newer frame meanwhile
    EXPECT_FALSE(q.returnReady(a, mark));
    EXPECT_EQ(q.readyHead, nullptr);
    EXPECT_EQ(freeCount(q), 2);
}

TEST(FrameBuffers, TimestampsAndPlanes) {
    DepthData depth(2, 2);
    FrameDataFormat f{};
    ASSERT_EQ(depth.getFormat(FrameType::DEPTH, &f), 0);
    EXPECT_EQ(f.timestamp, 0u);
    depth.setTimestamp(77);
    ASSERT_EQ(depth.getFormat(FrameType::DEPTH, &f), 0);
    EXPECT_EQ(f.timestamp, 77u);
    ASSERT_EQ(depth.getFormat(FrameType::CONFIDENCE, &f), 0);
    EXPECT_EQ(f.timestamp, 77u);
    EXPECT_EQ(depth.getData(FrameType::RAW), nullptr);

    RawData raw(2, 2);
    f = FrameDataFormat{9, 9, FrameType::CACHE, 9};
    EXPECT_EQ(raw.getData(FrameType::DEPTH), nullptr);
    EXPECT_EQ(raw.getFormat(FrameType::DEPTH, &f), -1);
    EXPECT_EQ(f.width, 9u);
    EXPECT_EQ(f.timestamp, 9u);
}

TEST(FramePool, ClaimWaitsAndHonoursTheEndOfTheStream) {
    auto pool = FramePool::create(FrameType::RAW, cacheInfo(4, 4), {4, 4}, {4, 4});
    auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    EXPECT_FALSE(pool->claimToOverwrite(soon));
    pool->publish();
    pool->setStreaming(true);
    EXPECT_TRUE(pool->claim(nullptr));
    soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    EXPECT_FALSE(pool->claim(&soon));
    pool->setStreaming(false);
    // Not streaming and nothing ready: a consumer gives up at once.
    EXPECT_FALSE(pool->claim(nullptr));
    for (int i = 0; i < 6; ++i) pool->publish();
    EXPECT_EQ(pool->readyCount, 4);  // the count stops one past the limit
}

TEST(FramePool, CaptureThreadLeavesReadyFramesToWaitingConsumers) {
    auto pool = FramePool::create(FrameType::RAW, cacheInfo(4, 4), {4, 4}, {4, 4});
    pool->setStreaming(true);
    std::atomic<bool> got{false};
    std::thread consumer([&] {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        got = pool->claim(&limit);
    });
    for (int i = 0; i < 5000 && pool->waitingConsumerCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(pool->waitingConsumerCount(), 1);
    pool->publish();
    auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    EXPECT_FALSE(pool->claimToOverwrite(soon));
    consumer.join();
    EXPECT_TRUE(got.load());
}

}  // namespace
}  // namespace Velmora
