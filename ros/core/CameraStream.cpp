#include "CameraStream.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace Velmora {
namespace Ros {

constexpr std::chrono::milliseconds CameraStream::kFirstRetry;
constexpr std::chrono::milliseconds CameraStream::kLongestRetry;
constexpr std::chrono::milliseconds CameraStream::kAnswerWithin;

namespace {
// requestFrame's wait: also how soon a stop or a setting change is noticed.
constexpr short kPollMs = 100;

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", s);
    return text;
}

std::string describeSource(const NodeParameters& p) {
    if (!p.config.empty()) return "the USB camera " + std::to_string(p.index) + " configured by " + p.config;
    return std::string(p.connection == Connection::CSI ? "the CSI camera /dev/video" : "the USB camera ") +
           std::to_string(p.index);
}

// Sized by the depth image (getCameraInfo gives the raw frame, 640x2405 on VGA).
std::string describeCamera(VelmoraTOFCamera& camera) {
    const CameraInfo info = camera.getCameraInfo();
    int width = 0, height = 0;
    camera.getControl(CameraCtrl::FMT_WIDTH, &width);
    camera.getControl(CameraCtrl::FMT_HEIGHT, &height);
    return std::string(info.device_type == HQVGA ? "HQVGA " : "VGA ") + std::to_string(width) + "x" +
           std::to_string(height) + (info.connect == Connection::CSI ? " over CSI" : " over USB");
}

std::string refusedByCamera(const std::string& what, TofErrorCode rc, const std::string& kept) {
    return what + " refused by the camera (" + to_str(rc) + "); keeping " + kept;
}

std::string valueText(int value, const char* unsetText) { return value == 0 ? unsetText : std::to_string(value); }
}  // namespace

HealthReport describeHealth(const StreamHealth& h, const StreamHealth& previous) {
    HealthReport r;
    switch (h.state) {
    case StreamState::Streaming:
        if (h.dropped > previous.dropped || h.stale > previous.stale) {
            r.level = HealthReport::Warn;
            r.message = "streaming; frames lost";
        } else {
            r.message = "streaming";
        }
        break;
    case StreamState::Stopped:
        r.level = HealthReport::Warn;
        r.message = "stopped";
        break;
    default:
        r.level = HealthReport::Error;
        r.message = h.problem.empty() ? "opening the camera" : h.problem;
        break;
    }
    const char* states[] = {"opening", "streaming", "reconnecting", "stopped"};
    char rate[32];
    std::snprintf(rate, sizeof(rate), "%.2f", h.frameRate);
    r.values = {{"state", states[static_cast<int>(h.state)]},
                {"camera", h.camera},
                {"frame_rate", rate},
                {"frames", std::to_string(h.frames)},
                {"dropped", std::to_string(h.dropped)},
                {"stale", std::to_string(h.stale)},
                {"reconnects", std::to_string(h.reconnects)},
                {"failed_opens", std::to_string(h.failedOpens)},
                {"last_problem", h.problem}};
    return r;
}

CameraStream::CameraStream(NodeParameters p, FrameHandler frameHandler, LogHandler logHandler, HostClock clock)
    : params(std::move(p)),
      onFrame(std::move(frameHandler)),
      log(std::move(logHandler)),
      now(std::move(clock)),
      current(params.settings) {}

CameraStream::~CameraStream() { stop(); }

void CameraStream::start() {
    if (worker.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = false;
        running = true;
    }
    worker = std::thread([this] { run(); });
}

void CameraStream::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
}

CameraSettings CameraStream::settings() const {
    std::lock_guard<std::mutex> guard(lock);
    return current;
}

StreamHealth CameraStream::health() const {
    std::lock_guard<std::mutex> guard(lock);
    StreamHealth h = status;
    h.frameRate = h.state == StreamState::Streaming ? statistics.frameRate() : 0.0;
    h.frames = statistics.frames();
    h.dropped = statistics.dropped();
    h.stale = statistics.stale();
    return h;
}

void CameraStream::report(LogLevel level, const std::string& message) {
    if (log) log(level, message);
}

void CameraStream::setState(StreamState state, const std::string& problem) {
    std::lock_guard<std::mutex> guard(lock);
    status.state = state;
    if (state == StreamState::Streaming)
        status.problem.clear();
    else if (!problem.empty())
        status.problem = problem;
}

CameraSettings CameraStream::changeSettings(const CameraSettings& wanted, std::vector<std::string>& refusals) {
    auto request = std::make_unique<Request>();
    request->wanted = wanted;
    const Request* asked = request.get();
    auto result = request->result.get_future();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (running && !stopping) requests.push_back(std::move(request));
    }
    if (request) {
        // No stream thread: nothing is open, the values wait for the camera.
        apply(nullptr, wanted, refusals);
        return settings();
    }
    wake.notify_all();
    if (result.wait_for(kAnswerWithin) != std::future_status::ready) {
        bool withdrawn = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            const auto queued = std::find_if(requests.begin(), requests.end(),
                                             [&](const std::unique_ptr<Request>& r) { return r.get() == asked; });
            if (queued != requests.end()) {
                requests.erase(queued);
                withdrawn = true;
            }
        }
        if (withdrawn || result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            refusals.push_back("the camera did not answer within " +
                               seconds(std::chrono::duration<double>(kAnswerWithin).count()) +
                               (withdrawn ? "; nothing was changed" : "; the change may still take effect"));
            return settings();
        }
    }
    auto outcome = result.get();
    refusals.insert(refusals.end(), outcome.second.begin(), outcome.second.end());
    return outcome.first;
}

void CameraStream::serviceRequests() {
    std::vector<std::unique_ptr<Request>> pending;
    {
        std::lock_guard<std::mutex> guard(lock);
        pending.swap(requests);
    }
    for (auto& request : pending) {
        std::vector<std::string> refusals;
        apply(camera.get(), request->wanted, refusals);
        request->result.set_value({settings(), std::move(refusals)});
    }
}

void CameraStream::apply(VelmoraTOFCamera* cam, const CameraSettings& wanted, std::vector<std::string>& refusals) {
    CameraSettings next = settings();
    const CameraSettings before = next;
    // At open the camera holds its own defaults, which the settings are compared with.
    const bool opening = cam && !cam->isStreaming();
    const CameraSettings from = opening ? CameraSettings{} : before;

    auto set = [&](CameraCtrl ctrl, int value) { return cam ? cam->setControl(ctrl, value) : VelmoraSuccess; };

    if (wanted.mode != from.mode && wanted.mode != FrequencyMode::CameraDefault) {
        // The frequency mode changes the raw frame: only a stopped camera takes it.
        const bool restart = cam && cam->isStreaming();
        int previousMode = 0;
        const bool knowPrevious = restart && cam->getControl(CameraCtrl::MODE, &previousMode) == VelmoraSuccess;
        if (restart) cam->stop();
        const std::string what = std::string("mode ") + modeName(wanted.mode);
        const std::string kept = *modeName(before.mode) ? modeName(before.mode) : "the camera's";
        const TofErrorCode rc =
            set(CameraCtrl::MODE, static_cast<int>(wanted.mode == FrequencyMode::Single ? TofWorkMode::SINGLE_FREQ
                                                                                        : TofWorkMode::DOUBLE_FREQ));
        if (rc == VelmoraSuccess)
            next.mode = wanted.mode;
        else
            refusals.push_back(refusedByCamera(what, rc, kept));
        if (restart) {
            const FrameType type = params.output == StreamOutput::Raw ? FrameType::RAW : FrameType::DEPTH;
            TofErrorCode started = cam->start(type);
            if (started != VelmoraSuccess && rc == VelmoraSuccess && knowPrevious) {
                // Not kept and retried for ever: back to the mode the camera streamed in.
                refusals.push_back(what + " refused: the camera does not start in it (" + to_str(started) +
                                   "); keeping " + kept);
                next.mode = before.mode;
                cam->stop();  // undoes what the failed start left behind (a transport marked streaming)
                cam->setControl(CameraCtrl::MODE, previousMode);
                started = cam->start(type);
            }
            if (started == VelmoraSuccess) {
                std::lock_guard<std::mutex> guard(lock);
                statistics.restart();
                stamps.reset();
            } else {
                restartFailed = "cannot restart the camera after the mode change: " + std::string(to_str(started));
            }
        }
    } else if (wanted.mode == FrequencyMode::CameraDefault) {
        next.mode = wanted.mode;
    }

    if (wanted.range != from.range) {
        const std::string rule = checkRange(wanted.range);
        if (!rule.empty()) {
            refusals.push_back(rule + "; keeping " + valueText(before.range, "the camera's"));
        } else if (wanted.range != 0) {
            const TofErrorCode rc = set(CameraCtrl::RANGE, wanted.range);
            if (rc == VelmoraSuccess)
                next.range = wanted.range;
            else
                refusals.push_back(refusedByCamera("range " + std::to_string(wanted.range), rc,
                                                   valueText(before.range, "the camera's")));
        } else {
            next.range = 0;
        }
    }

    // 0 leaves the camera's own value for these two.
    struct Plain {
        const char* name;
        CameraCtrl ctrl;
        int CameraSettings::*field;
    };
    for (const Plain& c : {Plain{"frame_rate", CameraCtrl::FRAME_RATE, &CameraSettings::frameRate},
                           Plain{"exposure", CameraCtrl::EXPOSURE, &CameraSettings::exposure}}) {
        const int value = wanted.*c.field;
        if (value == from.*c.field) continue;
        const std::string what = std::string(c.name) + " " + std::to_string(value);
        const std::string rule = checkNotNegative(c.name, value);
        if (!rule.empty()) {
            refusals.push_back(rule + "; keeping " + valueText(before.*c.field, "the camera's"));
            continue;
        }
        const TofErrorCode rc = value == 0 ? VelmoraSuccess : set(c.ctrl, value);
        if (rc == VelmoraSuccess)
            next.*c.field = value;
        else
            refusals.push_back(refusedByCamera(what, rc, valueText(before.*c.field, "the camera's")));
    }

    if (wanted.autoFrameRate != from.autoFrameRate) {
        const TofErrorCode rc = set(CameraCtrl::AUTO_FRAME_RATE, wanted.autoFrameRate ? 1 : 0);
        if (rc == VelmoraSuccess)
            next.autoFrameRate = wanted.autoFrameRate;
        else
            refusals.push_back(refusedByCamera(std::string("auto_frame_rate ") + (wanted.autoFrameRate ? "on" : "off"),
                                               rc, before.autoFrameRate ? "on" : "off"));
    }

    if (wanted.skipFrame != from.skipFrame || wanted.skipFrameLoop != from.skipFrameLoop) {
        const std::string what =
            "skip_frame " + std::to_string(wanted.skipFrame) + " of skip_frame_loop " + std::to_string(wanted.skipFrameLoop);
        const std::string kept =
            std::to_string(before.skipFrame) + " of " + std::to_string(before.skipFrameLoop);
        const std::string rule = checkSkipRule(wanted.skipFrame, wanted.skipFrameLoop);
        if (!rule.empty()) {
            refusals.push_back(rule + "; keeping " + kept);
        } else {
            // The camera takes a skip count only up to the loop length in force.
            auto setPair = [&](int skip, int loop) {
                const bool loopFirst = loop >= from.skipFrame;
                TofErrorCode rc = set(loopFirst ? CameraCtrl::SKIP_FRAME_LOOP : CameraCtrl::SKIP_FRAME,
                                      loopFirst ? loop : skip);
                if (rc == VelmoraSuccess)
                    rc = set(loopFirst ? CameraCtrl::SKIP_FRAME : CameraCtrl::SKIP_FRAME_LOOP, loopFirst ? skip : loop);
                return rc;
            };
            const TofErrorCode rc = setPair(wanted.skipFrame, wanted.skipFrameLoop);
            if (rc == VelmoraSuccess) {
                next.skipFrame = wanted.skipFrame;
                next.skipFrameLoop = wanted.skipFrameLoop;
            } else {
                if (cam) {
                    cam->setControl(CameraCtrl::SKIP_FRAME, 0);
                    cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, before.skipFrameLoop);
                    cam->setControl(CameraCtrl::SKIP_FRAME, before.skipFrame);
                }
                refusals.push_back(refusedByCamera(what, rc, kept));
            }
        }
    }

    if (wanted.minConfidence != before.minConfidence) {
        const std::string rule = checkMinConfidence(wanted.minConfidence);
        if (rule.empty())
            next.minConfidence = wanted.minConfidence;
        else
            refusals.push_back(rule + "; keeping the old value");
    }

    if (wanted.filters != from.filters) {
        const std::string rule = wanted.filters.problem();
        if (!rule.empty()) {
            refusals.push_back("depth filters: " + rule + "; keeping the old settings");
        } else if (!cam || cam->setDepthFilters(wanted.filters) == VelmoraSuccess) {
            next.filters = wanted.filters;
        } else {
            refusals.push_back("depth filters refused by the camera; keeping the old settings");
        }
    }

    std::lock_guard<std::mutex> guard(lock);
    current = next;
    statistics.setSkip(next.skipFrame, next.skipFrameLoop);
}

void CameraStream::readBackSettings() {
    CameraSettings read = settings();
    int value = 0;
    if (read.range == 0 && camera->getControl(CameraCtrl::RANGE, &value) == VelmoraSuccess &&
        (value == 2000 || value == 4000))
        read.range = value;
    value = 0;
    if (read.mode == FrequencyMode::CameraDefault && camera->getCameraInfo().device_type == VGA &&
        camera->getControl(CameraCtrl::MODE, &value) == VelmoraSuccess)
        read.mode = value == static_cast<int>(TofWorkMode::DOUBLE_FREQ) ? FrequencyMode::Double : FrequencyMode::Single;
    std::lock_guard<std::mutex> guard(lock);
    current = read;
}

bool CameraStream::openCamera() {
    auto opened = std::make_unique<VelmoraTOFCamera>();
    const TofErrorCode rc = params.config.empty() ? opened->open(params.connection, params.index)
                                                  : opened->openWithFile(params.config.c_str(), params.index);
    if (rc != VelmoraSuccess) {
        failure = "cannot open " + describeSource(params) + ": " + to_str(rc);
        return false;
    }
    camera = std::move(opened);

    std::vector<std::string> refusals;
    apply(camera.get(), settings(), refusals);
    for (const std::string& r : refusals) report(LogLevel::Warn, r);

    const TofErrorCode started =
        camera->start(params.output == StreamOutput::Raw ? FrameType::RAW : FrameType::DEPTH);
    if (started != VelmoraSuccess) {
        failure = "cannot start " + describeSource(params) + ": " + to_str(started);
        closeCamera(false);
        return false;
    }
    readBackSettings();
    stamps.reset();
    std::lock_guard<std::mutex> guard(lock);
    statistics.restart();
    status.camera = describeCamera(*camera);
    return true;
}

void CameraStream::closeCamera(bool reportClosed) {
    if (!camera) return;
    try {
        camera->close();  // stops a streaming camera first
    } catch (const std::exception& e) {
        report(LogLevel::Error, std::string("closing the camera: ") + e.what());
    }
    camera.reset();
    if (reportClosed) report(LogLevel::Info, "camera closed");
}

bool CameraStream::deliver(VelmoraFrameBuffer& frame) {
    StreamFrame out;
    out.output = params.output;
    FrameDataFormat format{};
    if (params.output == StreamOutput::Raw) {
        if (frame.getFormat(FrameType::RAW, &format) != 0) return false;
        out.raw = static_cast<const int16_t*>(frame.getData(FrameType::RAW));
        out.rawWidth = format.width;
        out.rawHeight = format.height;
        if (!out.raw) return false;
    } else {
        if (frame.getFormat(FrameType::DEPTH, &format) != 0) return false;
        out.planes.width = format.width;
        out.planes.height = format.height;
        out.planes.depth = static_cast<const float*>(frame.getData(FrameType::DEPTH));
        out.planes.amplitude = static_cast<const float*>(frame.getData(FrameType::AMPLITUDE));
        out.planes.confidence = static_cast<const float*>(frame.getData(FrameType::CONFIDENCE));
        if (!out.planes.depth || !out.planes.amplitude || !out.planes.confidence) return false;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!statistics.add(format.timestamp)) return false;
    }
    out.timestampMs = format.timestamp;
    out.stampNs = stamps.map(format.timestamp, now());
    if (onFrame) {
        try {
            onFrame(out);
        } catch (const std::exception& e) {
            report(LogLevel::Error, std::string("publishing a frame: ") + e.what());
        }
    }
    return true;
}

void CameraStream::run() {
    const auto stallAfter = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(params.stallTimeout));
    auto retry = std::chrono::duration_cast<Clock::duration>(kFirstRetry);
    auto nextAttempt = Clock::now();
    auto lastFresh = Clock::now();
    bool delivering = false;  // a frame came since the last open
    bool troubled = false;    // a fault was reported and streaming has not resumed since

    auto giveUp = [&](const std::string& problem, bool reopened) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (reopened)
                ++status.reconnects;
            else
                ++status.failedOpens;
        }
        setState(StreamState::Reconnecting, problem);
        report(LogLevel::Error, problem + "; trying again in " + seconds(std::chrono::duration<double>(retry).count()));
        nextAttempt = Clock::now() + retry;
        retry = std::min(retry * 2, std::chrono::duration_cast<Clock::duration>(kLongestRetry));
        troubled = true;
    };

    setState(StreamState::Opening, "");
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (stopping) break;
        }
        serviceRequests();
        if (!restartFailed.empty()) {
            closeCamera(false);
            giveUp(restartFailed, true);
            restartFailed.clear();
            continue;
        }
        if (!camera) {
            if (Clock::now() < nextAttempt) {
                std::unique_lock<std::mutex> guard(lock);
                wake.wait_until(guard, nextAttempt, [&] { return stopping || !requests.empty(); });
                continue;
            }
            if (!openCamera()) {
                giveUp(failure, false);
                continue;
            }
            delivering = false;
            lastFresh = Clock::now();
            continue;
        }

        VelmoraFrameBuffer* frame = camera->requestFrame(kPollMs);
        if (frame) {
            const bool fresh = deliver(*frame);
            camera->releaseFrame(frame);
            if (fresh) {
                lastFresh = Clock::now();
                if (!delivering) {
                    delivering = true;
                    retry = std::chrono::duration_cast<Clock::duration>(kFirstRetry);
                    setState(StreamState::Streaming, "");
                    const std::string what = health().camera;
                    report(LogLevel::Info, (troubled ? "camera streaming again: " : "camera streaming: ") + what);
                    troubled = false;
                }
            }
        }
        // A heavy skip rule spaces the frames out: that is no stall.
        double expectedMs;
        {
            std::lock_guard<std::mutex> guard(lock);
            expectedMs = statistics.expectedIntervalMs();
        }
        const auto stallLimit = std::max(stallAfter, std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double, std::milli>(3 * expectedMs)));
        if (Clock::now() - lastFresh > stallLimit) {
            closeCamera(false);
            giveUp("no frame from " + describeSource(params) + " for " +
                       seconds(std::chrono::duration<double>(stallLimit).count()) +
                       "; the camera was closed",
                   true);
        }
    }
    closeCamera(true);
    serviceRequests();  // a change asked for meanwhile is answered, not left waiting
    setState(StreamState::Stopped, "");
    std::lock_guard<std::mutex> guard(lock);
    running = false;
}

}  // namespace Ros
}  // namespace Velmora
