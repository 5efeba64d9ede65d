#pragma once
// Linux i2c-dev access: the exported plain functions, bus lookup by number or
// adapter name, and the command protocol of the camera module's control chip.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VelmoraTypes.h"

extern "C" {
// Formats "/dev/i2c-<bus>" into `filename` (cut to `size`) and opens it
// read-write; the descriptor, or a negative value.
VELMORA_EXPORT int i2c_open_i2c_dev(int i2cbus, char* filename, size_t size, int quiet);
// The remaining four return 0 or the negated errno.
VELMORA_EXPORT int i2c_set_slave_addr(int file, int address, int force);
VELMORA_EXPORT int i2c_set_adapter_timeout(int file, int timeout);
VELMORA_EXPORT int i2c_set_adapter_retries(int file, int retries);
VELMORA_EXPORT int i2c_get_functionality(int file, unsigned long* funcs);
}

namespace Velmora {

struct I2cAdapter {
    int number = -1;
    std::string name;
    std::string type;
    std::string algorithm;
};

// Adapters listed by "/proc/bus/i2c", else by sysfs "class/i2c-dev"; false
// (after printing) only when memory ran out.
bool gatherI2cBuses(std::vector<I2cAdapter>& adapters);

// Bus number for a number text (decimal, 0x hex, 0 octal) or an adapter name;
// -1 after printing the reason.
int lookupI2cBus(const char* text);

// Control chip commands, each one I2C_RDWR transfer; 0 or VelmoraSystemError.
int i2cReadBlock(int fd, uint16_t chipAddress, uint16_t offset, uint8_t* destination);
int i2cWriteFrameRate(int fd, uint16_t chipAddress, int32_t framesPerSecond);

constexpr size_t kI2cBlockLength = 512;

}  // namespace Velmora
