// Every single failing system call of a CSI camera's life, on every board:
// the operations report one of their documented codes and nothing leaks.

#include <gtest/gtest.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <set>
#include <sstream>
#include <vector>

#include "BoardSession.h"
#include "VelmoraTOFCSISensor.h"

using namespace VelmoraTest;
using Velmora::CameraCtrl;
using Velmora::CameraInfo;
using Velmora::VelmoraTOFCSISensor;

namespace {

struct Outcome {
    int open = 99, start = 99, read1 = 99, read2 = 99, range = 99, exposure = 99, rate = 99, getRange = 99,
        stop = 99, close = 99;
    int heldAfterClose = 0;  // descriptors and mappings close() left behind
    bool operator==(const Outcome& o) const {
        return open == o.open && start == o.start && read1 == o.read1 && read2 == o.read2 && range == o.range &&
               exposure == o.exposure && rate == o.rate && getRange == o.getRange && stop == o.stop &&
               close == o.close && heldAfterClose == o.heldAfterClose;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "open " << o.open << " start " << o.start << " read " << o.read1 << "/" << o.read2 << " range "
               << o.range << " exposure " << o.exposure << " rate " << o.rate << " getRange " << o.getRange
               << " stop " << o.stop << " close " << o.close << " held after close " << o.heldAfterClose;
}

enum class Ending { StopAndClose, CloseOnly, DestroyOnly };

// The whole life of a sensor, carried on whatever fails on the way.
Outcome live(const EmulatedBoard& board, int model, Ending ending) {
    Outcome o;
    VelmoraTOFCSISensor sensor(4, model, "/dev/video0");
    CameraInfo info{};
    o.open = sensor.open(info);
    o.start = sensor.start();
    std::vector<uint8_t> frame(4 * 240 * 180 * 2 + 64, 0);
    uint64_t timestamp = 0;
    o.read1 = sensor.readFrame(frame.data(), &timestamp);
    o.read2 = sensor.readFrame(frame.data(), &timestamp);
    o.range = sensor.setControl(CameraCtrl::RANGE, 2);
    o.exposure = sensor.setControl(CameraCtrl::EXPOSURE, 300);
    o.rate = sensor.setControl(CameraCtrl::FRAME_RATE, 15);
    int value = 0;
    o.getRange = sensor.getControl(CameraCtrl::RANGE, &value);
    if (ending == Ending::StopAndClose) o.stop = sensor.stop();
    if (ending != Ending::DestroyOnly) {
        o.close = sensor.close();
        o.heldAfterClose = board.openDescriptors() + board.liveMappings();
    }
    return o;
}

::testing::AssertionResult documented(const Outcome& o, Ending ending) {
    auto in = [](int v, std::set<int> allowed) { return allowed.count(v) > 0; };
    bool ok = in(o.open, {0, -2}) && in(o.start, {0, -1, -2}) && in(o.read1, {0, -2, 2}) && in(o.read2, {0, -2, 2}) &&
              in(o.range, {0, -1}) && in(o.exposure, {0, -1}) && in(o.rate, {0, -2}) && in(o.getRange, {0, -1});
    if (ending == Ending::StopAndClose) ok = ok && in(o.stop, {0, -2});
    if (ending != Ending::DestroyOnly) ok = ok && o.close == 0 && o.heldAfterClose == 0;
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << o;
}

// V4L2 and media requests go through the retry wrapper, except the format read-back.
bool retried(const CallRecord& call) {
    if (call.call != Call::Ioctl) return false;
    if (call.target.compare(0, 8, "/dev/i2c") == 0) return false;
    return call.request != VIDIOC_G_FMT && call.request != VIDIOC_SUBDEV_G_FMT;
}

struct Sweep {
    int model;
    Ending ending;
};

void PrintTo(const Sweep& sweep, std::ostream* out) {
    *out << "model " << sweep.model << " ending " << static_cast<int>(sweep.ending);
}

std::string sweepName(const ::testing::TestParamInfo<Sweep>& info) {
    const char* endings[] = {"StopAndClose", "CloseOnly", "DestroyOnly"};
    return "Model" + std::to_string(info.param.model) + endings[static_cast<int>(info.param.ending)];
}

}  // namespace

class CsiFaultSweep : public ::testing::TestWithParam<Sweep> {};

TEST_P(CsiFaultSweep, EveryFailingCallIsReportedAndLeavesNothingBehind) {
    const Sweep sweep = GetParam();
    uint64_t total = 0;
    std::vector<CallRecord> calls;
    {
        BoardSession clean(patternPreset(sweep.model));
        Outcome o = live(clean.board, sweep.model, sweep.ending);
        Outcome expected;
        expected.open = expected.start = expected.read1 = expected.read2 = expected.range = expected.exposure =
            expected.rate = expected.getRange = 0;
        if (sweep.ending == Ending::StopAndClose) expected.stop = 0;
        if (sweep.ending != Ending::DestroyOnly) expected.close = 0;
        ASSERT_EQ(o, expected);
        total = clean.board.callCount();
        calls = clean.board.calls();
        expectNothingHeld(clean.board);
    }
    ASSERT_GT(total, 40u);

    for (uint64_t n = 0; n < total; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n) + ": " + callName(calls[n].call) + " " + calls[n].target +
                     " request " + std::to_string(calls[n].request));
        BoardSession session(patternPreset(sweep.model));
        session.board.failCallNumber(n, EIO);
        testing::internal::CaptureStderr();
        Outcome o = live(session.board, sweep.model, sweep.ending);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(documented(o, sweep.ending));
        expectNothingHeld(session.board);
        EXPECT_FALSE(session.board.streaming());
    }
}

TEST_P(CsiFaultSweep, InterruptedRequestsAreRepeated) {
    const Sweep sweep = GetParam();
    Outcome expected;
    std::vector<CallRecord> calls;
    {
        BoardSession clean(patternPreset(sweep.model));
        expected = live(clean.board, sweep.model, sweep.ending);
        calls = clean.board.calls();
    }
    int checked = 0;
    for (uint64_t n = 0; n < calls.size(); ++n) {
        if (!retried(calls[n])) continue;
        SCOPED_TRACE("interrupted call " + std::to_string(n) + " " + calls[n].target + " request " +
                     std::to_string(calls[n].request));
        BoardSession session(patternPreset(sweep.model));
        session.board.failCallNumber(n, n % 2 ? EINTR : EAGAIN);
        EXPECT_EQ(live(session.board, sweep.model, sweep.ending), expected);
        expectNothingHeld(session.board);
        ++checked;
    }
    EXPECT_GT(checked, 20);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiFaultSweep,
                         ::testing::Values(Sweep{2, Ending::StopAndClose}, Sweep{3, Ending::CloseOnly},
                                           Sweep{5, Ending::StopAndClose}, Sweep{6, Ending::StopAndClose},
                                           Sweep{6, Ending::CloseOnly}, Sweep{7, Ending::StopAndClose},
                                           Sweep{7, Ending::DestroyOnly}, Sweep{2, Ending::DestroyOnly}),
                         sweepName);
