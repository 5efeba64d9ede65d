#pragma once
// Access to the one I2C bus that carries a CSI camera's control chip: the bus
// found by the driver's own discovery, and the udev rule that gives a group
// read-write access to that bus and no other.

#include <ostream>
#include <string>
#include <vector>

namespace Velmora {

// Where velmora-i2c-access --write puts the rule.
constexpr const char* kControlBusRulesPath = "/etc/udev/rules.d/61-velmora-camera-i2c.rules";

struct ControlBus {
    int number = -1;
    std::string adapterName;  // as the adapter list names it; empty when the list lacks the bus
    bool opened = false;      // the driver's whole open succeeded: the bus is the camera's, and usable
};

// Opens the CSI camera at `videoPath` as the driver does on this board and
// reports the bus its control chip sits on. The open may fail after the bus is
// known (no access to the bus yet, which is what the rule is for); the bus is
// still reported, with `opened` false. False, with `why`, when no bus was found,
// when the node is not the CSI camera's (on Jetson boards its whole name must
// be the camera's; no board's may hang from USB), or when the bus could be
// opened and the chip on it does not answer as the camera's control chip.
bool findControlBus(int platformModel, const std::string& videoPath, ControlBus& bus, std::string& why);

// A rules file granting `group` read-write access to that bus alone, matched
// by number and adapter name so that a renumbered bus is not granted instead.
std::string controlBusRules(const ControlBus& bus, const std::string& group, const std::string& videoPath);

bool isGroupName(const std::string& name);

// Writes `text` to `path` with mode 0644 through a temporary file renamed over
// it, so udev never reads half a file and a link at `path` is replaced, not followed.
bool writeRulesFile(const std::string& path, const std::string& text, std::string& why);

// The command: arguments as after the program name ([--csi N] [--group GROUP]
// [--write]); the rule goes to `out`, notes and errors to `err`, the file to
// `rulesPath`. Exit status: 0 done, 1 no rule installed where --write asked
// for it or no bus found, 2 bad arguments (a group this system lacks included).
int runI2cAccessCommand(const std::vector<std::string>& arguments, const std::string& rulesPath, std::ostream& out,
                        std::ostream& err);

}  // namespace Velmora
