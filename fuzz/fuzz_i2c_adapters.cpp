// The I2C bus lookup on arbitrary adapter lists: "/proc/bus/i2c" of any
// content, or, without it, "/proc/mounts" and a sysfs "class/i2c-dev" tree of
// any shape. The list parsed from "/proc/bus/i2c" is the one its format
// defines, every adapter found in sysfs has a number and name the tree holds,
// and the lookup gives the bus the text names or -1.

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzSeam.h"
#include "I2cAccess.h"

using namespace Velmora;

namespace {

std::string trimmedRight(std::string s) {
    const size_t end = s.find_last_not_of(" \t\r\n");
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

// "/proc/bus/i2c": lines of at most 119 characters; bus, type, name and
// algorithm split at the last three tabs; the number from "i2c-%d", never
// negative.
std::vector<I2cAdapter> expectedFromProc(const std::string& text) {
    std::vector<I2cAdapter> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, std::min<size_t>(end - start, 119));
        start = end + 1;
        const size_t t3 = line.rfind('\t');
        if (t3 == std::string::npos || t3 == 0) continue;
        const size_t t2 = line.rfind('\t', t3 - 1);
        if (t2 == std::string::npos || t2 == 0) continue;
        const size_t t1 = line.rfind('\t', t2 - 1);
        if (t1 == std::string::npos) continue;
        int number = -1;
        if (std::sscanf(line.substr(0, t1).c_str(), "i2c-%d", &number) != 1 || number < 0) continue;
        I2cAdapter a;
        a.number = number;
        a.type = trimmedRight(line.substr(t1 + 1, t2 - t1 - 1));
        a.name = trimmedRight(line.substr(t2 + 1, t3 - t2 - 1));
        a.algorithm = trimmedRight(line.substr(t3 + 1));
        out.push_back(a);
    }
    return out;
}

// The lookup sees the text up to its first zero byte, as a C string.
int expectedLookup(const std::string& whole, const std::vector<I2cAdapter>& adapters) {
    const std::string name(whole.c_str());
    if (!name.empty()) {
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(name.c_str(), &end, 0);
        if (*end == '\0') return value > 0xfffff || errno == ERANGE ? -1 : static_cast<int>(value);
    }
    int found = -1;
    for (const I2cAdapter& a : adapters) {
        if (a.name != name) continue;
        if (found >= 0) return -1;
        found = a.number;
    }
    return found;
}

std::string entryName(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return "i2c-" + std::to_string(in.ConsumeIntegralInRange<int>(0, 40));
    case 1: return "i2c-" + in.ConsumeRandomLengthString(12);
    default: return in.ConsumeRandomLengthString(16);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    VelmoraFuzz::FuzzSeam seam;
    const bool fromProc = in.ConsumeBool();
    std::vector<std::string> entries;
    if (fromProc) {
        seam.files["/proc/bus/i2c"] = in.ConsumeRandomLengthString(2048);
    } else {
        std::string mounts = in.ConsumeRandomLengthString(512);
        const std::string point = in.ConsumeBool() ? "/sys" : "/" + in.ConsumeRandomLengthString(300);
        if (in.ConsumeBool()) mounts += "\nsysfs " + point + (in.ConsumeBool() ? " sysfs" : " SysFS") + " rw 0 0\n";
        seam.files["/proc/mounts"] = mounts;
        const std::string classDir = point + "/class/i2c-dev";
        const int count = in.ConsumeIntegralInRange<int>(0, 12);
        for (int i = 0; i < count; ++i) {
            const std::string entry = entryName(in);
            entries.push_back(entry);
            const std::string dir = classDir + "/" + entry;
            const std::string name = in.ConsumeRandomLengthString(200);
            switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: seam.files[dir + "/name"] = name; break;
            case 1: seam.files[dir + "/device/name"] = name; break;
            case 2: {
                const std::string sub = in.ConsumeBool() ? entry : in.ConsumeRandomLengthString(10);
                seam.directories[dir + "/device"].push_back(sub);
                seam.files[dir + "/device/" + sub + "/name"] = name;
                break;
            }
            default: break;  // no name anywhere: skipped
            }
        }
        seam.directories[classDir] = entries;
    }
    const std::string text = in.ConsumeRandomLengthString(24);

    ScopedSystemOverride installed(seam);
    std::vector<I2cAdapter> adapters;
    FUZZ_CHECK(gatherI2cBuses(adapters));
    if (fromProc) {
        const std::vector<I2cAdapter> want = expectedFromProc(seam.files["/proc/bus/i2c"]);
        FUZZ_CHECK(adapters.size() == want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            FUZZ_CHECK(adapters[i].number == want[i].number);
            FUZZ_CHECK(adapters[i].name == want[i].name);
            FUZZ_CHECK(adapters[i].type == want[i].type);
            FUZZ_CHECK(adapters[i].algorithm == want[i].algorithm);
        }
    } else {
        FUZZ_CHECK(adapters.size() <= entries.size());
        for (const I2cAdapter& a : adapters) {
            FUZZ_CHECK(a.name.size() <= 119 && a.name.find('\n') == std::string::npos);
            bool named = false;
            for (const std::string& e : entries) {
                int n = -1;
                if (std::sscanf(e.c_str(), "i2c-%d", &n) == 1 && n == a.number) named = true;
            }
            FUZZ_CHECK(named && a.number >= 0);
        }
    }
    FUZZ_CHECK(lookupI2cBus(text.c_str()) == expectedLookup(text, adapters));
    FUZZ_CHECK(seam.stillOpen() == 0);
    return 0;
}
