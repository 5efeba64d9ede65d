// velmora-i2c-access: shows, and with --write installs, the udev rule that
// gives one group access to the I2C bus of the CSI camera's control chip.

#include <iostream>
#include <string>
#include <vector>

#include "ControlBusAccess.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return Velmora::runI2cAccessCommand(arguments, Velmora::kControlBusRulesPath, std::cout, std::cerr);
}
