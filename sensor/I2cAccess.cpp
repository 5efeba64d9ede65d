#include "I2cAccess.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "SystemAccess.h"

namespace {

// Integer-valued i2c-dev requests take their argument in the pointer slot.
void* integerArgument(long value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }

}  // namespace

extern "C" {

int i2c_open_i2c_dev(int i2cbus, char* filename, size_t size, int quiet) {
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/i2c-%d", i2cbus);
    // The name written into the caller's buffer, cut to its size, is the one opened.
    const char* name = path;
    if (filename && size > 0) {
        std::snprintf(filename, size, "%s", path);
        name = filename;
    }
    int fd = Velmora::sys().open(name, O_RDWR);
    if (fd < 0) {
        int error = errno;
        if (!quiet) {
            if (error == ENOENT) {
                std::fprintf(stderr, "Error: Could not open file `/dev/i2c-%d': %s\n", i2cbus, std::strerror(error));
            } else {
                std::fprintf(stderr, "Error: Could not open file `%s': %s\n", name, std::strerror(error));
                if (error == EACCES) std::fprintf(stderr, "Run as root?\n");
            }
        }
        errno = error;
        return -1;
    }
    return fd;
}

int i2c_set_slave_addr(int file, int address, int force) {
    if (Velmora::sys().ioctl(file, force ? I2C_SLAVE_FORCE : I2C_SLAVE, integerArgument(address)) < 0) {
        int error = errno;
        std::fprintf(stderr, "Error: Could not set address to 0x%02x: %s\n", address, std::strerror(error));
        return -error;
    }
    return 0;
}

int i2c_set_adapter_timeout(int file, int timeout) {
    if (Velmora::sys().ioctl(file, I2C_TIMEOUT, integerArgument(timeout == 0 ? 3 : timeout)) < 0) {
        int error = errno;
        std::fprintf(stderr, "Error: Could not set timeout to %d: %s\n", timeout, std::strerror(error));
        return -error;
    }
    return 0;
}

int i2c_set_adapter_retries(int file, int retries) {
    if (Velmora::sys().ioctl(file, I2C_RETRIES, integerArgument(retries == 0 ? 2 : retries)) < 0) {
        int error = errno;
        std::fprintf(stderr, "Error: Could not set retries to %d: %s\n", retries, std::strerror(error));
        return -error;
    }
    return 0;
}

int i2c_get_functionality(int file, unsigned long* funcs) {
    if (Velmora::sys().ioctl(file, I2C_FUNCS, funcs) < 0) {
        int error = errno;
        std::fprintf(stderr, "Error: Could not get adapter functionality: %s\n", std::strerror(error));
        return -error;
    }
    return 0;
}

}  // extern "C"

namespace Velmora {

namespace {

constexpr size_t kLineLimit = 120;
constexpr size_t kPathLimit = 255;

void trimRight(std::string& text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
}

// First line of a text, cut like a read into a buffer of `limit` bytes.
std::string firstLine(const std::string& contents, size_t limit) {
    std::string line = contents.substr(0, contents.find('\n'));
    if (line.size() > limit - 1) line.resize(limit - 1);
    return line;
}

// Bus numbers are never negative; the lookup keeps -1 for "no bus".
bool parseBusNumber(const std::string& text, int& number) {
    return std::sscanf(text.c_str(), "i2c-%d", &number) == 1 && number >= 0;
}

void gatherFromProc(const std::string& contents, std::vector<I2cAdapter>& adapters) {
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string line = contents.substr(start, std::min(end - start, kLineLimit - 1));
        start = end + 1;

        // bus \t type \t name \t algorithm, split from the right.
        std::string fields[3];
        bool complete = true;
        for (int i = 2; i >= 0; --i) {
            size_t tab = line.rfind('\t');
            if (tab == std::string::npos) {
                complete = false;
                break;
            }
            fields[i] = line.substr(tab + 1);
            trimRight(fields[i]);
            line.erase(tab);
        }
        int number = -1;
        if (!complete || !parseBusNumber(line, number)) continue;
        adapters.push_back({number, fields[1], fields[0], fields[2]});
    }
}

bool findSysfsMount(std::string& mountPoint) {
    std::string contents;
    if (!sys().readFile("/proc/mounts", contents, 1 << 20)) return false;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string line = contents.substr(start, end - start);
        start = end + 1;
        char point[256];
        char type[64];
        if (std::sscanf(line.c_str(), "%*s %255s %63s", point, type) != 2) continue;
        if (strcasecmp(type, "sysfs") == 0) {
            mountPoint = point;
            return true;
        }
    }
    return false;
}

// The adapter's "name" file below its i2c-dev entry, or empty when none opens.
bool readAdapterName(const std::string& entryDir, std::string& path, std::string& contents) {
    auto tryRead = [&](const std::string& candidate) {
        if (candidate.size() >= kPathLimit) return false;
        path = candidate;
        return sys().readFile(candidate, contents, kLineLimit);
    };
    if (tryRead(entryDir + "/name") || tryRead(entryDir + "/device/name")) return true;
    std::vector<std::string> subEntries;
    if (!sys().listDirectory(entryDir + "/device", subEntries)) return false;
    for (const std::string& sub : subEntries) {
        if (sub.compare(0, 4, "i2c-") == 0 && tryRead(entryDir + "/device/" + sub + "/name")) return true;
    }
    return false;
}

void gatherFromSysfs(std::vector<I2cAdapter>& adapters) {
    std::string mountPoint;
    if (!findSysfsMount(mountPoint)) return;
    const std::string classDir = mountPoint + "/class/i2c-dev";
    std::vector<std::string> entries;
    if (!sys().listDirectory(classDir, entries)) return;
    for (const std::string& entry : entries) {
        if (entry == "." || entry == "..") continue;
        std::string path;
        std::string contents;
        if (!readAdapterName(classDir + "/" + entry, path, contents)) continue;
        if (contents.empty()) {
            std::fprintf(stderr, "%s: read error\n", path.c_str());
            continue;
        }
        std::string name = firstLine(contents, kLineLimit);
        int number = -1;
        if (!parseBusNumber(entry, number)) continue;
        adapters.push_back({number, name, std::string(), std::string()});
    }
}

}  // namespace

bool gatherI2cBuses(std::vector<I2cAdapter>& adapters) {
    adapters.clear();
    try {
        std::string contents;
        if (sys().readFile("/proc/bus/i2c", contents, 1 << 20)) {
            gatherFromProc(contents, adapters);
        } else {
            gatherFromSysfs(adapters);
        }
    } catch (const std::bad_alloc&) {
        adapters.clear();
        adapters.shrink_to_fit();
        std::fprintf(stderr, "Error: Out of memory!\n");
        return false;
    }
    return true;
}

int lookupI2cBus(const char* text) {
    const char* busText = text ? text : "";
    if (*busText != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long value = std::strtoul(busText, &end, 0);
        if (*end == '\0') {
            if (value > 0xfffff || errno == ERANGE) {
                std::fprintf(stderr, "Error: I2C bus out of range!\n");
                return -1;
            }
            return static_cast<int>(value);
        }
    }

    std::vector<I2cAdapter> adapters;
    if (!gatherI2cBuses(adapters)) return -1;
    int found = -1;
    for (const I2cAdapter& adapter : adapters) {
        if (adapter.name != busText) continue;
        if (found >= 0) {
            std::fprintf(stderr, "Error: I2C bus name is not unique!\n");
            return -1;
        }
        found = adapter.number;
    }
    if (found < 0) {
        std::fprintf(stderr, "Error: I2C bus name doesn't match any bus present!\n");
        return -1;
    }
    return found;
}

namespace {

int transfer(int fd, i2c_msg* messages, uint32_t count) {
    i2c_rdwr_ioctl_data data{messages, count};
    int done = sys().ioctl(fd, I2C_RDWR, &data);
    return done < static_cast<int>(count) ? VelmoraSystemError : VelmoraSuccess;
}

void sleepMilliseconds(long milliseconds) {
    timespec remaining{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

int i2cReadBlock(int fd, uint16_t chipAddress, uint16_t offset, uint8_t* destination) {
    if (!destination) return VelmoraSystemError;
    uint8_t request[6] = {0x06,
                          0x31,
                          static_cast<uint8_t>(offset >> 8),
                          static_cast<uint8_t>(offset & 0xff),
                          static_cast<uint8_t>(kI2cBlockLength >> 8),
                          static_cast<uint8_t>(kI2cBlockLength & 0xff)};
    i2c_msg prepare{chipAddress, 0, sizeof(request), request};
    if (transfer(fd, &prepare, 1) != VelmoraSuccess) return VelmoraSystemError;

    // The chip needs time to stage the block.
    sleepMilliseconds(100);

    uint8_t fetch[2] = {0x06, 0x32};
    i2c_msg messages[2] = {{chipAddress, 0, sizeof(fetch), fetch},
                           {chipAddress, I2C_M_RD, static_cast<uint16_t>(kI2cBlockLength), destination}};
    return transfer(fd, messages, 2);
}

int i2cWriteFrameRate(int fd, uint16_t chipAddress, int32_t framesPerSecond) {
    uint32_t value = static_cast<uint32_t>(framesPerSecond);
    uint8_t command[6] = {0x06,
                          0x33,
                          static_cast<uint8_t>(value >> 24),
                          static_cast<uint8_t>(value >> 16),
                          static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value)};
    i2c_msg message{chipAddress, 0, sizeof(command), command};
    return transfer(fd, &message, 1);
}

}  // namespace Velmora
