// velmora_camera_ros2: the depth camera as a ROS 2 node, on Cyclone DDS
// alone: no ROS 2 installation is needed on the camera's computer.

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Ros2CameraNode.h"

using namespace Velmora::Ros;

namespace {

const char* const kUsage =
    "usage: velmora_camera_ros2 [--ros-args [-r __ns:=/NS] [-r __node:=NAME] [-r FROM:=TO]\n"
    "                           [-p NAME:=VALUE] [--params-file FILE] [--log-level LEVEL]]\n"
    "Publishes the depth camera as a ROS 2 node on Cyclone DDS. Parameters are those of\n"
    "velmora_camera_node (docs/ros2.md), set at start; ROS_DOMAIN_ID selects the domain,\n"
    "CYCLONEDDS_URI configures the network.\n";

int refuse(const std::string& reason) {
    std::fprintf(stderr, "velmora_camera_ros2: %s\n", reason.c_str());
    return 2;
}

// ROS 2's console format, on standard error as ROS 2 writes it.
class ConsoleLog {
public:
    ConsoleLog(const std::string& nodeName, const std::string& level) : logger(nodeName.substr(1)) {
        for (char& c : logger)
            if (c == '/') c = '.';
        least = level == "warn"                          ? LogLevel::Warn
                : (level == "error" || level == "fatal") ? LogLevel::Error
                                                         : LogLevel::Info;
    }
    void operator()(LogLevel level, const std::string& message) {
        if (level < least) return;
        const char* names[] = {"INFO", "WARN", "ERROR"};
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
        std::lock_guard<std::mutex> guard(lock);
        std::fprintf(stderr, "[%s] [%lld.%09lld] [%s]: %s\n", names[static_cast<int>(level)], ns / 1000000000,
                     ns % 1000000000, logger.c_str(), message.c_str());
    }

private:
    std::string logger;
    LogLevel least;
    std::mutex lock;
};

// ROS_DOMAIN_ID as ROS 2 takes it: unset or empty is domain 0.
bool domainId(uint32_t& domain, std::string& refused) {
    const char* value = std::getenv("ROS_DOMAIN_ID");
    domain = 0;
    if (!value || !*value) return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long id = std::strtoul(value, &end, 10);
    // DDS's port numbering leaves room for domains 0 to 232.
    if (*end || errno || id > 232 || value[0] == '-') {
        refused = std::string("ROS_DOMAIN_ID '") + value + "' is not a domain from 0 to 232";
        return false;
    }
    domain = static_cast<uint32_t>(id);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    RosCommandLine line;
    std::string refused = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line);
    if (!refused.empty()) return refuse(refused);
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Ros2Options options;
    options.names = line;
    CommandLineParameters source(line.parameters);
    std::vector<std::string> errors = readParameters(source, options.params);
    std::string typeError;
    if (source.getInt("qos_depth", options.historyDepth, typeError) &&
        (options.historyDepth < 1 || options.historyDepth > 100))
        errors.push_back("parameter 'qos_depth': " + std::to_string(options.historyDepth) + " is not within 1 to 100");
    if (!typeError.empty()) errors.push_back("parameter 'qos_depth': " + typeError);
    if (!domainId(options.domain, refused)) errors.push_back(refused);
    for (const std::string& e : errors) refuse(e);
    if (!errors.empty()) return 2;

    ConsoleLog console(nodeFullName(line.nodeNamespace, line.nodeName), line.logLevel);
    auto log = [&console](LogLevel level, const std::string& message) { console(level, message); };
    for (const std::string& name : source.unread())
        log(LogLevel::Warn, "parameter '" + name + "' is not one of this node's; ignored");

    // Signals are taken by this thread alone, between diagnostics: every
    // thread started from here on inherits the blocked set.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        Ros2CameraNode node(options, log);
        node.start();
        auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (;;) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::nanoseconds>(next - std::chrono::steady_clock::now());
            timespec timeout{0, 0};
            if (wait.count() > 0)
                timeout = {static_cast<time_t>(wait.count() / 1000000000),
                           static_cast<long>(wait.count() % 1000000000)};
            const int signal = sigtimedwait(&signals, nullptr, &timeout);
            if (signal == SIGINT || signal == SIGTERM) break;
            if (std::chrono::steady_clock::now() >= next) {
                node.publishDiagnostics();
                next += std::chrono::seconds(1);
            }
        }
        node.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora_camera_ros2: %s\n", e.what());
        return 1;
    }
    return 0;
}
