#pragma once
// Runs one camera for the node: opens it with the node's parameters, hands
// every fresh frame to the front end with its host capture time, applies
// setting changes, and when the camera fails to open, stops delivering or
// vanishes, reports it and opens it again with back-off until it streams.
// Every camera call happens on the stream's own thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NodeParameters.h"
#include "StampMapper.h"
#include "VelmoraTOFCamera.h"

namespace Velmora {
namespace Ros {

struct StreamFrame {
    StreamOutput output = StreamOutput::Depth;
    DepthPlanes planes;          // depth output
    const int16_t* raw = nullptr;  // raw output: all sub-frames stacked down the rows
    uint32_t rawWidth = 0;
    uint32_t rawHeight = 0;
    uint64_t timestampMs = 0;  // the driver's
    int64_t stampNs = 0;       // host time of capture
};

enum class LogLevel { Info, Warn, Error };

enum class StreamState { Opening, Streaming, Reconnecting, Stopped };

struct StreamHealth {
    StreamState state = StreamState::Stopped;
    double frameRate = 0;
    uint64_t frames = 0;
    uint64_t dropped = 0;
    uint64_t stale = 0;
    uint64_t reconnects = 0;  // times the camera was given up and opened again
    uint64_t failedOpens = 0;
    std::string camera;   // what is streaming, e.g. "HQVGA 240x180 over USB"
    std::string problem;  // the last fault, empty while none occurred
};

// A diagnostics entry, ready for any middleware's status message.
struct HealthReport {
    enum Level { Ok = 0, Warn = 1, Error = 2 } level = Ok;
    std::string message;
    std::vector<std::pair<std::string, std::string>> values;
};
// `previous` is the health of the report before, to tell new drops.
HealthReport describeHealth(const StreamHealth& health, const StreamHealth& previous);

class CameraStream {
public:
    using FrameHandler = std::function<void(const StreamFrame&)>;
    using LogHandler = std::function<void(LogLevel, const std::string&)>;
    using HostClock = std::function<int64_t()>;  // nanoseconds of the time stamps are given in

    CameraStream(NodeParameters params, FrameHandler onFrame, LogHandler log, HostClock now);
    ~CameraStream();
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    void start();
    // Stops streaming and closes the camera; returns once it is closed.
    void stop();

    // Applies `wanted`; values that the node or the camera refuse keep their
    // old value, with one message each in `refusals`. Returns the settings in
    // effect. While the camera is away the values are kept for its return.
    // A mode the camera does not start in is undone. When the stream thread
    // has not answered within kAnswerWithin (a hung driver call), returns the
    // settings in effect with a message, and the change is withdrawn unless
    // it is under way.
    CameraSettings changeSettings(const CameraSettings& wanted, std::vector<std::string>& refusals);
    CameraSettings settings() const;
    StreamHealth health() const;

    // Back-off between attempts to open the camera.
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kLongestRetry{5000};
    // Longest wait for a setting change: a VGA mode change, with a restart
    // in the old mode after a failed one, takes about a second.
    static constexpr std::chrono::milliseconds kAnswerWithin{2000};

private:
    using Clock = std::chrono::steady_clock;
    struct Request {
        CameraSettings wanted;
        std::promise<std::pair<CameraSettings, std::vector<std::string>>> result;
    };

    void run();
    bool openCamera();
    void closeCamera(bool reportClosed);
    // Hands a fresh frame to the front end; false for a frame that is not.
    bool deliver(VelmoraFrameBuffer& frame);
    void serviceRequests();
    // Applies `wanted` to `cam`, or only records it while no camera is open.
    void apply(VelmoraTOFCamera* cam, const CameraSettings& wanted, std::vector<std::string>& refusals);
    void readBackSettings();
    void setState(StreamState state, const std::string& problem);
    void report(LogLevel level, const std::string& message);

    const NodeParameters params;
    FrameHandler onFrame;
    LogHandler log;
    HostClock now;

    // Owned by the stream thread.
    std::unique_ptr<VelmoraTOFCamera> camera;
    std::string failure;        // why the last open failed
    std::string restartFailed;  // set when a restart for a mode change failed
    StampMapper stamps;
    CameraSettings current;  // guarded by `lock` for readers on other threads

    mutable std::mutex lock;
    std::condition_variable wake;
    bool running = false;  // the stream thread takes setting changes
    bool stopping = false;
    std::vector<std::unique_ptr<Request>> requests;
    StreamStatistics statistics;
    StreamHealth status;
    std::thread worker;
};

}  // namespace Ros
}  // namespace Velmora
