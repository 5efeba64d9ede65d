#pragma once
// Access to the one I2C bus that carries a CSI camera's control chip: the bus
// found by the driver's own discovery, and the udev rule that gives a group
// read-write access to that bus and no other.

#include <string>

namespace Velmora {

// Where velmora-i2c-access --write puts the rule.
constexpr const char* kControlBusRulesPath = "/etc/udev/rules.d/61-velmora-camera-i2c.rules";

struct ControlBus {
    int number = -1;
    std::string adapterName;  // as the adapter list names it; empty when the list lacks the bus
};

// Opens the CSI camera at `videoPath` as the driver does on this board and
// reports the bus its control chip sits on. The open may fail after the bus is
// known (no access to the bus yet, which is what the rule is for); that still
// counts. False, with `why`, when no bus was found.
bool findControlBus(int platformModel, const std::string& videoPath, ControlBus& bus, std::string& why);

// A rules file granting `group` read-write access to that bus alone, matched
// by number and adapter name so that a renumbered bus is not granted instead.
std::string controlBusRules(const ControlBus& bus, const std::string& group, const std::string& videoPath);

bool isGroupName(const std::string& name);

// Writes `text` to `path` with mode 0644 through a temporary file renamed over
// it, so udev never reads half a file and a link at `path` is replaced, not followed.
bool writeRulesFile(const std::string& path, const std::string& text, std::string& why);

}  // namespace Velmora
