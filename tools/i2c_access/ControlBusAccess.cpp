#include "ControlBusAccess.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "I2cAccess.h"
#include "PlatformDetection.h"
#include "SystemHandles.h"
#include "VelmoraTOFCSISensor.h"

namespace Velmora {

namespace {

// An adapter name as a udev match value: characters that udev would take as
// glob syntax or that end the quoted value match any one character instead.
std::string matchValue(const std::string& name) {
    std::string value;
    for (char c : name) {
        const bool plain = c >= 0x20 && c <= 0x7e && std::strchr("\"\\*?[]|", c) == nullptr;
        value += plain ? c : '?';
    }
    // udev compares without the attribute's trailing blanks unless the pattern ends in one.
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// A descriptor of a file of ours, not of the board: closed with libc, not the seam.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

private:
    int fd_;
};

// What sysfs tells of a video node: its name and the device path it hangs from.
bool describeNode(const std::string& videoPath, std::string& name, std::string& device) {
    ScopedFd fd(sys().open(videoPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || sys().fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const std::string node =
        "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    char link[256];
    const ssize_t length = sys().readlink(node.c_str(), link, sizeof(link));
    if (length < 0 || static_cast<size_t>(length) >= sizeof(link) || !sys().readFile(node + "/name", name, 255))
        return false;
    device.assign(link, static_cast<size_t>(length));
    name = name.substr(0, name.find('\n'));
    return true;
}

// A sysfs device path with a USB bus ("usbN/") among its components.
bool underUsbBus(const std::string& device) {
    for (size_t at = device.find("usb"); at != std::string::npos; at = device.find("usb", at + 1)) {
        if (at > 0 && device[at - 1] != '/') continue;
        size_t end = at + 3;
        while (end < device.size() && std::isdigit(static_cast<unsigned char>(device[end]))) ++end;
        if (end > at + 3 && end < device.size() && device[end] == '/') return true;
    }
    return false;
}

// The driver takes a bus from whatever names a node after the camera, and a
// USB device names itself: before root grants a bus, the node must be the
// CSI camera's by its whole kernel name and position, and the chip on that
// bus must answer as the camera's control chip.
bool isCsiCameraNode(int platformModel, const std::string& videoPath, const std::string& busText, std::string& why) {
    std::string name, device;
    if (!describeNode(videoPath, name, device)) {
        why = "cannot read what sysfs says of " + videoPath;
        return false;
    }
    if (underUsbBus(device)) {
        why = videoPath + " is a USB device, not the CSI camera; a USB camera needs no I2C access";
        return false;
    }
    const bool busIsNumber =
        !busText.empty() && std::all_of(busText.begin(), busText.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!hasMediaGraph(platformModel) &&
        !(busIsNumber && name == "vi-output, velmora-marquenty " + busText + "-000c")) {
        why = videoPath + " is named \"" + matchValue(name) +
              "\", not \"vi-output, velmora-marquenty <bus>-000c\" as the CSI camera's node is";
        return false;
    }
    return true;
}

// The calibration header the VGA model reads from the chip: a length word in
// the range the driver accepts. Another chip at the address answers otherwise or not at all.
bool chipAnswersAsTheCamera(VelmoraTOFCSISensor& sensor) {
    constexpr uint16_t kCalibrationOffset = 80;
    uint8_t* block = sensor.getCalibrationBuffer();
    if (!block || sensor.readBlock(kCalibrationOffset, block) != 0) return false;
    const size_t length = static_cast<size_t>(block[0]) | static_cast<size_t>(block[1]) << 8;
    return length >= 512 && length <= VelmoraTOFCSISensor::kCalibrationBytes;
}

}  // namespace

bool findControlBus(int platformModel, const std::string& videoPath, ControlBus& bus, std::string& why) {
    bus = ControlBus{};
    if (platformModel == 0) {
        why = "this board is not one the driver knows (its device-tree model is missing or not recognised), "
              "so no CSI camera can be opened on it; a USB camera needs no I2C access";
        return false;
    }
    std::string busText;
    bool opened = false;
    bool cameraNode = false;
    bool identified = false;
    {
        VelmoraTOFCSISensor sensor(1, platformModel, videoPath.c_str());
        CameraInfo info{};
        opened = sensor.open(info) == 0;
        busText = sensor.busName();
        // Nothing goes to a bus before the node proved to be the camera's.
        cameraNode = !busText.empty() && isCsiCameraNode(platformModel, videoPath, busText, why);
        identified = cameraNode && opened && chipAnswersAsTheCamera(sensor);
        sensor.close();
    }
    if (busText.empty()) {
        why = "the driver found no camera behind " + videoPath +
              (hasMediaGraph(platformModel)
                   ? ": no media entity of it carries the sensor's name and bus"
                   : ": its name does not carry \"velmora\" and the bus number");
        return false;
    }
    if (!cameraNode) return false;
    const int number = lookupI2cBus(busText.c_str());
    if (number < 0) {
        why = "the bus text \"" + busText + "\" of " + videoPath + " names no I2C bus of this board";
        return false;
    }
    if (opened && !identified) {
        why = "the chip at 0x0c of I2C bus " + std::to_string(number) +
              " does not answer as the control chip of the camera at " + videoPath;
        return false;
    }
    bus.number = number;
    bus.opened = opened;
    std::vector<I2cAdapter> adapters;
    if (gatherI2cBuses(adapters)) {
        for (const I2cAdapter& adapter : adapters) {
            if (adapter.number == number) {
                bus.adapterName = adapter.name;
                break;
            }
        }
    }
    return true;
}

std::string controlBusRules(const ControlBus& bus, const std::string& group, const std::string& videoPath) {
    const std::string number = std::to_string(bus.number);
    const std::string name = matchValue(bus.adapterName);
    std::string text = "# I2C bus " + number + (name.empty() ? "" : " (\"" + name + "\")") +
                       ", the bus of the control chip of the Velmora depth\n"
                       "# camera at " + matchValue(videoPath) + ", for the " + group +
                       " group; no other bus. Written by\n"
                       "# velmora-i2c-access; delete this file to take the access back.\n";
    text += "SUBSYSTEM==\"i2c-dev\", KERNEL==\"i2c-" + number + "\", ";
    if (!name.empty()) text += "ATTR{name}==\"" + name + "\", ";
    text += "GROUP=\"" + group + "\", MODE=\"0660\"\n";
    return text;
}

bool isGroupName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    if (!(std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (char c : name) {
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_' ||
              c == '-'))
            return false;
    }
    return true;
}

bool writeRulesFile(const std::string& path, const std::string& text, std::string& why) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // udev reads only names ending in ".rules": the temporary file is never read.
    std::string temporary = directory + "/." + base + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) {
        why = systemError("cannot create a file in " + directory, errno);
        return false;
    }
    temporary = name.data();
    size_t written = 0;
    errno = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    int error = 0;
    if (written != text.size()) error = errno ? errno : EIO;
    if (!error && ::fchmod(fd.get(), 0644) != 0) error = errno;
    if (!error && ::fsync(fd.get()) != 0) error = errno;
    if (fd.close() != 0 && !error) error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        why = systemError("cannot write " + path, error);
        return false;
    }
    return true;
}

namespace {

constexpr const char* kUsage =
    "usage: velmora-i2c-access [--csi N] [--group GROUP] [--write]\n"
    "\n"
    "Finds the I2C bus of the control chip of the CSI camera /dev/videoN (default 0)\n"
    "as the driver does when it opens the camera, and prints a udev rule that gives\n"
    "GROUP (default video) read-write access to that bus and to no other.\n"
    "\n"
    "  --write   also install the rule as ";

int usage(std::ostream& stream, const std::string& rulesPath, int status) {
    stream << kUsage << rulesPath << "\n"
           << "            (needs root, and the driver's open of the camera must succeed);\n"
              "            without it nothing is changed\n";
    return status;
}

// A rule naming a group udev cannot find grants nothing, and says so only in the system log.
bool groupExists(const std::string& name) {
    group entry {};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    return ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

bool parseIndex(const std::string& text, int& index) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    index = std::stoi(text);
    return true;
}

}  // namespace

int runI2cAccessCommand(const std::vector<std::string>& arguments, const std::string& rulesPath, std::ostream& out,
                        std::ostream& err) {
    const char* const me = "velmora-i2c-access: ";
    int index = 0;
    std::string group = "video";
    bool write = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool valueFollows = i + 1 < arguments.size();
        if (argument == "-h" || argument == "--help") return usage(out, rulesPath, 0);
        if (argument == "--write") {
            write = true;
        } else if (argument == "--csi" && valueFollows) {
            if (!parseIndex(arguments[++i], index)) return usage(err, rulesPath, 2);
        } else if (argument == "--group" && valueFollows) {
            group = arguments[++i];
            if (!isGroupName(group)) {
                err << me << "'" << matchValue(group) << "' is not a group name\n";
                return 2;
            }
        } else {
            return usage(err, rulesPath, 2);
        }
    }

    if (!groupExists(group)) {
        err << me << "there is no group '" << group << "' on this system; create it (sudo groupadd " << group
            << ") or name another with --group\n";
        return 2;
    }

    const std::string videoPath = "/dev/video" + std::to_string(index);
    ControlBus bus;
    std::string why;
    if (!findControlBus(detectPlatformModel(), videoPath, bus, why)) {
        err << me << why << "\n";
        return 1;
    }
    const std::string rules = controlBusRules(bus, group, videoPath);
    out << rules << std::flush;
    if (!bus.opened) {
        // Only a bus the driver could really use as the camera's is granted.
        err << me << "the driver's open of " << videoPath << " failed (its messages are above), so this\n"
            << "  rule is shown but not installed; as root, with i2c-dev loaded, the open must succeed"
            << (write ? "" : " before --write installs it") << "\n";
        return write ? 1 : 0;
    }
    if (!write) {
        err << me << "nothing written; install this rule with\n"
            << "  sudo velmora-i2c-access --csi " << index << (group == "video" ? "" : " --group " + group)
            << " --write\n";
        return 0;
    }
    if (!writeRulesFile(rulesPath, rules, why)) {
        err << me << why << "\n";
        return 1;
    }
    err << me << "written to " << rulesPath << "; it applies when the bus appears (at boot).\n"
        << "To apply it now and join the group (then log in again):\n"
        << "  sudo udevadm control --reload-rules\n"
        << "  sudo udevadm trigger --action=change /sys/class/i2c-dev/i2c-" << bus.number << "\n"
        << "  sudo usermod -aG " << group << " \"$USER\"\n";
    return 0;
}

}  // namespace Velmora
