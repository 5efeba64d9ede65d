// velmora-i2c-access: shows, and with --write installs, the udev rule that
// gives one group access to the I2C bus of the CSI camera's control chip.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ControlBusAccess.h"
#include "PlatformDetection.h"

namespace {

const char kUsage[] =
    "usage: velmora-i2c-access [--csi N] [--group GROUP] [--write]\n"
    "\n"
    "Finds the I2C bus of the control chip of the CSI camera /dev/videoN (default 0)\n"
    "as the driver does when it opens the camera, and prints a udev rule that gives\n"
    "GROUP (default video) read-write access to that bus and to no other.\n"
    "\n"
    "  --write   also install the rule as %s\n"
    "            (needs root); without it nothing is changed\n";

int usage(FILE* stream, int status) {
    std::fprintf(stream, kUsage, Velmora::kControlBusRulesPath);
    return status;
}

bool parseIndex(const char* text, int& index) {
    if (!text || !*text || std::strlen(text) > 4) return false;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    index = std::atoi(text);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int index = 0;
    std::string group = "video";
    bool write = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") return usage(stdout, 0);
        if (argument == "--write") {
            write = true;
        } else if (argument == "--csi" && i + 1 < argc) {
            if (!parseIndex(argv[++i], index)) return usage(stderr, 2);
        } else if (argument == "--group" && i + 1 < argc) {
            group = argv[++i];
            if (!Velmora::isGroupName(group)) {
                std::fprintf(stderr, "velmora-i2c-access: '%s' is not a group name\n", group.c_str());
                return 2;
            }
        } else {
            return usage(stderr, 2);
        }
    }

    const std::string videoPath = "/dev/video" + std::to_string(index);
    Velmora::ControlBus bus;
    std::string why;
    if (!Velmora::findControlBus(Velmora::detectPlatformModel(), videoPath, bus, why)) {
        std::fprintf(stderr, "velmora-i2c-access: %s\n", why.c_str());
        return 1;
    }
    const std::string rules = Velmora::controlBusRules(bus, group, videoPath);
    std::fputs(rules.c_str(), stdout);
    std::fflush(stdout);
    if (!write) {
        std::fprintf(stderr,
                     "velmora-i2c-access: nothing written; install this rule with\n"
                     "  sudo velmora-i2c-access --csi %d%s%s --write\n",
                     index, group == "video" ? "" : " --group ", group == "video" ? "" : group.c_str());
        return 0;
    }
    if (!Velmora::writeRulesFile(Velmora::kControlBusRulesPath, rules, why)) {
        std::fprintf(stderr, "velmora-i2c-access: %s\n", why.c_str());
        return 1;
    }
    std::fprintf(stderr,
                 "velmora-i2c-access: written to %s; it applies when the bus appears (at boot).\n"
                 "To apply it now and join the group (then log in again):\n"
                 "  sudo udevadm control --reload-rules\n"
                 "  sudo udevadm trigger --action=change /sys/class/i2c-dev/i2c-%d\n"
                 "  sudo usermod -aG %s \"$USER\"\n",
                 Velmora::kControlBusRulesPath, bus.number, group.c_str());
    return 0;
}
